// Contact point and normal of two triangles that meet.
#include "physics/designed/TriangleContact.h"

#include "physics/designed/CollisionConstants.h"

#include <cmath>
#include <utility>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

namespace {

/// What a triangle shows at one end of its projection on the deciding axis.
enum class FeatureKind { Corner, Edge, Face };

/// A corner (first), an edge (first, second) or the whole face, by corner number.
struct Feature {
    FeatureKind kind;
    int first;
    int second;
};

Feature topFeature(const TriangleProjection& r)
{
    switch (r.kind) {
    case LowPair:
    case Distinct:
        return {FeatureKind::Corner, r.vertex[2], r.vertex[2]};
    case HighPair:
        return {FeatureKind::Edge, r.vertex[1], r.vertex[2]};
    case Flat:
        break;
    }
    return {FeatureKind::Face, 0, 0};
}

Feature bottomFeature(const TriangleProjection& r)
{
    switch (r.kind) {
    case HighPair:
    case Distinct:
        return {FeatureKind::Corner, r.vertex[0], r.vertex[0]};
    case LowPair:
        return {FeatureKind::Edge, r.vertex[0], r.vertex[1]};
    case Flat:
        break;
    }
    return {FeatureKind::Face, 0, 0};
}

/// from + (to - from) / 2, reached by setting the length of (to - from) to half
/// its length; the caller makes sure the two points are apart.
Vector3 halfwayBetween(const Vector3& from, const Vector3& to)
{
    Vector3 half = to - from;
    half.setLength(half.length() * 0.5f);
    return from + half;
}

// The lower triangle's top feature is met by the upper triangle's bottom
// feature at time t. A corner touching anything gives that corner as the
// point; two edges give their crossing. The normal is the direction a
// corner-edge or corner-face contact separates along: the face's normal, or
// the edge turned out of its face. Corner on corner has no such direction, so
// the lower triangle's corner is pushed away from the middle of its opposite
// edge. Face on face and face on edge give no single point.
bool featureContact(const MovingTriangle& lower, const MovingTriangle& upper, float t, Vector3& point,
                    Vector3& normal)
{
    const Feature top = topFeature(lower.projection);
    const Feature bottom = bottomFeature(upper.projection);

    if (top.kind == FeatureKind::Corner) {
        point = lower.movedTo(top.first, t);
        if (bottom.kind == FeatureKind::Corner) {
            const Vector3& base0 = lower.current(lower.projection.vertex[0]);
            const Vector3& base1 = lower.current(lower.projection.vertex[1]);
            const Vector3 middle =
                (base1 - base0).squaredLength() < zeroSquaredLength ? base0 : halfwayBetween(base0, base1);
            normal = point - middle;
        } else if (bottom.kind == FeatureKind::Edge) {
            normal = cross(upper.current(bottom.first) - upper.current(bottom.second), upper.normal());
        } else {
            normal = upper.normal();
        }
        return true;
    }
    if (bottom.kind == FeatureKind::Corner) {
        point = upper.movedTo(bottom.first, t);
        if (top.kind == FeatureKind::Edge)
            normal = cross(lower.current(top.first) - lower.current(top.second), lower.normal());
        else
            normal = lower.normal();
        return true;
    }
    if (top.kind == FeatureKind::Edge && bottom.kind == FeatureKind::Edge)
        return intersectEdges(lower.movedTo(top.first, t), lower.movedTo(top.second, t),
                              upper.movedTo(bottom.first, t), upper.movedTo(bottom.second, t), point, normal);
    return false;
}

/// The coordinate (0 = x, 1 = y, 2 = z) along which d is longest; ties go to the earlier one.
int dominantCoordinate(const Vector3& d)
{
    const float x = std::fabs(d.x);
    const float y = std::fabs(d.y);
    const float z = std::fabs(d.z);
    if (x >= y && x >= z)
        return 0;
    return y >= z ? 1 : 2;
}

float coordinate(const Vector3& v, int index)
{
    return index == 0 ? v.x : index == 1 ? v.y : v.z;
}

/// One triangle's stretch of the planes' common line, ends in ascending order.
struct LineInterval {
    float low;
    float high;
    Vector3 lowPoint;
    Vector3 highPoint;
};

bool lineInterval(const TriangleAcrossPlane& triangle, LineInterval& interval)
{
    LineCrossing crossing;
    if (!triangleLineInterval(triangle, crossing))
        return false;
    interval = {crossing.t0, crossing.t1, crossing.point0, crossing.point1};
    if (interval.high < interval.low) {
        std::swap(interval.low, interval.high);
        std::swap(interval.lowPoint, interval.highPoint);
    }
    return true;
}

} // namespace

