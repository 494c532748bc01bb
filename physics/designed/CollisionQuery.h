// The narrow-phase query between two bodies: sphere sweep, tree descent, leaf contact.
#pragma once

#include "math/Transform.h"
#include "math/Vector3.h"
#include "physics/body/ConvexPolyhedron.h"
#include "physics/designed/MovingNode.h"
#include "physics/designed/PhysicalObjectCollisionSolver.h"

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

/// Recursive descent through two polyhedron trees over a step of length dt;
/// true when contact was found below. step is the cache stamp.
bool testPolyhedra(const MovingNode& a, const MovingNode& b, float dt, std::int32_t step,
                   CollisionContact& contact);

} // namespace Tolvane::Physics::Collision
