// Face contacts by clipping the incident face to the reference face, edge
// contacts by the edges' closest points, and the reduction to four points.
#include "geometry/ContactManifold.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace Tolvane::Physics::Collision {

namespace {

using Math::Vector3;

/// A corner of the polygon being clipped (reference frame), the features that
/// made it, and the feature its side to the next corner lies on.
struct ClipVertex {
    Vector3 position;
    ContactFeature feature = ContactFeature::IncidentVertex;
    std::int32_t first = 0;
    std::int32_t second = 0;
    /// True when the side to the next corner runs along a reference side
    /// (sideFeature is then that side's edge), false when along an incident edge.
    bool sideOnReference = false;
    std::int32_t sideFeature = 0;
};

/// A kept point in the reference frame, before the reduction.
/// A point kept from the clipping: its position on the incident face (reference
/// frame), its separation and its key.
using Candidate = ContactPoint;

/// Corners each scratch list has room for from the start: far more than the
/// faces of the shipped hulls give, so a thread never grows its lists while
/// stepping them, whichever pairs it happens to get.
constexpr std::size_t reservedCorners = 64;

/// Scratch space kept per thread, so no pair allocates once warm.
template <class T> std::vector<T> reservedList()
{
    std::vector<T> list;
    list.reserve(reservedCorners);
    return list;
}

/// A polygon being clipped. Its corners live in a list that only ever grows,
/// so that a warm thread does not allocate, and are written through a plain
/// pointer rather than appended one by one; count says how many are in use.
/// A side's clipping gives each corner at most one cut besides itself, so
/// the room starts at twice reservedCorners.
struct ClipPolygon {
    std::vector<ClipVertex> room = std::vector<ClipVertex>(2 * reservedCorners);
    std::size_t count = 0;

