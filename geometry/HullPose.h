// Where a hull stands in the world, and one hull's pose seen from another's frame.
#pragma once

#include "math/Matrix3.h"
#include "math/Vector3.h"

namespace Tolvane::Physics::Collision {

/// A hull's pose: world = rotation * local + position.
struct HullPose {
    Math::Vector3 position;
    /// A rotation matrix (orthonormal columns).
    Math::Matrix3 rotation;
};

/// Hull B's pose in hull A's frame: A-local = rotation * B-local + translation.
struct RelativePose {
    Math::Matrix3 rotation;
    Math::Vector3 translation;
};

inline RelativePose relativePose(const HullPose& a, const HullPose& b)
{
    return {transposeTimes(a.rotation, b.rotation), transposeTimes(a.rotation, b.position - a.position)};
}

} // namespace Tolvane::Physics::Collision
