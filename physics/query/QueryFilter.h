// Which bodies a world query may report: by collision layer, by a list of
// bodies to pass over, and by a test of the caller's own.
#pragma once

#include "physics/body/PhysicalObject.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace Tolvane::Physics {

/// The default filter passes every body.
struct QueryFilter {
    /// The collision layers whose bodies the query sees, one bit each (bit n:
    /// layer n, as in PhysicalObject::collisionMask).
    std::uint32_t layers = ~0u;
    /// Bodies the query passes over, such as the one casting the ray.
    std::vector<const PhysicalObject*> ignored;
    /// When set, only the bodies it accepts are reported. Asked only of the
    /// bodies that pass the layers and the list, and only of those the query's
    /// ray or shape comes near; it must not change the world.
    std::function<bool(const PhysicalObject&)> accepts;

    bool passes(const PhysicalObject& body) const;
};

} // namespace Tolvane::Physics
