// Keeping the broad phase's order of boxes along x.
#include "physics/designed/BroadPhase.h"

#include <algorithm>
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

// A body's box holds its sphere swept by its own motion, grown a little for
// rounding: the sphere test adds the distances and speeds in floats.
void findSphereSweepPairs(const std::vector<std::shared_ptr<PhysicalObject>>& bodies,
                          const std::vector<Math::Vector3>& velocities, float dt, BroadPhase& broadPhase,
                          std::vector<WorldBox>& boxes,
                          std::vector<std::pair<std::int32_t, std::int32_t>>& pairs)
{
    constexpr float relativeAllowance = 1e-3f;
    constexpr float absoluteAllowance = 1e-6f;
    boxes.clear();
    std::vector<std::int32_t> unbounded;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        const PhysicalObject& body = *bodies[i];
        const Math::Vector3& p = body.transform.position;
        const float reach = body.model->radius() + velocities[i].length() * dt;
        const float largest = std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
        const float half =
            reach * (1.0f + relativeAllowance) + largest * relativeAllowance + absoluteAllowance;
        const Math::Vector3 grow(half, half, half);
        boxes.push_back({p - grow, p + grow});
        if (!std::isfinite(half) || !std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
            unbounded.push_back(static_cast<std::int32_t>(i));
    }
    broadPhase.findPairs(
        boxes, [](std::int32_t, std::int32_t) { return true; }, pairs);
    if (unbounded.empty())
        return;
    for (const std::int32_t u : unbounded)
        for (std::int32_t j = 0; j < static_cast<std::int32_t>(bodies.size()); ++j)
            if (j != u)
                pairs.emplace_back(std::min(u, j), std::max(u, j));
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
}

} // namespace Tolvane::Physics
