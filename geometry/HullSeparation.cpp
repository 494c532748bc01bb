// Face axes of both hulls, edge pairs that form faces of the Minkowski
// difference, and the choice between them with the previous axis as a hint;
// boxes by their three face and three edge directions.
#include "geometry/HullSeparation.h"

#include "geometry/HullTolerances.h"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace Tolvane::Physics::Collision {

namespace {

using Math::Vector3;

constexpr float below = -std::numeric_limits<float>::infinity();

// A box is projected by its half extents, any other hull by its corners.
float lowestAlong(const ConvexHull& hull, const Vector3& direction)
{
    if (hull.box)
        return dot(hull.box->centre, direction) - hull.box->reachAlong(direction);
    const std::vector<Vector3>& vertices = hull.vertices;
    float lowest = dot(vertices[0], direction);
    for (std::size_t i = 1; i < vertices.size(); ++i) {
        const float d = dot(vertices[i], direction);
        lowest = d < lowest ? d : lowest;
    }
    return lowest;
}

float highestAlong(const ConvexHull& hull, const Vector3& direction)
{
    if (hull.box)
        return dot(hull.box->centre, direction) + hull.box->reachAlong(direction);
    const std::vector<Vector3>& vertices = hull.vertices;
    float highest = dot(vertices[0], direction);
    for (std::size_t i = 1; i < vertices.size(); ++i) {
        const float d = dot(vertices[i], direction);
        highest = d > highest ? d : highest;
    }
    return highest;
}

/// How far B's deepest vertex stands above face i of A (A's frame).
float faceSeparationA(const ConvexHull& a, std::int32_t i, const ConvexHull& b, const RelativePose& bInA)
{
    const HullFace& face = a.faces[i];
    const Vector3 normalInB = transposeTimes(bInA.rotation, face.normal);
    return lowestAlong(b, normalInB) + dot(face.normal, bInA.translation) - face.offset;
}

/// How far A's deepest vertex stands above face j of B; normalInA gets the face's normal in A's frame.
float faceSeparationB(const ConvexHull& a, const ConvexHull& b, std::int32_t j, const RelativePose& bInA,
                      Vector3& normalInA)
{
    const HullFace& face = b.faces[j];
    normalInA = bInA.rotation * face.normal;
    return lowestAlong(a, normalInA) - dot(normalInA, bInA.translation) - face.offset;
}

/// The gap between the hulls' projections on a unit axis of A's frame pointing from A to B.
float gapAlong(const ConvexHull& a, const ConvexHull& b, const RelativePose& bInA, const Vector3& axis)
{
    return lowestAlong(b, transposeTimes(bInA.rotation, axis)) + dot(axis, bInA.translation) -
           highestAlong(a, axis);
}

/// An edge's arc on the normal sphere, in A's frame: from the normal of the
/// face running the edge forwards to the other face's normal; for B the
/// normals are negated (B's side of the Minkowski difference A - B). A flat
/// hull's rim edge joins opposite normals by a half circle through the rim's
/// outward direction, middle.
struct EdgeArc {
    Vector3 from;
    Vector3 to;
    /// Unit direction of the edge, along from x to.
    Vector3 direction;
    Vector3 point;
    Vector3 middle;
    bool halfCircle = false;
};

EdgeArc arcOf(const Vector3& from, const Vector3& to, const Vector3& direction, const Vector3& point)
{
    EdgeArc arc;
    arc.from = from;
    arc.to = to;
    arc.direction = direction;
    arc.point = point;
    arc.halfCircle = dot(from, to) < oppositeNormalsDot;
    if (arc.halfCircle)
        arc.middle = cross(direction, from);
    return arc;
}

EdgeArc arcOfA(const ConvexHull& a, std::int32_t e)
{
    const HullEdge& edge = a.edges[e];
    return arcOf(a.faces[edge.faces[0]].normal, a.faces[edge.faces[1]].normal, edge.direction,
                 a.vertices[edge.vertices[0]]);
}

/// B's edge e in A's frame, its faces' normals already turned into A's frame.
EdgeArc arcOfB(const ConvexHull& b, std::int32_t e, const RelativePose& bInA,
               const std::vector<Vector3>& normalsInA)
{
    const HullEdge& edge = b.edges[e];
    return arcOf(-normalsInA[edge.faces[0]], -normalsInA[edge.faces[1]], bInA.rotation * edge.direction,
                 bInA.rotation * b.vertices[edge.vertices[0]] + bInA.translation);
}

EdgeArc arcOfB(const ConvexHull& b, std::int32_t e, const RelativePose& bInA)
{
    const HullEdge& edge = b.edges[e];
    return arcOf(-(bInA.rotation * b.faces[edge.faces[0]].normal),
                 -(bInA.rotation * b.faces[edge.faces[1]].normal), bInA.rotation * edge.direction,
                 bInA.rotation * b.vertices[edge.vertices[0]] + bInA.translation);
}

// Two short arcs a-b and c-d cross when c and d lie on either side of a-b's
// plane, a and b on either side of c-d's plane, and both crossings are the
// same point rather than opposite ones. The planes' normals are the edges'
// directions, which point along a x b and c x d for arcs built by arcOf.
bool shortArcsCross(const Vector3& a, const Vector3& b, const Vector3& c, const Vector3& d,
                    const Vector3& alongAB, const Vector3& alongCD)
{
    const float cba = dot(c, alongAB);
    const float dba = dot(d, alongAB);
    if (!(cba * dba < 0.0f))
        return false;
    const float adc = dot(a, alongCD);
    const float bdc = dot(b, alongCD);
    return adc * bdc < 0.0f && cba * bdc > 0.0f;
}

// A half circle is tried as its two quarter arcs through its middle.
bool arcsCross(const EdgeArc& p, const EdgeArc& q)
{
    if (!p.halfCircle && !q.halfCircle)
        return shortArcsCross(p.from, p.to, q.from, q.to, p.direction, q.direction);
    const Vector3 pEnds[2][2] = {{p.from, p.halfCircle ? p.middle : p.to}, {p.middle, p.to}};
    const Vector3 qEnds[2][2] = {{q.from, q.halfCircle ? q.middle : q.to}, {q.middle, q.to}};
    const int pParts = p.halfCircle ? 2 : 1;
    const int qParts = q.halfCircle ? 2 : 1;
    for (int i = 0; i < pParts; ++i)
        for (int j = 0; j < qParts; ++j)
            if (shortArcsCross(pEnds[i][0], pEnds[i][1], qEnds[j][0], qEnds[j][1], p.direction, q.direction))
                return true;
    return false;
}

/// The axis across two edges, unnormalised, pointing out of A into A's arc;
/// false for parallel edges. length gets its length.
bool crossingAxis(const EdgeArc& arcA, const EdgeArc& arcB, Vector3& across, float& length)
{
    across = cross(arcA.direction, arcB.direction);
    const float squared = across.squaredLength();
    if (!(squared > parallelEdgeSine * parallelEdgeSine))
        return false;
    length = std::sqrt(squared);
    const Vector3 inside = arcA.halfCircle ? arcA.middle : arcA.from + arcA.to;
    if (dot(across, inside) < 0.0f)
        across = -across;
    return true;
}

/// The unit axis across two edges, pointing out of A into A's arc; false for parallel edges.
bool axisAcross(const EdgeArc& arcA, const EdgeArc& arcB, Vector3& axis)
{
    Vector3 across;
    float length = 0.0f;
    if (!crossingAxis(arcA, arcB, across, length))
        return false;
    axis = across * (1.0f / length);
    return true;
}

bool clearlyBetter(float challenger, float standing)
{
    return challenger > standing + axisSwitchRelative * std::fabs(standing) + axisSwitchAbsolute;
}

/// The best candidate of one kind, and the cached candidate's value when it is of this kind.
struct Candidate {
    std::int32_t indexA = -1;
    std::int32_t indexB = -1;
    float separation = below;
    bool haveCached = false;
    float cachedSeparation = below;