// Moving contacts take the features that face each other on the axis that
// decided the contact time: the side says which triangle is the lower one
// there. Interpenetrating triangles take the middle of the segment along which
// they cut each other; their normal comes from the pair test instead.
bool computeTriangleContact(const MovingTriangle& a, const MovingTriangle& b, ContactSide side, float t,
                            Vector3& point, Vector3& normal)
{
    switch (side) {
    case FirstBelow:
        return featureContact(a, b, t, point, normal);
    case FirstAbove:
        return featureContact(b, a, t, point, normal);
    case Overlapping:
        break;
    }

    const Vector3 cornersA[3] = {a.current(0), a.current(1), a.current(2)};
    const Vector3 cornersB[3] = {b.current(0), b.current(1), b.current(2)};
    Vector3 start;
    Vector3 end;
    if (!triangleIntersectionSegment(b.normal(), a.normal(), cornersA, cornersB, start, end))
        return false;
    const float halfLength = (end - start).length() * 0.5f;
    point = halfLength > shortSegmentHalfLength ? halfwayBetween(start, end) : start;
    return true;
}

// Where edge P comes closest to edge Q's line, assuming the two cross: the
// distance from P0 to Q's line divided by the sine of the angle between the
// edges is how far along P the crossing lies. Edges within about 5 degrees of
// parallel give no reliable crossing, and neither does an edge too short to
// have a direction.
bool intersectEdges(const Vector3& p0, const Vector3& p1, const Vector3& q0, const Vector3& q1,
                    Vector3& point, Vector3& normal)
{
    const Vector3 edgeP = p1 - p0;
    const Vector3 edgeQ = q1 - q0;
    if (edgeP.squaredLength() < zeroSquaredLength || edgeQ.squaredLength() < zeroSquaredLength)
        return false;
    Vector3 unitP = edgeP;
    Vector3 unitQ = edgeQ;
    unitP.setLength(1.0f);
    unitQ.setLength(1.0f);
    const float sine = cross(unitP, unitQ).length();
    if (sine < parallelEdgesSine)
        return false;
    const float distance = cross(q0 - p0, unitQ).length() / sine;
    normal = cross(edgeP, edgeQ);
    point = p0 + unitP * distance;
    return true;
}

// The interval method (Moeller, "A Fast Triangle-Triangle Intersection Test",
// 1997): each triangle cuts the other's plane along a stretch of the line
// where the two planes meet; where the two stretches overlap is the segment
// the triangles share. Positions on the line are measured along the world
// coordinate in which the line runs longest.
bool triangleIntersectionSegment(const Vector3& nB, const Vector3& nA, const Vector3 cornersA[3],
                                 const Vector3 cornersB[3], Vector3& p, Vector3& q)
{
    const float planeB = dot(nB, cornersB[0]);
    const float planeA = dot(nA, cornersA[0]);
    float distancesA[3];
    float distancesB[3];
    for (int k = 0; k < 3; ++k) {
        distancesA[k] = dot(nB, cornersA[k]) - planeB;
        distancesB[k] = dot(nA, cornersB[k]) - planeA;
    }

    const int along = dominantCoordinate(cross(nA, nB));
    float projectionsA[3];
    float projectionsB[3];
    for (int k = 0; k < 3; ++k) {
        projectionsA[k] = coordinate(cornersA[k], along);
        projectionsB[k] = coordinate(cornersB[k], along);
    }

    LineInterval onA;
    LineInterval onB;
    if (!lineInterval({distancesA, projectionsA, cornersA}, onA) ||
        !lineInterval({distancesB, projectionsB, cornersB}, onB))
        return false;
    if (onA.high < onB.low || onB.high < onA.low)
        return false;
    p = onA.low > onB.low ? onA.lowPoint : onB.lowPoint;
    q = onA.high < onB.high ? onA.highPoint : onB.highPoint;
    return true;
}

// The corner alone on its side of the other plane is the one whose two edges
// cross that plane. A corner lying in the plane counts with either side; when
// all three lie in it the triangles are coplanar and have no common line.
bool triangleLineInterval(const TriangleAcrossPlane& triangle, LineCrossing& crossing)
{
    const float d0 = triangle.distances[0];
    const float d1 = triangle.distances[1];
    const float d2 = triangle.distances[2];
    if (d0 * d1 > 0.0f)
        return edgePlaneCrossings(2, 0, 1, triangle, crossing);
    if (d0 * d2 > 0.0f)
        return edgePlaneCrossings(1, 0, 2, triangle, crossing);
    if (d1 * d2 > 0.0f || d0 != 0.0f)
        return edgePlaneCrossings(0, 1, 2, triangle, crossing);
    if (d1 != 0.0f)
        return edgePlaneCrossings(1, 0, 2, triangle, crossing);
    if (d2 != 0.0f)
        return edgePlaneCrossings(2, 0, 1, triangle, crossing);
    return false;
}

bool edgePlaneCrossings(int lone, int a, int b, const TriangleAcrossPlane& triangle, LineCrossing& crossing)
{
    const float loneDistance = triangle.distances[lone];
    const float loneProjection = triangle.projections[lone];
    const Vector3& loneCorner = triangle.corners[lone];
    const auto crossAt = [&](int other, float& t, Vector3& point) {
        const float span = loneDistance - triangle.distances[other];
        if (std::fabs(span) < edgePlaneTolerance)
            return false;
        const float f = loneDistance / span;
        t = loneProjection + (triangle.projections[other] - loneProjection) * f;
        point = loneCorner + (triangle.corners[other] - loneCorner) * f;
        return true;
    };
    return crossAt(a, crossing.t0, crossing.point0) && crossAt(b, crossing.t1, crossing.point1);
}

} // namespace Tolvane::Physics::Collision
