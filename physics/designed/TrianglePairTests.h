// Moving and static tests of one triangle against another on their eleven candidate axes.
#pragma once

#include "math/Vector3.h"
#include "physics/body/ConvexPolyhedron.h"

#include <cstdint>
#include <vector>

namespace Tolvane::Physics::Collision {

/// Tie pattern of a triangle's three projections on an axis.
enum ProjectionKind : std::int32_t { Flat = 0, LowPair = 1, HighPair = 2, Distinct = 3 };

/// Which triangle lies at larger projections on the deciding axis.
enum ContactSide : std::int32_t { FirstAbove = 0, Overlapping = 1, FirstBelow = 2 };

/// A triangle projected on one axis: its corners in ascending order and its interval.
struct TriangleProjection {
    ProjectionKind kind = Flat;
    /// Corner numbers (0, 1, 2 in the face's vertexIndex) by ascending projection.
    std::int32_t vertex[3] = {0, 1, 2};
    float min = 0.0f;
    float max = 0.0f;
};

/// What the moving pair test found: both projections and the side on the axis that
/// decided the contact time, and that time (seconds into the step).
struct TriangleContactState {
    TriangleProjection first;
    TriangleProjection second;
    ContactSide side = Overlapping;
    float time = 0.0f;
};

/// A face together with the world vertices of its polyhedron.
struct TriangleRef {
    const PolyhedronFace& face;
    const std::vector<Math::Vector3>& vertices;

    const Math::Vector3& corner(int k) const { return vertices[face.vertexIndex[k]]; }
};

/// Fills projection from the projections p0, p1, p2 of corners 0, 1, 2.
void projectTriangle(TriangleProjection& projection, float p0, float p1, float p2);

/// Moves the first contact time on one axis forward; false when the moving
/// interval is separated and moving away.
bool advanceFirstContact(const TriangleProjection& moving, const TriangleProjection& fixed, float& firstTime,
                         ContactSide& side, float speed);

/// True when the two intervals overlap or touch.
bool projectionsOverlap(const TriangleProjection& a, const TriangleProjection& b);

/// Time of first contact of B moving with u against A, no later than timeLimit
/// (+ tolerance). Writes state; q receives a penetration normal where chosen.
bool findTriangleContactTime(const TriangleRef& a, const TriangleRef& b, const Math::Vector3& u,
                             float timeLimit, TriangleContactState& state, Math::Vector3& q);

/// Plain overlap at the current positions; q receives the penetration normal.
bool trianglesOverlap(const TriangleRef& a, const TriangleRef& b, Math::Vector3& q);

} // namespace Tolvane::Physics::Collision