    /// Room for at least most corners, those in use kept.
    ClipVertex* makeRoom(std::size_t most)
    {
        if (room.size() < most)
            room.resize(most);
        return room.data();
    }
    const ClipVertex* begin() const { return room.data(); }
    const ClipVertex* end() const { return room.data() + count; }
};
thread_local ClipPolygon clipFrom;
thread_local ClipPolygon clipTo;
thread_local std::vector<Candidate> candidates = reservedList<Candidate>();

/// The point a fraction of the way from here to next where the outline
/// crosses a side (sideEdge) of the reference face, leaving it when
/// leaving is true, and the features that make it.
ClipVertex cutAt(const ClipVertex& here, const ClipVertex& next, float fraction, bool leaving,
                 std::int32_t sideEdge)
{
    ClipVertex cut;
    cut.position = here.position + (next.position - here.position) * fraction;
    cut.feature = here.sideOnReference ? ContactFeature::ReferenceCorner : ContactFeature::IncidentEdgeOnSide;
    cut.first = here.sideFeature;
    cut.second = sideEdge;
    // Leaving, the outline runs on along this side; entering, along the side it came in on.
    cut.sideOnReference = leaving ? true : here.sideOnReference;
    cut.sideFeature = leaving ? sideEdge : here.sideFeature;
    return cut;
}

/// Keeps the part of polygon `from` on the inner side of the plane
/// dot(normal, x) = limit. A corner of the incident face up to sideClipSlop
/// outside still counts as inside and stays where it is; only an edge leaving
/// or entering from farther out is cut, at the plane itself.
void clipToSide(const ClipPolygon& from, const Vector3& normal, float limit, std::int32_t sideEdge,
                ClipPolygon& to)
{
    to.count = 0;
    auto inside = [](const ClipVertex& v, float d) {
        return d <= 0.0f || (v.feature == ContactFeature::IncidentVertex && d <= sideClipSlop);
    };
    const std::size_t n = from.count;
    if (n == 0)
        return;
    // Each corner gives at most itself and one cut.
    ClipVertex* const out = to.makeRoom(2 * n);
    const ClipVertex* const corners = from.begin();
    std::size_t written = 0;
    // Each corner's height over the side is taken once, and handed on from
    // one corner to the next round the polygon.
    const float dFirst = dot(normal, corners[0].position) - limit;
    const bool firstInside = inside(corners[0], dFirst);
    float dHere = dFirst;
    bool hereInside = firstInside;
    for (std::size_t i = 0; i < n; ++i) {
        const ClipVertex& here = corners[i];
        const bool last = i + 1 == n;
        const ClipVertex& next = last ? corners[0] : corners[i + 1];
        const float dNext = last ? dFirst : dot(normal, next.position) - limit;
        const bool nextInside = last ? firstInside : inside(next, dNext);
        if (hereInside)
            out[written++] = here;
        if (hereInside != nextInside) {
            if ((hereInside ? dHere : dNext) > 0.0f) {
                // The inside end is a corner kept within the slop: it is where the
                // outline leaves or meets the side, and no cut is made.
                if (hereInside) {
                    out[written - 1].sideOnReference = true;
                    out[written - 1].sideFeature = sideEdge;
                }
            } else {
                out[written++] = cutAt(here, next, dHere / (dHere - dNext), hereInside, sideEdge);
            }
        }
        dHere = dNext;
        hereInside = nextInside;
    }
    to.count = written;
}

float signedArea(const Vector3& a, const Vector3& b, const Vector3& c, const Vector3& normal)
{
    return dot(cross(b - a, c - a), normal);
}

/// The reference face of a face contact: the face of `hull` (posed in the
/// world by `pose`) that the axis runs along, and which hull's face it is
/// (FaceA or FaceB).
struct ReferenceFace {
    AxisKind kind;
    const ConvexHull& hull;
    std::int32_t face;
    const HullPose& pose;
};

/// The face of `incident` whose normal is most opposed to n (given in the
/// incident hull's frame).
std::int32_t mostOpposedFace(const ConvexHull& incident, const Vector3& nInIncident)
{
    std::int32_t incidentFace = 0;
    float mostOpposed = dot(incident.faces[0].normal, nInIncident);
    for (std::int32_t f = 1; f < static_cast<std::int32_t>(incident.faces.size()); ++f) {
        const float d = dot(incident.faces[f].normal, nInIncident);
        if (d < mostOpposed) {
            mostOpposed = d;
            incidentFace = f;
        }
    }
    return incidentFace;
}

/// The incident face last turned into a reference frame, kept per thread: a
/// hull against the triangles of a mesh turns the same face into the same
/// frame for triangle after triangle, and takes it from here instead.
struct TurnedIncidentFace {
    const ConvexHull* hull = nullptr;
    std::int32_t face = -1;
    /// The pose it was turned by, compared bit for bit.
    RelativePose pose;
    std::vector<ClipVertex> corners = reservedList<ClipVertex>();
    float radius = 0.0f;

