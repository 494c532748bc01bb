// A box with a pose and half extents: the pruning volume of every shape node.
#pragma once

#include "math/Transform.h"
#include "math/Vector3.h"

namespace Tolvane::Physics {

struct OrientedBoundingBox {
    /// position = box centre; orientation = the box's rotation.
    Math::Transform transform;
    /// Half the box's size along each local axis; never negative.
    Math::Vector3 halfExtents;

    /// Axis-aligned box between two corners, identity orientation, clean cache.
    OrientedBoundingBox(const Math::Vector3& maxCorner, const Math::Vector3& minCorner);

    /// Copies centre, orientation and half extents; the copy rebuilds its
    /// rotation matrix from the orientation on first use.
    OrientedBoundingBox(const OrientedBoundingBox& other);
    OrientedBoundingBox& operator=(const OrientedBoundingBox& other);
};

/// A box as the separating-axis tests read it: centre, unit axes, half extents.
struct BoxFrame {
    Math::Vector3 centre;
    Math::Vector3 axis[3];
    float half[3] = {0.0f, 0.0f, 0.0f};
};

/// Reads the box's frame, bringing its rotation up to date.
BoxFrame readBoxFrame(OrientedBoundingBox& box);

} // namespace Tolvane::Physics
