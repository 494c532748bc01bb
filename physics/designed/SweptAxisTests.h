// Swept separating-axis tests: box against box and triangle against box over one step.
#pragma once

#include "math/Vector3.h"
#include "physics/body/ConvexPolyhedron.h"
#include "physics/body/OrientedBoundingBox.h"

#include <memory>
#include <vector>

namespace Tolvane::Physics::Collision {

/// Interval A fixed, interval B moving with speed along the same line:
/// true when they cannot overlap at any time in [0, dt].
bool sweptIntervalsSeparated(float dt, float speed, float minA, float maxA, float minB, float maxB);

/// True when box B, moving with relativeVelocity against box A, may touch it within dt (15 axes).
bool sweptBoxesOverlap(const Math::Vector3& relativeVelocity, float dt,
                       std::shared_ptr<OrientedBoundingBox> boxA, std::shared_ptr<OrientedBoundingBox> boxB);

/// The same test on frames already read from the two boxes.
bool sweptBoxesOverlap(const Math::Vector3& relativeVelocity, float dt, const BoxFrame& a, const BoxFrame& b);

/// True when the triangle, moving with relativeVelocity against the box, may touch it within dt (13 axes).
bool sweptTriangleOverlapsBox(const PolyhedronFace& face, const std::vector<Math::Vector3>& vertices,
                              const Math::Vector3& relativeVelocity, float dt,
                              std::shared_ptr<OrientedBoundingBox> box);

/// The same test against a frame read once for all the faces tested against one box.
bool sweptTriangleOverlapsBox(const PolyhedronFace& face, const std::vector<Math::Vector3>& vertices,
                              const Math::Vector3& relativeVelocity, float dt, const BoxFrame& frame);

} // namespace Tolvane::Physics::Collision