    bool holds(const ConvexHull& incident, std::int32_t incidentFace, const RelativePose& turnedBy) const
    {
        return hull == &incident && face == incidentFace && std::memcmp(&pose, &turnedBy, sizeof pose) == 0;
    }
};
thread_local TurnedIncidentFace lastTurned;
static_assert(sizeof(RelativePose) == 12 * sizeof(float), "poses are compared bit for bit, without padding");
/// The hull of the IncidentFaceReuse living on this thread, if any: only its
/// faces are taken again from lastTurned, as only its corners are sure to
/// stay the same meanwhile.
thread_local const ConvexHull* reusedHull = nullptr;

/// The incident face's corners turned into the reference frame, into
/// corners (room for the face's loop); returns the face's radius about its
/// corners' mean.
float turnIncidentFace(const ConvexHull& incident, std::int32_t incidentFace,
                       const RelativePose& incidentInReference, ClipVertex* corners)
{
    const HullFace& other = incident.faces[incidentFace];
    for (std::int32_t k = 0; k < other.loopSize; ++k) {
        ClipVertex v;
        v.first = incident.loopVertices[other.firstLoop + k];
        v.position =
            incidentInReference.rotation * incident.vertices[v.first] + incidentInReference.translation;
        v.sideFeature = incident.loopEdges[other.firstLoop + k];
        corners[k] = v;
    }
    Vector3 middle;
    for (std::int32_t k = 0; k < other.loopSize; ++k)
        middle += corners[k].position;
    middle = middle * (1.0f / static_cast<float>(other.loopSize));
    // The largest square first, one root after: the same as the largest root.
    float farthest = 0.0f;
    for (std::int32_t k = 0; k < other.loopSize; ++k)
        farthest = std::max(farthest, (corners[k].position - middle).squaredLength());
    return std::sqrt(farthest);
}

/// turnIncidentFace into corners for the hull of the living
/// IncidentFaceReuse, taken from lastTurned when it holds that face at that
/// pose, else turned and kept there.
float turnReusedFace(const ConvexHull& incident, std::int32_t incidentFace,
                     const RelativePose& incidentInReference, ClipVertex* corners)
{
    const std::size_t count = static_cast<std::size_t>(incident.faces[incidentFace].loopSize);
    if (!lastTurned.holds(incident, incidentFace, incidentInReference)) {
        lastTurned.corners.resize(count);
        lastTurned.radius =
            turnIncidentFace(incident, incidentFace, incidentInReference, lastTurned.corners.data());
        lastTurned.hull = &incident;
        lastTurned.face = incidentFace;
        lastTurned.pose = incidentInReference;
    }
    std::copy(lastTurned.corners.begin(), lastTurned.corners.begin() + static_cast<std::ptrdiff_t>(count),
              corners);
    return lastTurned.radius;
}

/// The incident face's corners in the reference frame, into clipFrom, clipped
/// to every side of the reference face; returns the incident face's radius
/// about its corners' mean.
float clipIncidentFace(const ReferenceFace& reference, const ConvexHull& incident, std::int32_t incidentFace,
                       const RelativePose& incidentInReference)
{
    const std::size_t count = static_cast<std::size_t>(incident.faces[incidentFace].loopSize);
    ClipVertex* const corners = clipFrom.makeRoom(count);
    const float incidentRadius = &incident == reusedHull
                                     ? turnReusedFace(incident, incidentFace, incidentInReference, corners)
                                     : turnIncidentFace(incident, incidentFace, incidentInReference, corners);
    clipFrom.count = count;

    const ConvexHull& hull = reference.hull;
    const HullFace& face = hull.faces[reference.face];
    for (std::int32_t k = 0; k < face.loopSize && clipFrom.count > 0; ++k) {
        const std::int32_t corner = hull.loopVertices[face.firstLoop + k];
        const std::int32_t edgeIndex = hull.loopEdges[face.firstLoop + k];
        const HullEdge& edge = hull.edges[edgeIndex];
        const Vector3 along = edge.vertices[0] == corner ? edge.direction : -edge.direction;
        const Vector3 outwards = cross(along, face.normal);
        clipToSide(clipFrom, outwards, dot(outwards, hull.vertices[corner]), edgeIndex, clipTo);
        std::swap(clipFrom, clipTo);
    }
    return incidentRadius;
}

/// When rounding left nothing of the incident face inside the reference face:
/// the incident hull's deepest corner, which set the axis's separation, as the
/// one candidate; none when it lies beyond the margin.
void addDeepestCorner(const ReferenceFace& reference, const ConvexHull& incident,
                      const RelativePose& incidentInReference, const Vector3& nInIncident, float margin)
{
    const HullFace& face = reference.hull.faces[reference.face];
    const Vector3 down = -nInIncident;
    std::int32_t deepest = 0;
    for (std::int32_t i = 1; i < static_cast<std::int32_t>(incident.vertices.size()); ++i)
        if (dot(incident.vertices[i], down) > dot(incident.vertices[deepest], down))
            deepest = i;
    const Vector3 p =
        incidentInReference.rotation * incident.vertices[deepest] + incidentInReference.translation;
    const float separation = dot(face.normal, p) - face.offset;
    if (separation > margin)
        return;
    candidates.push_back(
        {p, separation,
         contactKey(reference.kind, ContactFeature::IncidentVertex, reference.face, deepest, 0)});
}

/// The candidates, reduced to four when there are more, as world points
/// midway between the surfaces, with the normal from A to B.
void writeFaceManifold(const ReferenceFace& reference, ContactManifold& out)
{
    const Vector3 n = reference.hull.faces[reference.face].normal;
    Candidate chosen[maxManifoldPoints];
    std::size_t count = candidates.size();
    if (count > static_cast<std::size_t>(maxManifoldPoints))
        count = reduceToFour(candidates, n, chosen);
    else
        std::copy(candidates.begin(), candidates.end(), chosen);

    const HullPose& pose = reference.pose;
    const Vector3 worldNormal = pose.rotation * n;
    out.normal = reference.kind == AxisKind::FaceB ? -worldNormal : worldNormal;
    for (std::size_t i = 0; i < count; ++i) {
        const Vector3 middle = chosen[i].position - n * (0.5f * chosen[i].separation);
        out.points[i] = {pose.rotation * middle + pose.position, chosen[i].separation, chosen[i].key};
    }
    out.pointCount = static_cast<int>(count);
}

// Builds the manifold of a face axis: the reference face against the most
// opposed face of `incident`, whose pose in the reference frame is
// incidentInReference. For kind FaceB the reference hull is B, and the normal
// is turned round to point from A to B.
void faceContact(const ReferenceFace& reference, const ConvexHull& incident,
                 const RelativePose& incidentInReference, float margin, ContactManifold& out)
{
    const HullFace& face = reference.hull.faces[reference.face];
    const Vector3 n = face.normal;
    const Vector3 nInIncident = transposeTimes(incidentInReference.rotation, n);
    const std::int32_t incidentFace = mostOpposedFace(incident, nInIncident);
    const float incidentRadius = clipIncidentFace(reference, incident, incidentFace, incidentInReference);

    // Points a little beyond the margin are kept too: an impulse at one point
    // turns the body within the step and brings its other points down, and
    // without them the solver would let those sink in.
    const float reach = margin + incidentFaceReach * incidentRadius;
    candidates.clear();
    for (const ClipVertex& v : clipFrom) {
        const float separation = dot(n, v.position) - face.offset;
        if (separation <= reach)
            candidates.push_back({v.position, separation,
                                  contactKey(reference.kind, v.feature, reference.face, v.first, v.second)});
    }
    if (candidates.empty()) {
        addDeepestCorner(reference, incident, incidentInReference, nInIncident, margin);
        if (candidates.empty())
            return;
    }
    writeFaceManifold(reference, out);
}

// Closest points of segments p0-p1 and q0-q1 as parameters s and t (Ericson,
// Real-Time Collision Detection, 5.1.9). Hull edges have length, but at the
// smallest scales their squared lengths can round to zero; the segments'
// starts are taken then rather than dividing by zero.
void closestOnSegments(const Vector3& p0, const Vector3& p1, const Vector3& q0, const Vector3& q1, float& s,
                       float& t)
{
    const Vector3 d1 = p1 - p0, d2 = q1 - q0, r = p0 - q0;
    const float a = dot(d1, d1), e = dot(d2, d2), f = dot(d2, r), c = dot(d1, r), b = dot(d1, d2);
    s = 0.0f;
    t = 0.0f;
    if (!(a > 0.0f) || !(e > 0.0f))
        return;
    const float denominator = a * e - b * b;
    s = denominator > 0.0f ? std::clamp((b * f - c * e) / denominator, 0.0f, 1.0f) : 0.0f;
    t = (b * s + f) / e;
    if (t < 0.0f) {
        t = 0.0f;
        s = std::clamp(-c / a, 0.0f, 1.0f);
    } else if (t > 1.0f) {
        t = 1.0f;
        s = std::clamp((b - c) / a, 0.0f, 1.0f);
    }
}

/// Which of the two faces beside edge (in its hull's frame) lies within
/// edgeOnFaceCosine of the axis, or -1.
std::int32_t faceAlongAxis(const ConvexHull& hull, const HullEdge& edge, const Vector3& axis)
{
    for (std::int32_t face : edge.faces)
        if (dot(hull.faces[face].normal, axis) > edgeOnFaceCosine)
            return face;
    return -1;
}

/// The one point of an edge-pair axis: the closest points of edge
/// axis.indexA of a and edge axis.indexB of b, midway between them.
void edgeContact(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const RelativePose& bInA,
                 const SeparatingAxis& edges, float margin, ContactManifold& out)
{
    const std::int32_t edgeA = edges.indexA;
    const std::int32_t edgeB = edges.indexB;
    Vector3 axis;
    if (!edgePairAxis(a, edgeA, b, edgeB, bInA, axis))
        return;
    const HullEdge& ea = a.edges[edgeA];
    const HullEdge& eb = b.edges[edgeB];
    const Vector3 p0 = a.vertices[ea.vertices[0]], p1 = a.vertices[ea.vertices[1]];
    const Vector3 q0 = bInA.rotation * b.vertices[eb.vertices[0]] + bInA.translation;
    const Vector3 q1 = bInA.rotation * b.vertices[eb.vertices[1]] + bInA.translation;
    float s = 0.0f, t = 0.0f;
    closestOnSegments(p0, p1, q0, q1, s, t);
    const Vector3 onA = p0 + (p1 - p0) * s;
    const Vector3 onB = q0 + (q1 - q0) * t;
    const float separation = dot(axis, onB - onA);
    if (separation > margin)
        return;
    out.normal = poseA.rotation * axis;
    out.points[0] = {poseA.rotation * ((onA + onB) * 0.5f) + poseA.position, separation,
                     edgePairKey(edgeA, edgeB)};
    out.pointCount = 1;
}

/// The least separation of the manifold's points (infinity for none).
float deepestSeparation(const ContactManifold& m)
{
    float deepest = std::numeric_limits<float>::infinity();
    for (int i = 0; i < m.pointCount; ++i)
        deepest = std::min(deepest, m.points[i].separation);
    return deepest;
}

/// Two hulls at their poses, with B's pose in A's frame.
struct PosedPair {
    const ConvexHull& a;
    const HullPose& poseA;
    const ConvexHull& b;
    const HullPose& poseB;
    RelativePose bInA;
};

bool withinMargin(const SeparatingAxis& axis, float margin)
{
    return axis.kind != AxisKind::None && axis.separation <= margin;
}

/// The manifold of the axis in out.axis, which lies within the margin.
bool manifoldOnAxis(const PosedPair& pair, float margin, ContactManifold& out)
{
    const SeparatingAxis& axis = out.axis;
    if (axis.kind == AxisKind::FaceA) {
        faceContact({axis.kind, pair.a, axis.indexA, pair.poseA}, pair.b, pair.bInA, margin, out);
    } else if (axis.kind == AxisKind::FaceB) {
        faceContact({axis.kind, pair.b, axis.indexB, pair.poseB}, pair.a,
                    relativePose(pair.poseB, pair.poseA), margin, out);
    } else {
        // An edge lying almost flat on a face of the other hull (a tumbling
        // block landing on its edge) is about to bring that whole side down:
        // the face's clipped points, the edge's among them, hold it where the
        // one edge point would let the rest turn into the other hull.
        Vector3 normal;
        const std::int32_t faceA = edgePairAxis(pair.a, axis.indexA, pair.b, axis.indexB, pair.bInA, normal)
                                       ? faceAlongAxis(pair.a, pair.a.edges[axis.indexA], normal)
                                       : -1;
        const std::int32_t faceB =
            faceA < 0 && edgePairAxis(pair.a, axis.indexA, pair.b, axis.indexB, pair.bInA, normal)
                ? faceAlongAxis(pair.b, pair.b.edges[axis.indexB],
                                -transposeTimes(pair.bInA.rotation, normal))
                : -1;
        if (faceA >= 0)
            faceContact({AxisKind::FaceA, pair.a, faceA, pair.poseA}, pair.b, pair.bInA, margin, out);
        else if (faceB >= 0)
            faceContact({AxisKind::FaceB, pair.b, faceB, pair.poseB}, pair.a,
                        relativePose(pair.poseB, pair.poseA), margin, out);
        if ((faceA < 0 && faceB < 0) || deepestSeparation(out) < axis.separation - edgeOnFaceDepthAllowance) {
            out.pointCount = 0;
            edgeContact(pair.a, pair.poseA, pair.b, pair.bInA, axis, margin, out);
        }
    }
    return out.pointCount > 0;
}

} // namespace