    void offer(std::int32_t a, std::int32_t b, float s)
    {
        if (s > separation) {
            separation = s;
            indexA = a;
            indexB = b;
        }
    }
    // The cached feature stays unless the best one is clearly better.
    void preferCached(const SeparatingAxisCache& cache)
    {
        if (haveCached && !clearlyBetter(separation, cachedSeparation)) {
            indexA = cache.indexA;
            indexB = cache.indexB;
            separation = cachedSeparation;
        }
    }
};

bool cacheFits(const SeparatingAxisCache& cache, const ConvexHull& a, const ConvexHull& b)
{
    auto within = [](std::int32_t i, std::size_t size) {
        return i >= 0 && static_cast<std::size_t>(i) < size;
    };
    switch (cache.kind) {
    case AxisKind::FaceA:
        return within(cache.indexA, a.faces.size());
    case AxisKind::FaceB:
        return within(cache.indexB, b.faces.size());
    case AxisKind::EdgePair:
        return within(cache.indexA, a.edges.size()) && within(cache.indexB, b.edges.size());
    case AxisKind::None:
        break;
    }
    return false;
}

SeparatingAxis settle(SeparatingAxisCache& cache, AxisKind kind, std::int32_t indexA, std::int32_t indexB,
                      float separation, const RelativePose& bInA)
{
    cache = {kind, indexA, indexB, bInA, true};
    return {kind, indexA, indexB, separation};
}

/// How far any point of b can have moved against a since the cached search:
/// the shift of B's origin plus the turn times B's reach from A's origin (the
/// largest change of a rotation matrix entry bounds the turn's angle).
float driftSinceSearch(const SeparatingAxisCache& cache, const ConvexHull& b, const RelativePose& bInA)
{
    float turn = 0.0f;
    for (int c = 0; c < 3; ++c) {
        const Vector3 d = bInA.rotation.column[c] - cache.searchedPose.rotation.column[c];
        turn = std::max(turn, std::max(std::fabs(d.x), std::max(std::fabs(d.y), std::fabs(d.z))));
    }
    const float reach = bInA.translation.length() + b.sphereCentre.length() + b.sphereRadius;
    return (bInA.translation - cache.searchedPose.translation).length() + 2.0f * turn * reach;
}

/// Per-thread scratch of one test, so that no pair allocates once warm: B's
/// face normals and edge arcs in A's frame. Room for far more faces and edges
/// than the shipped hulls have is taken up front, so a thread never grows them
/// while stepping, whichever pairs it happens to get.
struct Scratch {
    static constexpr std::size_t reservedFeatures = 64;
    std::vector<Vector3> normalsOfB;
    std::vector<EdgeArc> arcsOfB;

