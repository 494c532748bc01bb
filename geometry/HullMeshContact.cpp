// A hull against a triangle mesh, triangle by triangle.
#include "geometry/HullMeshContact.h"

#include "geometry/HullSeparation.h"
#include "geometry/PointOutline.h"
#include "geometry/TriangleHull.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

namespace {

/// Manifolds whose normals are closer than this (5 degrees) are gathered
/// into one. A block on a curved mesh lies across triangles a few degrees
/// apart; kept apart, each pushes its shared corners out along its own
/// normal, and the pushes, never quite opposed, rock and walk the block.
constexpr float sameNormalCosine = 0.99619f;
/// Points of one gathered manifold closer than this (model units) are one
/// point: a corner on a seam touches both triangles there.
constexpr float samePointDistance = 1e-3f;
/// A point left out of a gathering's four is held by them unless it lies
/// deeper than the plane of their separations by more than this (model units).
constexpr float offPlaneSeparation = 2e-3f;
/// Points of a gathering this close (model units) to the deepest one's
/// separation are as deep: of those the outermost leads its four.
constexpr float sameDepth = 1e-5f;

/// Per-thread scratch, so that a warm thread never allocates: the triangles
/// found, one triangle as a flat hull, the manifolds found, and the points
/// gathered by normal.
struct Scratch {
    std::vector<std::int32_t> triangles;
    /// The hull's corners in the mesh's coordinates.
    std::vector<Vector3> corners;
    ConvexHull triangle = emptyTriangleHull();
    std::vector<ContactManifold> found;
    std::vector<ContactPoint> gathered[maxMeshManifolds];
    /// The points of a gathering left out of its first four.
    std::vector<ContactPoint> rest;
    /// For each point of a gathering, whether a manifold taken so far holds
    /// a point with its key.
    std::vector<char> chosen;
};
/// Each function below binds it once (Scratch& scratch = threadScratch): every
/// use of a thread-local with a constructor goes through a call that checks
/// it is made, which in the loops cost more than the work around it.
thread_local Scratch threadScratch;

/// The box over a hull's corners (in the mesh's coordinates), grown by margin.
WorldBox boxOverCorners(const std::vector<Vector3>& corners, float margin)
{
    WorldBox box{Vector3(INFINITY, INFINITY, INFINITY), Vector3(-INFINITY, -INFINITY, -INFINITY)};
    for (const Vector3& p : corners) {
        box.min = {std::min(box.min.x, p.x), std::min(box.min.y, p.y), std::min(box.min.z, p.z)};
        box.max = {std::max(box.max.x, p.x), std::max(box.max.y, p.y), std::max(box.max.z, p.z)};
    }
    const Vector3 grow(margin, margin, margin);
    return {box.min - grow, box.max + grow};
}

/// A key of the mesh's contacts: the flat hull's key with the triangle mixed
/// in, so that points of different triangles never share one.
std::uint64_t triangleKey(std::uint64_t key, std::int32_t triangle)
{
    return key ^ (static_cast<std::uint64_t>(static_cast<std::uint32_t>(triangle)) * 0x9E3779B97F4A7C15ull);
}

bool finishTriangle(bool touching, std::int32_t t, ContactManifold& out);
void keepPointsOverTriangle(const TriangleMesh& mesh, std::int32_t t, const HullPose& meshPose,
                            ContactManifold& out);

/// Hull a and the mesh at their poses, each pose also in the other's frame,
/// turned once for every triangle of the mesh met.
struct HullAndMesh {
    const ConvexHull& a;
    const HullPose& poseA;
    const TriangleMesh& mesh;
    const HullPose& meshPose;
    float margin;
    /// The mesh's pose in the hull's frame, and the hull's in the mesh's.
    RelativePose meshInHull;
    RelativePose hullInMesh;
};

/// The contact of the hull with the face of triangle t (filled in
/// scratch.triangle), along the triangle's normal, with only points over it.
bool collideFace(const HullAndMesh& pair, std::int32_t t, ContactManifold& out)
{
    Scratch& scratch = threadScratch;
    if (!collideWithFace(pair.a, pair.hullInMesh, scratch.triangle, pair.meshPose, 0, pair.margin, out))
        return false;
    keepPointsOverTriangle(pair.mesh, t, pair.meshPose, out);
    return out.pointCount > 0;
}

/// The contact of the hull with triangle t, pushing along the triangle's
/// normal unless an edge pair across an active edge does better. False when
/// none. A triangle without active edges (inside a flat or hollow stretch of
/// the mesh) is met by its face alone, without the full axis test. Only an
/// edge pair needs its own manifold: a face axis, whichever hull's face it is,
/// ends in the triangle's face contact, so that is built straight away.
bool collideTriangle(const HullAndMesh& pair, std::int32_t t, ContactManifold& out)
{
    Scratch& scratch = threadScratch;
    const TriangleMesh& mesh = pair.mesh;
    fillTriangleHull(mesh, t, scratch.triangle);
    if (mesh.activeEdges[t] == 0)
        return finishTriangle(collideFace(pair, t, out), t, out);
    SeparatingAxisCache cache;
    out.pointCount = 0;
    out.axis = findSeparatingAxis(pair.a, scratch.triangle, pair.meshInHull, pair.margin, cache);
    if (out.axis.kind == AxisKind::None || !(out.axis.separation <= pair.margin))
        return false;
    if (out.axis.kind == AxisKind::EdgePair) {
        if (!collideOnAxis(pair.a, pair.poseA, scratch.triangle, pair.meshPose, pair.margin, out))
            return false;
        const Vector3 front = pair.meshPose.rotation * mesh.normals[t];
        if (out.axis.indexB >= 0 && mesh.isEdgeActive(t, out.axis.indexB) && dot(out.normal, front) < 0.0f)
            return finishTriangle(true, t, out);
    }
    return finishTriangle(collideFace(pair, t, out), t, out);
}

/// How far outside a triangle's sides (model units) a face contact's point
/// may lie and still count as over it: the clipping puts points on the sides.
constexpr float triangleSideTolerance = 1e-3f;

/// Drops the points of a face contact with triangle t that do not lie over
/// it. Clipping the hull's face to the triangle puts every point over it,
/// but where nothing of that face is over the triangle the face contact
/// falls back on the hull's deepest corner, which then lies beside the
/// triangle and is as deep as it is below the triangle's plane, not below
/// the mesh: the triangle the corner is over gives its true contact.
void keepPointsOverTriangle(const TriangleMesh& mesh, std::int32_t t, const HullPose& meshPose,
                            ContactManifold& out)
{
    const TriangleIndices& corners = mesh.triangles[t];
    const Vector3& n = mesh.normals[t];
    // Each side's start, its inward direction across it (as long as the side,
    // n being a unit normal across it) and the square of the tolerance at that
    // length, once for every point.
    Vector3 from[3];
    Vector3 inward[3];
    float allowed[3];
    for (int e = 0; e < 3; ++e) {
        from[e] = mesh.vertices[corners[e]];
        const Vector3 side = mesh.vertices[corners[(e + 1) % 3]] - from[e];
        inward[e] = cross(n, side);
        allowed[e] = triangleSideTolerance * triangleSideTolerance * side.squaredLength();
    }
    int kept = 0;
    for (int k = 0; k < out.pointCount; ++k) {
        const Vector3 p = transposeTimes(meshPose.rotation, out.points[k].position - meshPose.position);
        bool over = true;
        for (int e = 0; e < 3 && over; ++e) {
            const float inside = dot(inward[e], p - from[e]);
            over = inside >= 0.0f || inside * inside <= allowed[e];
        }
        if (over)
            out.points[kept++] = out.points[k];
    }
    out.pointCount = kept;
}

/// The keys of a triangle's points take in the triangle.
bool finishTriangle(bool touching, std::int32_t t, ContactManifold& out)
{
    if (!touching)
        return false;
    for (int k = 0; k < out.pointCount; ++k)
        out.points[k].key = triangleKey(out.points[k].key, t);
    return true;
}

/// Adds point to a gathered list, as one point with one already there that
/// close: the one that was a point last step, else the deeper, so that a
/// corner on a seam keeps its key and its impulses.
void gatherPoint(std::vector<ContactPoint>& into, const ContactPoint& point, const KeptKeys& kept)
{
    for (ContactPoint& there : into)
        if ((there.position - point.position).squaredLength() < samePointDistance * samePointDistance) {
            const bool thereKept = kept.holds(there.key);
            const bool pointKept = kept.holds(point.key);
            if (pointKept != thereKept ? pointKept : point.separation < there.separation)
                there = point;
            return;
        }
    into.push_back(point);
}

/// The plane that the separations of a gathering's chosen points lie in,
/// over the plane across their normal: s = a + b x + c y, fitted by least
/// squares. Points of the gathering that lie deeper than it are not held by
/// the chosen ones: where the mesh under the hull is as flat as the hull's
/// face, the points left out lie on it and are held. Nor are points outside
/// the chosen points' outline: the solver keeps the chosen points apart, and
/// a body turning about the outline's side brings a point beyond it down,
/// however well the plane matched its separation before the turn.
class SeparationPlane {
  public:
    /// Fitted over the points of out[taken[0]], out[taken[1]] and so on,
    /// which share one normal.
    SeparationPlane(const ContactManifold (&out)[maxMeshManifolds], const int* taken, int takenCount);