IncidentFaceReuse::IncidentFaceReuse(const ConvexHull& incident)
{
    lastTurned.hull = nullptr;
    reusedHull = &incident;
}

IncidentFaceReuse::~IncidentFaceReuse()
{
    lastTurned.hull = nullptr;
    reusedHull = nullptr;
}

bool collideHulls(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const HullPose& poseB,
                  float margin, SeparatingAxisCache& cache, ContactManifold& out)
{
    out.pointCount = 0;
    const RelativePose bInA = relativePose(poseA, poseB);
    out.axis = findSeparatingAxis(a, b, bInA, margin, cache);
    return withinMargin(out.axis, margin) && manifoldOnAxis({a, poseA, b, poseB, bInA}, margin, out);
}

bool collideOnAxis(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const HullPose& poseB,
                   float margin, ContactManifold& out)
{
    out.pointCount = 0;
    return withinMargin(out.axis, margin) &&
           manifoldOnAxis({a, poseA, b, poseB, relativePose(poseA, poseB)}, margin, out);
}

// The deepest point, the point farthest from it, the point making the largest
// triangle with those two, and the point adding the most area outside that
// triangle (none when every other point lies inside it). Ties go to the point
// met first, so the choice follows the clipping order.
std::size_t reduceToFour(const std::vector<ContactPoint>& points, const Vector3& normal,
                         ContactPoint chosen[4])
{
    std::size_t first = 0;
    for (std::size_t i = 1; i < points.size(); ++i)
        if (points[i].separation < points[first].separation)
            first = i;
    return reduceToFourFrom(points, normal, first, chosen);
}