    Scratch()
    {
        normalsOfB.reserve(reservedFeatures);
        arcsOfB.reserve(reservedFeatures);
    }
};
thread_local Scratch scratch;

} // namespace

bool edgePairAxis(const ConvexHull& a, std::int32_t edgeA, const ConvexHull& b, std::int32_t edgeB,
                  const RelativePose& bInA, Vector3& axis)
{
    return axisAcross(arcOfA(a, edgeA), arcOfB(b, edgeB, bInA), axis);
}

namespace {

/// One test's hulls, the pose of B in A's frame, the margin and the pair's
/// cache, handed to each step of the search.
struct AxisSearch {
    const ConvexHull& a;
    const ConvexHull& b;
    const RelativePose& bInA;
    float margin;
    SeparatingAxisCache& cache;
};

/// The cached axis with the hulls' separation along it now; kind None when
/// there is none, or its edges have turned parallel.
SeparatingAxis measureCachedAxis(const AxisSearch& search)
{
    const SeparatingAxisCache& cache = search.cache;
    if (cache.kind == AxisKind::FaceA)
        return {cache.kind, cache.indexA, -1, faceSeparationA(search.a, cache.indexA, search.b, search.bInA)};
    if (cache.kind == AxisKind::FaceB) {
        Vector3 normal;
        return {cache.kind, -1, cache.indexB,
                faceSeparationB(search.a, search.b, cache.indexB, search.bInA, normal)};
    }
    Vector3 axis;
    if (cache.kind == AxisKind::EdgePair &&
        edgePairAxis(search.a, cache.indexA, search.b, cache.indexB, search.bInA, axis))
        return {cache.kind, cache.indexA, cache.indexB, gapAlong(search.a, search.b, search.bInA, axis)};
    return {};
}

/// The cached axis alone, when it separates by more than the margin; and,
/// while the hulls have barely moved against each other since the last full
/// search, the cached axis as it stands: no separation can have changed by
/// enough to pass another axis by the switch tolerance. Resting stacks search
/// rarely.
std::optional<SeparatingAxis> cachedAxis(const AxisSearch& search)
{
    const SeparatingAxis cached = measureCachedAxis(search);
    if (cached.kind == AxisKind::None)
        return std::nullopt;
    if (cached.separation > search.margin)
        return cached;
    if (!search.cache.searched || driftSinceSearch(search.cache, search.b, search.bInA) > coherentDrift)
        return std::nullopt;
    return cached;
}

/// Every face of A; the first that separates by more than the margin settles
/// the test, else faceA holds the least overlapping one.
std::optional<SeparatingAxis> searchFacesOfA(const AxisSearch& search, Candidate& faceA)
{
    SeparatingAxisCache& cache = search.cache;
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(search.a.faces.size()); ++i) {
        const float s = faceSeparationA(search.a, i, search.b, search.bInA);
        if (s > search.margin)
            return settle(cache, AxisKind::FaceA, i, -1, s, search.bInA);
        faceA.offer(i, -1, s);
        if (cache.kind == AxisKind::FaceA && cache.indexA == i) {
            faceA.haveCached = true;
            faceA.cachedSeparation = s;
        }
    }
    return std::nullopt;
}

