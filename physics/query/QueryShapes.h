// What the world queries take and give: a ray and its hits, and the sphere and
// the turned box an overlap query looks in. World coordinates throughout.
#pragma once

#include "math/Quaternion.h"
#include "math/Vector3.h"
#include "physics/body/PhysicalObject.h"

#include <limits>
#include <memory>

namespace Tolvane::Physics {

/// A ray from origin along direction (any length but zero: only its way
/// counts), as far as maxDistance world units from the origin.
struct Ray {
    Math::Vector3 origin;
    Math::Vector3 direction;
    float maxDistance = std::numeric_limits<float>::infinity();
};

/// Where a ray meets a body.
struct RayHit {
    std::shared_ptr<PhysicalObject> body;
    /// The point met, world coordinates.
    Math::Vector3 point;
    /// The body's unit surface normal there, facing back along the ray; for a
    /// ray that starts inside a body, the opposite of the ray's direction.
    Math::Vector3 normal;
    /// World units from the ray's origin to point.
    float distance = 0.0f;
};

/// A sphere to look for bodies in.
struct QuerySphere {
    Math::Vector3 centre;
    float radius = 0.0f;
};

/// A box to look for bodies in: its centre, its half size along its own axes,
/// and the turn from world axes to its own (any length but zero: it is
/// normalised).
struct QueryBox {
    Math::Vector3 centre;
    Math::Vector3 halfExtents;
    Math::Quaternion orientation;
};

} // namespace Tolvane::Physics
