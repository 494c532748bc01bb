// Contact between two leaf polyhedra: earliest triangle contact, reduced to one contact.
#pragma once

#include "math/Transform.h"
#include "math/Vector3.h"
#include "physics/ConvexPolyhedron.h"
#include "physics/PhysicalObjectCollisionSolver.h"

#include <memory>

namespace Tolvane::Physics::Collision {

/// Writes contact (time, point, normal turned away from A, depth) when the
/// leaves meet no later than contact.time; returns whether it did.
bool testLeafPolyhedra(Math::Transform& transformA, const Math::Vector3& vA, const Math::Vector3& wA,
                       const Math::Vector3& vB, const Math::Vector3& wB, float dt, CollisionContact& contact,
                       std::shared_ptr<ConvexPolyhedron> nodeA, std::shared_ptr<ConvexPolyhedron> nodeB);

} // namespace Tolvane::Physics::Collision