/// Every face of B, as for A, keeping B's face normals in A's frame for the
/// edge search.
std::optional<SeparatingAxis> searchFacesOfB(const AxisSearch& search, Candidate& faceB,
                                             std::vector<Vector3>& normalsInA)
{
    SeparatingAxisCache& cache = search.cache;
    normalsInA.resize(search.b.faces.size());
    for (std::int32_t j = 0; j < static_cast<std::int32_t>(search.b.faces.size()); ++j) {
        const float s = faceSeparationB(search.a, search.b, j, search.bInA, normalsInA[j]);
        if (s > search.margin)
            return settle(cache, AxisKind::FaceB, -1, j, s, search.bInA);
        faceB.offer(-1, j, s);
        if (cache.kind == AxisKind::FaceB && cache.indexB == j) {
            faceB.haveCached = true;
            faceB.cachedSeparation = s;
        }
    }
    return std::nullopt;
}

/// An axis and its separation: the test's answer when it separates by more
/// than the margin, else offered as the best of its kind so far.
std::optional<SeparatingAxis> offerAxis(const AxisSearch& search, Candidate& best, AxisKind kind,
                                        std::int32_t i, std::int32_t j, float s)
{
    SeparatingAxisCache& cache = search.cache;
    if (s > search.margin)
        return settle(cache, kind, i, j, s, search.bInA);
    best.offer(i, j, s);
    const bool cachedA = kind == AxisKind::FaceB || cache.indexA == i;
    const bool cachedB = kind == AxisKind::FaceA || cache.indexB == j;
    if (cache.kind == kind && cachedA && cachedB) {
        best.haveCached = true;
        best.cachedSeparation = s;
    }
    return std::nullopt;
}

/// B's edges as arcs in A's frame, into work.arcsOfB (B's face normals in
/// A's frame already in work.normalsOfB).
void turnArcsOfB(const AxisSearch& search, Scratch& work)
{
    work.arcsOfB.clear();
    for (std::int32_t j = 0; j < static_cast<std::int32_t>(search.b.edges.size()); ++j)
        work.arcsOfB.push_back(arcOfB(search.b, j, search.bInA, work.normalsOfB));
}