std::size_t reduceToFourFrom(const std::vector<ContactPoint>& points, const Vector3& normal,
                             std::size_t first, ContactPoint chosen[4])
{
    const Vector3 p0 = points[first].position;
    std::size_t second = first == 0 ? 1 : 0;
    float farthest = (points[second].position - p0).squaredLength();
    for (std::size_t i = 0; i < points.size(); ++i) {
        const float squared = (points[i].position - p0).squaredLength();
        if (squared > farthest) {
            farthest = squared;
            second = i;
        }
    }
    const Vector3 p1 = points[second].position;
    std::size_t third = first;
    float area = 0.0f;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const float a = std::fabs(signedArea(p0, p1, points[i].position, normal));
        if (a > area) {
            area = a;
            third = i;
        }
    }
    chosen[0] = points[first];
    chosen[1] = points[second];
    if (third == first)
        return 2;
    chosen[2] = points[third];
    const Vector3 p2 = points[third].position;
    const float turn = signedArea(p0, p1, p2, normal) > 0.0f ? 1.0f : -1.0f;
    std::size_t fourth = first;
    float added = 0.0f;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Vector3& q = points[i].position;
        // How far q lies beyond the triangle's most exceeded side, in area;
        // zero or less inside the triangle.
        const float outside =
            -std::min(turn * signedArea(p0, p1, q, normal),
                      std::min(turn * signedArea(p1, p2, q, normal), turn * signedArea(p2, p0, q, normal)));
        if (outside > added) {
            added = outside;
            fourth = i;
        }
    }
    if (fourth == first)
        return 3;
    chosen[3] = points[fourth];
    return 4;
}

bool collideWithFace(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const HullPose& poseB,
                     std::int32_t faceOfB, float margin, ContactManifold& out)
{
    return collideWithFace(a, relativePose(poseB, poseA), b, poseB, faceOfB, margin, out);
}

bool collideWithFace(const ConvexHull& a, const RelativePose& aInB, const ConvexHull& b,
                     const HullPose& poseB, std::int32_t faceOfB, float margin, ContactManifold& out)
{
    out.pointCount = 0;
    if (faceOfB < 0 || static_cast<std::size_t>(faceOfB) >= b.faces.size() || a.faces.empty())
        return false;
    out.axis = {AxisKind::FaceB, -1, faceOfB, 0.0f};
    faceContact({AxisKind::FaceB, b, faceOfB, poseB}, a, aInB, margin, out);
    return out.pointCount > 0;
}

} // namespace Tolvane::Physics::Collision
