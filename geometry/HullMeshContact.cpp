// A hull against a triangle mesh, triangle by triangle.
#include "geometry/HullMeshContact.h"

#include "geometry/HullSeparation.h"
#include "geometry/TriangleHull.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

namespace {

/// Manifolds whose normals are closer than this (about 3 degrees) are gathered into one.
constexpr float sameNormalCosine = 0.9986f;
/// Points of one gathered manifold closer than this (model units) are one
/// point: a corner on a seam touches both triangles there.
constexpr float samePointDistance = 1e-3f;

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
    /// Points of a gathering that were points last step, and the others.
    std::vector<ContactPoint> known;
    std::vector<ContactPoint> fresh;
};
thread_local Scratch scratch;

/// The box, in the mesh's coordinates, over hull a's corners, grown by margin.
WorldBox hullBoxInMesh(const ConvexHull& a, const HullPose& poseA, const HullPose& meshPose, float margin)
{
    WorldBox box{Vector3(INFINITY, INFINITY, INFINITY), Vector3(-INFINITY, -INFINITY, -INFINITY)};
    for (const Vector3& v : a.vertices) {
        const Vector3 p =
            transposeTimes(meshPose.rotation, poseA.rotation * v + poseA.position - meshPose.position);
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

/// The contact of hull a with triangle t, pushing along the triangle's normal
/// unless an edge pair across an active edge does better. False when none.
/// A triangle without active edges (inside a flat or hollow stretch of the
/// mesh) is met by its face alone, without the full axis test.
bool collideTriangle(const ConvexHull& a, const HullPose& poseA, const TriangleMesh& mesh, std::int32_t t,
                     const HullPose& meshPose, float margin, ContactManifold& out)
{
    fillTriangleHull(mesh, t, scratch.triangle);
    if (mesh.activeEdges[t] == 0)
        return finishTriangle(collideWithFace(a, poseA, scratch.triangle, meshPose, 0, margin, out), t, out);
    SeparatingAxisCache cache;
    if (!collideHulls(a, poseA, scratch.triangle, meshPose, margin, cache, out))
        return false;
    const Vector3 front = meshPose.rotation * mesh.normals[t];
    const bool acrossActiveEdge = out.axis.kind == AxisKind::EdgePair && out.axis.indexB >= 0 &&
                                  mesh.isEdgeActive(t, out.axis.indexB) && dot(out.normal, front) < 0.0f;
    if (!acrossActiveEdge && !collideWithFace(a, poseA, scratch.triangle, meshPose, 0, margin, out))
        return false;
    return finishTriangle(true, t, out);
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
/// close (keeping the deeper).
void gatherPoint(std::vector<ContactPoint>& into, const ContactPoint& point)
{
    for (ContactPoint& there : into)
        if ((there.position - point.position).squaredLength() < samePointDistance * samePointDistance) {
            if (point.separation < there.separation)
                there = point;
            return;
        }
    into.push_back(point);
}

/// Four of more than four points: those that were points last step first
/// (deepest first), so that a resting contact keeps its points and their
/// impulses from step to step, then as reduceToFour picks them.
int keepKnownPoints(const std::vector<ContactPoint>& points, const KeptKeys& kept, const Vector3& normal,
                    ContactPoint chosen[4])
{
    scratch.known.clear();
    scratch.fresh.clear();
    for (const ContactPoint& point : points)
        (kept.holds(point.key) ? scratch.known : scratch.fresh).push_back(point);
    if (scratch.known.size() >= static_cast<std::size_t>(maxManifoldPoints))
        return static_cast<int>(reduceToFour(scratch.known, normal, chosen));
    int count = 0;
    for (const ContactPoint& point : scratch.known)
        chosen[count++] = point;
    if (scratch.known.empty())
        return static_cast<int>(reduceToFour(points, normal, chosen));
    // The fresh points farthest from the kept ones fill the rest.
    while (count < maxManifoldPoints && !scratch.fresh.empty()) {
        std::size_t best = 0;
        float farthest = -1.0f;
        for (std::size_t i = 0; i < scratch.fresh.size(); ++i) {
            float nearest = INFINITY;
            for (int k = 0; k < count; ++k)
                nearest = std::min(nearest, (scratch.fresh[i].position - chosen[k].position).squaredLength());
            if (nearest > farthest) {
                farthest = nearest;
                best = i;
            }
        }
        chosen[count++] = scratch.fresh[best];
        scratch.fresh.erase(scratch.fresh.begin() + static_cast<std::ptrdiff_t>(best));
    }
    return count;
}

/// The manifolds found, gathered by normal into out in the order found, each
/// gathering's points reduced to the four that hold it best.
int gatherByNormal(const std::vector<ContactManifold>& found, const KeptKeys& kept,
                   ContactManifold (&out)[maxMeshManifolds])
{
    int count = 0;
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
            gatherPoint(scratch.gathered[into], manifold.points[p]);
    }
    for (int k = 0; k < count; ++k) {
        const std::vector<ContactPoint>& points = scratch.gathered[k];
        if (points.size() > static_cast<std::size_t>(maxManifoldPoints)) {
            out[k].pointCount = keepKnownPoints(points, kept, out[k].normal, out[k].points);
        } else {
            std::copy(points.begin(), points.end(), out[k].points);
            out[k].pointCount = static_cast<int>(points.size());
        }
    }
    return count;
}

} // namespace

int collideHullMesh(const ConvexHull& a, const HullPose& poseA, const TriangleMesh& mesh,
                    const HullPose& meshPose, float margin, const KeptKeys& kept,
                    ContactManifold (&out)[maxMeshManifolds])
{
    if (a.vertices.empty() || mesh.triangles.empty())
        return 0;
    scratch.triangles.clear();
    mesh.tree.query(hullBoxInMesh(a, poseA, meshPose, margin), scratch.triangles);
    // Triangles in index order, so that the manifolds come out the same way
    // whatever order the tree lists them in.
    std::sort(scratch.triangles.begin(), scratch.triangles.end());
    const Vector3 centre = transposeTimes(meshPose.rotation, poseA.rotation * a.sphereCentre +
                                                                 poseA.position - meshPose.position);
    scratch.corners.clear();
    for (const Vector3& v : a.vertices)
        scratch.corners.push_back(
            transposeTimes(meshPose.rotation, poseA.rotation * v + poseA.position - meshPose.position));
    scratch.found.clear();
    ContactManifold manifold;
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
        if (collideTriangle(a, poseA, mesh, t, meshPose, margin, manifold))
            scratch.found.push_back(manifold);
    }
    return gatherByNormal(scratch.found, kept, out);
}

} // namespace Tolvane::Physics::Collision