/// Every edge pair whose arcs cross on the normal sphere.
std::optional<SeparatingAxis> searchEdgePairs(const AxisSearch& search, Scratch& work, Candidate& edges)
{
    const ConvexHull& a = search.a;
    turnArcsOfB(search, work);
    const EdgeArc* arcsB = work.arcsOfB.data();
    const std::int32_t edgesB = static_cast<std::int32_t>(work.arcsOfB.size());
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(a.edges.size()); ++i) {
        const EdgeArc arcA = arcOfA(a, i);
        for (std::int32_t j = 0; j < edgesB; ++j) {
            const EdgeArc& arcB = arcsB[j];
            if (!arcsCross(arcA, arcB))
                continue;
            Vector3 across;
            float length = 0.0f;
            if (!crossingAxis(arcA, arcB, across, length))
                continue;
            float s = dot(across, arcB.point - arcA.point) / length;
            // The edges' distance is the gap only if the arcs' crossing was
            // judged right; near a tie of signs it is checked on the hulls.
            if (s > search.margin)
                s = gapAlong(a, search.b, search.bInA, across * (1.0f / length));
            if (std::optional<SeparatingAxis> found = offerAxis(search, edges, AxisKind::EdgePair, i, j, s))
                return found;
        }
    }
    return std::nullopt;
}

/// The unit axis across unit directions u and v, or false when they are parallel.
bool unitAcross(const Vector3& u, const Vector3& v, Vector3& axis)
{
    const Vector3 across = cross(u, v);
    const float squared = across.squaredLength();
    if (!(squared > parallelEdgeSine * parallelEdgeSine))
        return false;
    axis = across * (1.0f / std::sqrt(squared));
    return true;
}

/// A direction's components along a box's axes, and the box's reach along it.
float alongAxes(const HullBox& box, const Vector3& direction, float along[3])
{
    float reach = 0.0f;
    for (int j = 0; j < 3; ++j) {
        along[j] = dot(direction, box.axes[j]);
        reach += box.halfExtents[j] * std::fabs(along[j]);
    }
    return reach;
}

/// Two boxes seen along A's box axes a_j: turn[j][m] = a_j . b_m for B's
/// axes b_m turned into A's frame, and the step from A's centre to B's.
struct BoxPairFrame {
    float turn[3][3];
    /// The step from A's centre to B's along a_j, and along b_m.
    float stepAlongA[3];
    float stepAlongB[3];
    /// Half B's extent along a_j, and half A's along b_m.
    float reachOfB[3];
    float reachOfA[3];
};

BoxPairFrame boxPairFrame(const HullBox& boxA, const HullBox& boxB, const RelativePose& bInA)
{
    BoxPairFrame frame;
    for (int m = 0; m < 3; ++m) {
        const Vector3 axisB = bInA.rotation * boxB.axes[m];
        for (int j = 0; j < 3; ++j)
            frame.turn[j][m] = dot(boxA.axes[j], axisB);
    }
    const Vector3 step = bInA.rotation * boxB.centre + bInA.translation - boxA.centre;
    for (int j = 0; j < 3; ++j)
        frame.stepAlongA[j] = dot(boxA.axes[j], step);
    for (int i = 0; i < 3; ++i) {
        frame.reachOfB[i] = 0.0f;
        frame.reachOfA[i] = 0.0f;
        frame.stepAlongB[i] = 0.0f;
        for (int j = 0; j < 3; ++j) {
            frame.reachOfB[i] += boxB.halfExtents[j] * std::fabs(frame.turn[i][j]);
            frame.reachOfA[i] += boxA.halfExtents[j] * std::fabs(frame.turn[j][i]);
            frame.stepAlongB[i] += frame.turn[j][i] * frame.stepAlongA[j];
        }
    }
    return frame;
}

