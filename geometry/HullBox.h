// A hull that is a box: its centre, axes and half extents, and where its faces
// and edges lie, so that the collision tests can take its three face
// directions and three edge directions instead of every face and edge.
#pragma once

#include "math/Vector3.h"

#include <cmath>
#include <cstdint>
#include <optional>

namespace Tolvane::Physics::Collision {

struct ConvexHull;

/// A box in its hull's coordinates, with the hull's faces and edges placed on it.
struct HullBox {
    Math::Vector3 centre;
    /// Unit axes at right angles to each other.
    Math::Vector3 axes[3];
    float halfExtents[3] = {0.0f, 0.0f, 0.0f};
    /// The hull's face f has the outward normal axes[faceAxis[f]] when
    /// facePositive[f], else its negation.
    std::int8_t faceAxis[6] = {0, 0, 0, 0, 0, 0};
    bool facePositive[6] = {false, false, false, false, false, false};
    /// The hull's edge along axes[k] on the given sides of the two other axes,
    /// axes[(k + 1) % 3] (bit 0 set: its positive side) and axes[(k + 2) % 3] (bit 1).
    std::int32_t edgeAt[3][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}};

    /// Half the box's extent along direction (any length): its highest
    /// dot(direction, x) less that of its centre.
    float reachAlong(const Math::Vector3& direction) const
    {
        return halfExtents[0] * std::fabs(dot(axes[0], direction)) +
               halfExtents[1] * std::fabs(dot(axes[1], direction)) +
               halfExtents[2] * std::fabs(dot(axes[2], direction));
    }

    /// The edge along axes[k] farthest along a direction whose components
    /// along the three axes are along[0..2]; a zero component counts as negative.
    std::int32_t edgeToward(int k, const float along[3]) const
    {
        const int sides = (along[(k + 1) % 3] > 0.0f ? 1 : 0) | (along[(k + 2) % 3] > 0.0f ? 2 : 0);
        return edgeAt[k][sides];
    }
};

/// The box that hull is, or nullopt: eight corners, six four-cornered faces in
/// three opposite pairs at right angles, twelve edges along the three axes,
/// and every corner within boxShapeTolerance of a corner of the box bounded
/// by the faces' planes.
std::optional<HullBox> findHullBox(const ConvexHull& hull);

} // namespace Tolvane::Physics::Collision