    /// Whether the chosen points hold point: it lies within their outline
    /// and no deeper than the plane by more than offPlaneSeparation. False
    /// for every point when the chosen points do not span the plane.
    bool holds(const ContactPoint& point) const
    {
        const Vector3 d = point.position - origin_;
        const float expected =
            coefficients_[0] + coefficients_[1] * dot(d, u_) + coefficients_[2] * dot(d, v_);
        return spans_ && point.separation >= expected - offPlaneSeparation &&
               outline_.contains(point.position, samePointDistance);
    }

  private:
    Vector3 origin_;
    Vector3 u_;
    Vector3 v_;
    float coefficients_[3] = {};
    bool spans_ = false;
    PointOutline outline_;
};

float determinant(const float m[3][3])
{
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

/// A unit direction across normal n.
Vector3 acrossNormal(const Vector3& n)
{
    return normalized(std::fabs(n.x) < 0.6f ? cross(n, Vector3(1.0f, 0.0f, 0.0f))
                                            : cross(n, Vector3(0.0f, 1.0f, 0.0f)));
}

SeparationPlane::SeparationPlane(const ContactManifold (&out)[maxMeshManifolds], const int* taken,
                                 int takenCount)
    : origin_(out[taken[0]].points[0].position), u_(acrossNormal(out[taken[0]].normal)),
      v_(cross(out[taken[0]].normal, u_)), outline_(origin_, u_, v_)
{
    // Normal equations of s = a + b x + c y.
    float m[3][3] = {};
    float r[3] = {};
    for (int t = 0; t < takenCount; ++t) {
        const ContactManifold& chosen = out[taken[t]];
        for (int k = 0; k < chosen.pointCount; ++k) {
            outline_.add(chosen.points[k].position);
            const Vector3 d = chosen.points[k].position - origin_;
            const float row[3] = {1.0f, dot(d, u_), dot(d, v_)};
            for (int i = 0; i < 3; ++i) {
                r[i] += row[i] * chosen.points[k].separation;
                for (int j = 0; j < 3; ++j)
                    m[i][j] += row[i] * row[j];
            }
        }
    }
    outline_.close();
    const float det = determinant(m);
    if (std::fabs(det) < 1e-6f)
        return;
    for (int c = 0; c < 3; ++c) {
        float replaced[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                replaced[i][j] = j == c ? r[i] : m[i][j];
        coefficients_[c] = determinant(replaced) / det;
    }
    spans_ = true;
}

/// One more manifold along the same normal for the points of a gathering
/// that its manifolds so far (out[taken[0]], its first four, and the others
/// taken lists) leave out, unless the points they hold (see SeparationPlane)
/// are all there are; reduced to four in turn. A block lying over a curved
/// stretch of mesh is borne by the mesh's vertices under its middle as much
/// as by its corners; a point left out is not held, sinks, and comes back
/// only once it is the deepest, pushed out with a kick that keeps the block
/// rocking. The second manifold takes the points left out, spread as widely
/// as four can be; each further one only those still not held, so that a
/// block across a ridge gets the vertices it would tip onto, while one tilted
/// over a curve gets no more of its far side. False when every point is held.
bool takeTheRest(const std::vector<ContactPoint>& points, const ContactManifold (&out)[maxMeshManifolds],
                 const int* taken, int takenCount, ContactManifold& next)
{
    Scratch& scratch = threadScratch;
    const SeparationPlane plane(out, taken, takenCount);
    scratch.rest.clear();
    bool held = true;
    for (std::size_t p = 0; p < points.size(); ++p) {
        if (scratch.chosen[p])
            continue;
        const ContactPoint& point = points[p];
        const bool holds = plane.holds(point);
        held = held && holds;
        if (takenCount == 1 || !holds)
            scratch.rest.push_back(point);
    }
    if (held)
        return false;
    const ContactManifold& first = out[taken[0]];
    next = first;
    if (scratch.rest.size() > static_cast<std::size_t>(maxManifoldPoints)) {
        next.pointCount = static_cast<int>(reduceToFour(scratch.rest, first.normal, next.points));
    } else {
        std::copy(scratch.rest.begin(), scratch.rest.end(), next.points);
        next.pointCount = static_cast<int>(scratch.rest.size());
    }
    return true;
}

/// Marks the points of a gathering whose keys the newly taken manifold
/// holds as chosen (scratch.chosen, one entry per point).
void markChosen(const std::vector<ContactPoint>& points, const ContactManifold& taken)
{
    Scratch& scratch = threadScratch;
    for (std::size_t p = 0; p < points.size(); ++p)
        for (int c = 0; c < taken.pointCount; ++c)
            if (taken.points[c].key == points[p].key)
                scratch.chosen[p] = 1;
}

/// The point a gathering's four are chosen from first: the deepest, and of
/// points as deep (a block lying flat across seams meets the mesh at its
/// corners and along the seams alike) the outermost, so that the four reach
/// the corners and hold the points between them.
std::size_t leadingPoint(const std::vector<ContactPoint>& points, const Vector3& normal)
{
    float deepest = points[0].separation;
    Vector3 middle = points[0].position;
    for (std::size_t i = 1; i < points.size(); ++i) {
        deepest = std::min(deepest, points[i].separation);
        middle = middle + points[i].position;
    }
    middle = middle * (1.0f / static_cast<float>(points.size()));
    std::size_t lead = 0;
    float farthest = -1.0f;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (points[i].separation > deepest + sameDepth)
            continue;
        const Vector3 out = points[i].position - middle;
        const float squared = (out - normal * dot(out, normal)).squaredLength();
        if (squared > farthest) {
            farthest = squared;
            lead = i;
        }
    }
    return lead;
}

/// The manifold found whose normal is nearest to normal, or -1 when none is
/// within the gathering angle.
int nearestFound(const std::vector<ContactManifold>& found, const Vector3& normal)
{
    int nearest = -1;
    float closest = sameNormalCosine;
    for (std::size_t m = 0; m < found.size(); ++m) {
        const float cosine = dot(found[m].normal, normal);
        if (cosine >= closest) {
            closest = cosine;
            nearest = static_cast<int>(m);
        }
    }
    return nearest;
}

/// The manifolds found, gathered by normal into out, each gathering's points
/// reduced to the four that hold it best, and those left out, while there is
/// room, into a second manifold along the same normal. A gathering takes the normal of its
/// first manifold; last step's gatherings come first, each led by the
/// manifold nearest its normal, so that a body resting on the same
/// triangles keeps the same normals from step to step (a normal that swung
/// whenever a triangle at the rim came and went would rock it for ever).
int gatherByNormal(const std::vector<ContactManifold>& found, const KeptKeys& kept,
                   ContactManifold (&out)[maxMeshManifolds])
{
    Scratch& scratch = threadScratch;
    int count = 0;
    for (int k = 0; k < kept.normalCount && count < maxMeshManifolds; ++k) {
        const int lead = nearestFound(found, kept.normals[k]);
        bool taken = false;
        for (int g = 0; g < count; ++g)
            taken = taken || dot(out[g].normal, found[lead < 0 ? 0 : lead].normal) >= sameNormalCosine;
        if (lead < 0 || taken)
            continue;
        out[count] = found[lead];
        scratch.gathered[count].clear();
        ++count;
    }
    for (const ContactManifold& manifold : found) {
        int into = -1;
        float closest = -2.0f;
        for (int k = 0; k < count; ++k) {
            const float cosine = dot(out[k].normal, manifold.normal);
            if (cosine > closest) {
                closest = cosine;
                into = k;
            }
        }
        if (into < 0 || (closest < sameNormalCosine && count < maxMeshManifolds)) {
            out[count] = manifold;
            scratch.gathered[count].clear();
            into = count++;
        }
        for (int p = 0; p < manifold.pointCount; ++p)
            gatherPoint(scratch.gathered[into], manifold.points[p], kept);
    }
    const int gatherings = count;
    for (int k = 0; k < gatherings; ++k) {
        const std::vector<ContactPoint>& points = scratch.gathered[k];
        if (points.size() <= static_cast<std::size_t>(maxManifoldPoints)) {
            std::copy(points.begin(), points.end(), out[k].points);
            out[k].pointCount = static_cast<int>(points.size());
            continue;
        }
        out[k].pointCount = static_cast<int>(
            reduceToFourFrom(points, out[k].normal, leadingPoint(points, out[k].normal), out[k].points));
        int taken[maxMeshManifolds] = {k};
        int takenCount = 1;
        scratch.chosen.assign(points.size(), 0);
        markChosen(points, out[k]);
        while (count < maxMeshManifolds && takeTheRest(points, out, taken, takenCount, out[count])) {
            markChosen(points, out[count]);
            taken[takenCount++] = count++;
        }
    }
    return count;
}

} // namespace

int collideHullMesh(const ConvexHull& a, const HullPose& poseA, const TriangleMesh& mesh,
                    const HullPose& meshPose, float margin, const KeptKeys& kept,
                    ContactManifold (&out)[maxMeshManifolds])
{
    Scratch& scratch = threadScratch;
    if (a.vertices.empty() || mesh.triangles.empty())
        return 0;
    const Vector3 centre = transposeTimes(meshPose.rotation, poseA.rotation * a.sphereCentre +
                                                                 poseA.position - meshPose.position);
    scratch.corners.clear();
    for (const Vector3& v : a.vertices)
        scratch.corners.push_back(
            transposeTimes(meshPose.rotation, poseA.rotation * v + poseA.position - meshPose.position));
    scratch.triangles.clear();
    mesh.tree.query(boxOverCorners(scratch.corners, margin), scratch.triangles);
    // Triangles in index order, so that the manifolds come out the same way
    // whatever order the tree lists them in.
    std::sort(scratch.triangles.begin(), scratch.triangles.end());
    const HullAndMesh pair{
        a, poseA, mesh, meshPose, margin, relativePose(poseA, meshPose), relativePose(meshPose, poseA)};
    scratch.found.clear();
    ContactManifold manifold;
    const IncidentFaceReuse reuse(a);
    for (const std::int32_t t : scratch.triangles) {
        const Vector3& n = mesh.normals[t];
        const float offset = dot(n, mesh.vertices[mesh.triangles[t][0]]);
        // One-sided: a hull behind a triangle meets the mesh's other side first.
        if (dot(centre, n) - offset <= 0.0f)
            continue;
        // A hull wholly farther above the triangle's plane than the margin cannot touch it.
        float lowest = INFINITY;
        for (const Vector3& corner : scratch.corners)
            lowest = std::min(lowest, dot(corner, n) - offset);
        if (lowest > margin)
            continue;
        if (collideTriangle(pair, t, manifold))
            scratch.found.push_back(manifold);
    }
    return gatherByNormal(scratch.found, kept, out);
}

} // namespace Tolvane::Physics::Collision
