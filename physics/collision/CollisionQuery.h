// The narrow-phase query between two bodies: sphere sweep, tree descent, leaf contact.
#pragma once

#include "math/Transform.h"
#include "math/Vector3.h"
#include "physics/ConvexPolyhedron.h"
#include "physics/PhysicalObjectCollisionSolver.h"

#include <cstdint>
#include <memory>

namespace Tolvane::Physics::Collision {

/// The first and cheapest tier of testBodies: false when the two bodies'
/// bounding spheres, swept at their relative velocity, stay apart for all of dt.
bool boundingSpheresMayMeet(const PhysicalObject& bodyA, const Math::Vector3& velocityA,
                            const PhysicalObject& bodyB, const Math::Vector3& velocityB, float dt);

/// Fills the solver's collided flag and contact for the coming step of length dt,
/// with the bodies moving at their predicted velocities. step is the cache stamp.
void testBodies(PhysicalObjectCollisionSolver& solver, const Math::Vector3& predictedVelocityA,
                const Math::Vector3& predictedVelocityB, float dt, std::int32_t step);

/// Recursive descent through two polyhedron trees; true when contact was found below.
bool testPolyhedra(Math::Transform& transformA, const Math::Vector3& vA, const Math::Vector3& wA,
                   Math::Transform& transformB, const Math::Vector3& vB, const Math::Vector3& wB, float dt,
                   std::int32_t step, CollisionContact& contact, std::shared_ptr<ConvexPolyhedron> nodeA,
                   std::shared_ptr<ConvexPolyhedron> nodeB);

} // namespace Tolvane::Physics::Collision
