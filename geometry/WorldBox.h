// An axis-aligned box in world coordinates, and whether two of them overlap:
// what both responses' broad phases sort and hash.
#pragma once

#include "math/Vector3.h"

namespace Tolvane::Physics {

/// An axis-aligned world box.
struct WorldBox {
    Math::Vector3 min;
    Math::Vector3 max;
};

inline bool boxesOverlap(const WorldBox& a, const WorldBox& b)
{
    return a.min.x <= b.max.x && b.min.x <= a.max.x && a.min.y <= b.max.y && b.min.y <= a.max.y &&
           a.min.z <= b.max.z && b.min.z <= a.max.z;
}

} // namespace Tolvane::Physics
