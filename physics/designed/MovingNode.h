// One side of a body pair in the narrow phase's tree descent.
#pragma once

#include "math/Transform.h"
#include "math/Vector3.h"
#include "physics/body/ConvexPolyhedron.h"

#include <memory>
#include <utility>

namespace Tolvane::Physics::Collision {

/// A body's pose, how it moves over the step and the node of its shape tree
/// under test.
struct MovingNode {
    /// The body's pose; the node refreshes its world caches from it.
    Math::Transform& transform;
    /// The body's predicted velocity, units per second.
    const Math::Vector3& velocity;
    /// Radians per second about world axes.
    const Math::Vector3& angularVelocity;
    std::shared_ptr<ConvexPolyhedron> node;

    /// The same body at another node of its tree.
    MovingNode at(std::shared_ptr<ConvexPolyhedron> other) const
    {
        return {transform, velocity, angularVelocity, std::move(other)};
    }

    /// How fast the node's box centre moves: with the body, and with the turn
    /// about the body's origin.
    Math::Vector3 centreVelocity() const { return velocity + cross(angularVelocity, node->worldOffset()); }
};

} // namespace Tolvane::Physics::Collision
