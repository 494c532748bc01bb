// Contact point and normal of two triangles that meet.
#pragma once

#include "math/Vector3.h"
#include "physics/designed/TrianglePairTests.h"

namespace Tolvane::Physics::Collision {

/// A triangle of a contact pair: its projection record on the axis that
/// decided the contact time, and the velocity it moves with over the step.
struct MovingTriangle {
    const TriangleRef& triangle;
    const TriangleProjection& projection;
    const Math::Vector3& velocity;

    const Math::Vector3& current(int k) const { return triangle.corner(k); }
    Math::Vector3 movedTo(int k, float t) const { return triangle.corner(k) + velocity * t; }
    const Math::Vector3& normal() const { return triangle.face.normal; }
};

/// Point (and for moving contacts a non-normalized normal) of the pair's contact
/// at time t; false when no contact can be built for the pair.
bool computeTriangleContact(const MovingTriangle& a, const MovingTriangle& b, ContactSide side, float t,
                            Math::Vector3& point, Math::Vector3& normal);

/// Closest-approach point of edge P on edge Q's line, and normal = (P1 - P0) x (Q1 - Q0);
/// false (outputs untouched) for nearly parallel edges or an edge too short to have a direction.
bool intersectEdges(const Math::Vector3& p0, const Math::Vector3& p1, const Math::Vector3& q0,
                    const Math::Vector3& q1, Math::Vector3& point, Math::Vector3& normal);

/// The segment along which two interpenetrating triangles cut each other.
bool triangleIntersectionSegment(const Math::Vector3& nB, const Math::Vector3& nA,
                                 const Math::Vector3 cornersA[3], const Math::Vector3 cornersB[3],
                                 Math::Vector3& p, Math::Vector3& q);

/// One triangle against the other triangle's plane: each corner's signed
/// distance to that plane, each corner's position along the planes' common
/// line, and the corners themselves (three of each).
struct TriangleAcrossPlane {
    const float* distances;
    const float* projections;
    const Math::Vector3* corners;
};

/// Where a triangle's two edges cross the other plane: positions along the
/// common line and the points, in the order of the edges.
struct LineCrossing {
    float t0 = 0.0f;
    float t1 = 0.0f;
    Math::Vector3 point0;
    Math::Vector3 point1;
};

/// Interval of one triangle on the planes' common line and its two 3-D end points.
bool triangleLineInterval(const TriangleAcrossPlane& triangle, LineCrossing& crossing);

/// Where the two edges from the lone corner (to corners a and b) cross the other plane.
bool edgePlaneCrossings(int lone, int a, int b, const TriangleAcrossPlane& triangle, LineCrossing& crossing);

} // namespace Tolvane::Physics::Collision
