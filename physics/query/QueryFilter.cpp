// The query filter's test of one body.
#include "physics/query/QueryFilter.h"

#include <algorithm>

namespace Tolvane::Physics {

/// The number of collision layers, one bit of a mask each.
constexpr unsigned layerCount = 32;

bool QueryFilter::passes(const PhysicalObject& body) const
{
    // A layer past the mask's bits is in none of them.
    if (body.collisionLayer >= layerCount || ((layers >> body.collisionLayer) & 1u) == 0)
        return false;
    if (std::find(ignored.begin(), ignored.end(), &body) != ignored.end())
        return false;
    return !accepts || accepts(body);
}

} // namespace Tolvane::Physics
