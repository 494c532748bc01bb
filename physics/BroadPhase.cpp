// Keeping the broad phase's order of boxes along x.
#include "physics/BroadPhase.h"

#include <cmath>

namespace Tolvane::Physics {

namespace {

/// The key boxes are sorted by: the lower x bound, NaN treated as beyond every
/// number so that such a box sorts last and stops no sweep early.
float sortKey(const WorldBox& box)
{
    return std::isnan(box.min.x) ? INFINITY : box.min.x;
}

} // namespace

void BroadPhase::sortAlongX(const std::vector<WorldBox>& boxes)
{
    if (order_.size() != boxes.size()) {
        order_.resize(boxes.size());
        for (std::size_t i = 0; i < order_.size(); ++i)
            order_[i] = static_cast<std::int32_t>(i);
    }
    // Insertion sort, ties by index so that the order never depends on where
    // the boxes were last step.
    const auto before = [&boxes](std::int32_t a, std::int32_t b) {
        const float ka = sortKey(boxes[a]);
        const float kb = sortKey(boxes[b]);
        return ka < kb || (ka == kb && a < b);
    };
    for (std::size_t k = 1; k < order_.size(); ++k) {
        const std::int32_t moving = order_[k];
        std::size_t l = k;
        while (l > 0 && before(moving, order_[l - 1])) {
            order_[l] = order_[l - 1];
            --l;
        }
        order_[l] = moving;
    }
}

} // namespace Tolvane::Physics