/// What offerAxis does with an axis whose features the caller names only
/// when they matter: the test's answer (true, into found) when s separates
/// by more than the margin, else s offered as the best of its kind so far and
/// noted when it is the cached axis. Most axes of two touching boxes neither
/// separate nor beat the best, and are let go after two comparisons.
template <class Features>
bool offerLazily(const AxisSearch& search, Candidate& best, AxisKind kind, float s, Features features,
                 SeparatingAxis& found)
{
    const SeparatingAxisCache& cache = search.cache;
    const bool cachedKind = cache.kind == kind;
    if (!(s > search.margin) && !(s > best.separation) && !cachedKind)
        return false;
    const std::pair<std::int32_t, std::int32_t> ij = features();
    if (s > search.margin) {
        found = settle(search.cache, kind, ij.first, ij.second, s, search.bInA);
        return true;
    }
    best.offer(ij.first, ij.second, s);
    if (cachedKind && (kind == AxisKind::FaceB || cache.indexA == ij.first) &&
        (kind == AxisKind::FaceA || cache.indexB == ij.second)) {
        best.haveCached = true;
        best.cachedSeparation = s;
    }
    return false;
}

/// The faces of two boxes, in each hull's face order as for any hull: a face
/// of A along +-a_k stands above B by +-step - A's half extent - B's reach
/// along a_k, and likewise for B.
std::optional<SeparatingAxis> searchBoxFaces(const AxisSearch& search, const BoxPairFrame& frame,
                                             Candidate& faceA, Candidate& faceB)
{
    const HullBox& boxA = *search.a.box;
    const HullBox& boxB = *search.b.box;
    SeparatingAxis found;
    for (std::int32_t f = 0; f < 6; ++f) {
        const int k = boxA.faceAxis[f];
        const float step = boxA.facePositive[f] ? frame.stepAlongA[k] : -frame.stepAlongA[k];
        const float s = step - boxA.halfExtents[k] - frame.reachOfB[k];
        if (offerLazily(
                search, faceA, AxisKind::FaceA, s, [f] { return std::make_pair(f, -1); }, found))
            return found;
    }
    for (std::int32_t g = 0; g < 6; ++g) {
        const int m = boxB.faceAxis[g];
        const float step = boxB.facePositive[g] ? -frame.stepAlongB[m] : frame.stepAlongB[m];
        const float s = step - boxB.halfExtents[m] - frame.reachOfA[m];
        if (offerLazily(
                search, faceB, AxisKind::FaceB, s, [g] { return std::make_pair(-1, g); }, found))
            return found;
    }
    return std::nullopt;
}

// Two boxes have three edge directions each. Across direction k of A and m
// of B the Minkowski difference has two faces, normal to n = a_k x b_m and to
// -n, each made by the edge of A farthest along its normal and the edge of B
// farthest against it; the separation is the gap of the boxes' projections.
// Along A's axes n has nothing along a_k and -t2, t1 along the next two, where
// t1, t2 are b_m's components along those (the box test of Ericson, Real-Time
// Collision Detection, 4.4.1). Nine axes instead of 144 edge pairs, and no
// corner visited. The edges are named only for the axes that need them.
std::optional<SeparatingAxis> searchBoxEdges(const AxisSearch& search, const BoxPairFrame& frame,
                                             Candidate& edges)
{
    const HullBox& boxA = *search.a.box;
    const HullBox& boxB = *search.b.box;
    SeparatingAxis found;
    for (int k = 0; k < 3; ++k) {
        const int k1 = (k + 1) % 3;
        const int k2 = (k + 2) % 3;
        for (int m = 0; m < 3; ++m) {
            const float t1 = frame.turn[k1][m];
            const float t2 = frame.turn[k2][m];
            const float squared = t1 * t1 + t2 * t2;
            if (!(squared > parallelEdgeSine * parallelEdgeSine))
                continue;
            const float inverse = 1.0f / std::sqrt(squared);
            float alongA[3];
            alongA[k] = 0.0f;
            alongA[k1] = -t2 * inverse;
            alongA[k2] = t1 * inverse;
            float reach =
                boxA.halfExtents[k1] * std::fabs(alongA[k1]) + boxA.halfExtents[k2] * std::fabs(alongA[k2]);
            // B's edge lies farthest against n: its components along -n.
            float alongB[3];
            for (int l = 0; l < 3; ++l)
                alongB[l] = -(alongA[k1] * frame.turn[k1][l] + alongA[k2] * frame.turn[k2][l]);
            alongB[m] = 0.0f;
            for (int l = 0; l < 3; ++l)
                reach += boxB.halfExtents[l] * std::fabs(alongB[l]);
            const float centres = alongA[k1] * frame.stepAlongA[k1] + alongA[k2] * frame.stepAlongA[k2];
            // The edges along n, then along -n with every component negated.
            for (const float sign : {1.0f, -1.0f}) {
                const auto features = [&] {
                    const float turnedA[3] = {sign * alongA[0], sign * alongA[1], sign * alongA[2]};
                    const float turnedB[3] = {sign * alongB[0], sign * alongB[1], sign * alongB[2]};
                    return std::make_pair(boxA.edgeToward(k, turnedA), boxB.edgeToward(m, turnedB));
                };
                const float s = (sign > 0.0f ? centres : -centres) - reach;
                if (offerLazily(search, edges, AxisKind::EdgePair, s, features, found))
                    return found;
            }
        }
    }
    return std::nullopt;
}

