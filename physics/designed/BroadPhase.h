// The broad phase: which bodies' boxes overlap, found by sorting the boxes
// along x and sweeping, so that far-apart pairs are never looked at.
#pragma once

#include "geometry/WorldBox.h"
#include "math/Vector3.h"
#include "physics/body/PhysicalObject.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace Tolvane::Physics {

/// Sort and sweep over the x axis. The sorted order is kept from call to call
/// and brought up to date by insertion sort, which costs little while the
/// bodies move little between steps.
class BroadPhase {
  public:
    /// Every pair (i, j), i < j, of boxes that overlap and that wanted(i, j)
    /// accepts, sorted by i and then j. Boxes with NaN bounds overlap nothing.
    template <class Wanted>
    void findPairs(const std::vector<WorldBox>& boxes, Wanted wanted,
                   std::vector<std::pair<std::int32_t, std::int32_t>>& pairs);

  private:
    void sortAlongX(const std::vector<WorldBox>& boxes);

    std::vector<std::int32_t> order_;
};

template <class Wanted>
void BroadPhase::findPairs(const std::vector<WorldBox>& boxes, Wanted wanted,
                           std::vector<std::pair<std::int32_t, std::int32_t>>& pairs)
{
    pairs.clear();
    sortAlongX(boxes);
    const std::size_t count = order_.size();
    for (std::size_t k = 0; k < count; ++k) {
        const std::int32_t i = order_[k];
        const WorldBox& a = boxes[i];
        for (std::size_t l = k + 1; l < count; ++l) {
            const std::int32_t j = order_[l];
            const WorldBox& b = boxes[j];
            if (!(b.min.x <= a.max.x))
                break;
            if (boxesOverlap(a, b)) {
                const std::int32_t first = i < j ? i : j;
                const std::int32_t second = i < j ? j : i;
                if (wanted(first, second))
                    pairs.emplace_back(first, second);
            }
        }
    }
    std::sort(pairs.begin(), pairs.end());
}

/// The designed response's broad phase: every pair k < l, in that order, of
/// bodies whose bounding spheres, each swept along its velocity over dt,
/// might meet; a superset of the pairs the designed pair test accepts, so
/// that testing these instead of all pairs gives the same results. A body with
/// a non-finite position, velocity or radius is paired with every other body,
/// as the all-pairs loop would. Every body must have a model.
void findSphereSweepPairs(const std::vector<std::shared_ptr<PhysicalObject>>& bodies,
                          const std::vector<Math::Vector3>& velocities, float dt, BroadPhase& broadPhase,
                          std::vector<WorldBox>& boxes,
                          std::vector<std::pair<std::int32_t, std::int32_t>>& pairs);

} // namespace Tolvane::Physics
