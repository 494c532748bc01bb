// Contact point and normal of two triangles that meet.
#pragma once

#include "math/Vector3.h"
#include "physics/collision/TrianglePairTests.h"

namespace Tolvane::Physics::Collision {

/// Point (and for moving contacts a non-normalized normal) of the pair's contact
/// at time t; false when no contact can be built for the pair.
bool computeTriangleContact(const TriangleRef& a, const TriangleProjection& projectionA,
                            const Math::Vector3& pA, const TriangleRef& b,
                            const TriangleProjection& projectionB, const Math::Vector3& pB, ContactSide side,
                            float t, Math::Vector3& point, Math::Vector3& normal);

/// Closest-approach point of edge P on edge Q's line, and normal = (P1 - P0) x (Q1 - Q0);
/// false (outputs untouched) for nearly parallel edges or an edge too short to have a direction.
bool intersectEdges(const Math::Vector3& p0, const Math::Vector3& p1, const Math::Vector3& q0,
                    const Math::Vector3& q1, Math::Vector3& point, Math::Vector3& normal);

/// The segment along which two interpenetrating triangles cut each other.
bool triangleIntersectionSegment(const Math::Vector3& nB, const Math::Vector3& nA,
                                 const Math::Vector3 cornersA[3], const Math::Vector3 cornersB[3],
                                 Math::Vector3& p, Math::Vector3& q);

/// Interval of one triangle on the planes' common line and its two 3-D end points.
bool triangleLineInterval(const float distances[3], const float projections[3],
                          const Math::Vector3 corners[3], float& t0, float& t1, Math::Vector3& point0,
                          Math::Vector3& point1);

/// Where the two edges from the lone corner cross the other plane.
bool edgePlaneCrossings(int lone, int a, int b, const float distances[3], const float projections[3],
                        const Math::Vector3 corners[3], float& t0, float& t1, Math::Vector3& point0,
                        Math::Vector3& point1);

} // namespace Tolvane::Physics::Collision