/// Every axis of two boxes, from one look at their axes.
std::optional<SeparatingAxis> searchBoxPair(const AxisSearch& search, Candidate& faceA, Candidate& faceB,
                                            Candidate& edges)
{
    const BoxPairFrame frame = boxPairFrame(*search.a.box, *search.b.box, search.bInA);
    if (std::optional<SeparatingAxis> found = searchBoxFaces(search, frame, faceA, faceB))
        return found;
    return searchBoxEdges(search, frame, edges);
}

/// Which way round n (normal to the arc's edge) lies on the arc: 1 when n
/// does, -1 when -n does, 0 when neither or on its ends.
float sideOfArc(const EdgeArc& arc, const Vector3& n)
{
    if (arc.halfCircle) {
        const float d = dot(n, arc.middle);
        return d > 0.0f ? 1.0f : (d < 0.0f ? -1.0f : 0.0f);
    }
    const float afterFrom = dot(n, cross(arc.direction, arc.from));
    const float beforeTo = dot(n, cross(arc.to, arc.direction));
    if (afterFrom > 0.0f && beforeTo > 0.0f)
        return 1.0f;
    return afterFrom < 0.0f && beforeTo < 0.0f ? -1.0f : 0.0f;
}

// A box A against any hull B: each edge of B against A's three edge
// directions. The axis n across B's edge and direction k of A is a face of the
// Minkowski difference, turned the way that lies on B's arc (B's edge is then
// B's lowest feature along it), with the edge of A along k farthest along n.
// A mesh triangle meets a box in nine such axes instead of 36 edge pairs.
std::optional<SeparatingAxis> searchBoxAgainstEdges(const AxisSearch& search, Scratch& work, Candidate& edges)
{
    const HullBox& boxA = *search.a.box;
    turnArcsOfB(search, work);
    for (std::int32_t j = 0; j < static_cast<std::int32_t>(work.arcsOfB.size()); ++j) {
        const EdgeArc& arcB = work.arcsOfB[j];
        for (int k = 0; k < 3; ++k) {
            Vector3 n;
            if (!unitAcross(boxA.axes[k], arcB.direction, n))
                continue;
            const float side = sideOfArc(arcB, n);
            if (side == 0.0f)
                continue;
            n = n * side;
            float alongA[3];
            const float reach = alongAxes(boxA, n, alongA);
            float s = dot(n, arcB.point - boxA.centre) - reach;
            if (s > search.margin)
                s = gapAlong(search.a, search.b, search.bInA, n);
            if (std::optional<SeparatingAxis> found =
                    offerAxis(search, edges, AxisKind::EdgePair, boxA.edgeToward(k, alongA), j, s))
                return found;
        }
    }
    return std::nullopt;
}

/// The edge pairs by the quickest way the two hulls allow.
std::optional<SeparatingAxis> searchEdges(const AxisSearch& search, Scratch& work, Candidate& edges)
{
    if (search.a.box)
        return searchBoxAgainstEdges(search, work, edges);
    return searchEdgePairs(search, work, edges);
}

