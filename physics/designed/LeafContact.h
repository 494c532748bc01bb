// Contact between two leaf polyhedra: earliest triangle contact, reduced to one contact.
#pragma once

#include "math/Transform.h"
#include "math/Vector3.h"
#include "physics/body/ConvexPolyhedron.h"
#include "physics/designed/MovingNode.h"
#include "physics/designed/PhysicalObjectCollisionSolver.h"

#include <memory>

namespace Tolvane::Physics::Collision {

/// Writes contact (time, point, normal turned away from A, depth) when the
/// leaves a.node and b.node meet within dt, no later than contact.time;
/// returns whether they do.
bool testLeafPolyhedra(const MovingNode& a, const MovingNode& b, float dt, CollisionContact& contact);

} // namespace Tolvane::Physics::Collision