/// The choice among the least overlapping face of A, face of B and edge pair,
/// biased towards what the pair had before.
SeparatingAxis chooseAxis(const AxisSearch& search, Candidate& faceA, Candidate& faceB, Candidate& edges)
{
    SeparatingAxisCache& cache = search.cache;
    faceA.preferCached(cache);
    faceB.preferCached(cache);
    edges.preferCached(cache);

    const bool useFaceB = cache.kind == AxisKind::FaceB ? !clearlyBetter(faceA.separation, faceB.separation)
                                                        : clearlyBetter(faceB.separation, faceA.separation);
    const Candidate& face = useFaceB ? faceB : faceA;
    // An edge pair must always beat the faces clearly, also when the pair had
    // it last step: two nearly parallel edges of faces lying on each other give
    // an axis that is the faces' normal up to rounding, and keeping it would
    // leave the pair one point where the faces need four. Its separation is
    // checked on the hulls only then: the check can only lower it.
    bool useEdges = edges.indexA >= 0 && clearlyBetter(edges.separation, face.separation);
    Vector3 axis;
    if (useEdges && edgePairAxis(search.a, edges.indexA, search.b, edges.indexB, search.bInA, axis)) {
        const float gap = gapAlong(search.a, search.b, search.bInA, axis);
        edges.separation = gap < edges.separation ? gap : edges.separation;
        useEdges = clearlyBetter(edges.separation, face.separation);
    }
    if (useEdges)
        return settle(cache, AxisKind::EdgePair, edges.indexA, edges.indexB, edges.separation, search.bInA);
    return settle(cache, useFaceB ? AxisKind::FaceB : AxisKind::FaceA, face.indexA, face.indexB,
                  face.separation, search.bInA);
}

/// Every face of A, every face of B and every edge pair, by the quickest way
/// the two hulls allow, and the choice among the least overlapping ones.
SeparatingAxis searchEveryAxis(const AxisSearch& search)
{
    Candidate faceA;
    Candidate faceB;
    Candidate edges;
    if (search.a.box && search.b.box) {
        if (std::optional<SeparatingAxis> found = searchBoxPair(search, faceA, faceB, edges))
            return *found;
        return chooseAxis(search, faceA, faceB, edges);
    }
    Scratch& work = scratch;
    if (std::optional<SeparatingAxis> found = searchFacesOfA(search, faceA))
        return *found;
    if (std::optional<SeparatingAxis> found = searchFacesOfB(search, faceB, work.normalsOfB))
        return *found;
    if (std::optional<SeparatingAxis> found = searchEdges(search, work, edges))
        return *found;
    return chooseAxis(search, faceA, faceB, edges);
}

} // namespace

// The steps: the cached axis alone first (it separates most pairs that were
// apart last step); then every face of A, every face of B, and every edge pair
// whose arcs cross on the normal sphere, returning as soon as one separates by
// more than the margin; at last the choice among the least overlapping face of
// A, face of B and edge pair, biased towards what the pair had before.
SeparatingAxis findSeparatingAxis(const ConvexHull& a, const ConvexHull& b, const RelativePose& bInA,
                                  float margin, SeparatingAxisCache& cache)
{
    if (a.faces.empty() || b.faces.empty() || a.vertices.empty() || b.vertices.empty())
        return settle(cache, AxisKind::None, -1, -1, std::numeric_limits<float>::infinity(), bInA);
    if (!cacheFits(cache, a, b))
        cache = {};

    const AxisSearch search{a, b, bInA, margin, cache};
    if (std::optional<SeparatingAxis> kept = cachedAxis(search))
        return *kept;
    return searchEveryAxis(search);
}

SeparatingAxis findSeparatingAxis(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b,
                                  const HullPose& poseB, float margin, SeparatingAxisCache& cache)
{
    return findSeparatingAxis(a, b, relativePose(poseA, poseB), margin, cache);
}

} // namespace Tolvane::Physics::Collision
