// First-fit runs of places, taken and given back under a lock.
#include "physics/solver/FreeRuns.h"

#include <algorithm>
#include <cassert>

namespace Tolvane::Physics {

void FreeRuns::reset(std::uint32_t capacity, std::size_t holders)
{
    const std::lock_guard<std::mutex> hold(lock_);
    // A run given back lies between two free runs at most: the free runs are
    // never more than the runs held plus one.
    free_.reserve(holders + 1);
    free_.clear();
    if (capacity > 0)
        free_.emplace_back(0, capacity);
    capacity_ = capacity;
    highWater_ = 0;
}

void FreeRuns::reserve(std::size_t holders)
{
    const std::lock_guard<std::mutex> hold(lock_);
    free_.reserve(holders + 1);
}

void FreeRuns::grow(std::uint32_t capacity)
{
    const std::lock_guard<std::mutex> hold(lock_);
    assert(capacity >= capacity_);
    const std::uint32_t added = capacity - capacity_;
    if (added == 0)
        return;
    if (!free_.empty() && free_.back().first + free_.back().second == capacity_)
        free_.back().second += added;
    else
        free_.emplace_back(capacity_, added);
    capacity_ = capacity;
}

std::uint32_t FreeRuns::take(std::uint32_t count)
{
    if (count == 0)
        return 0;
    const std::lock_guard<std::mutex> hold(lock_);
    for (auto run = free_.begin(); run != free_.end(); ++run) {
        if (run->second < count)
            continue;
        const std::uint32_t first = run->first;
        run->first += count;
        run->second -= count;
        if (run->second == 0)
            free_.erase(run);
        highWater_ = std::max(highWater_, first + count);
        return first;
    }
    return capacity_;
}

void FreeRuns::give(std::uint32_t first, std::uint32_t count)
{
    if (count == 0)
        return;
    const std::lock_guard<std::mutex> hold(lock_);
    assert(first + count <= capacity_);
    const auto after = std::lower_bound(free_.begin(), free_.end(), std::make_pair(first, std::uint32_t{0}));
    const bool joinsBefore = after != free_.begin() && (after - 1)->first + (after - 1)->second == first;
    const bool joinsAfter = after != free_.end() && first + count == after->first;
    if (joinsBefore && joinsAfter) {
        (after - 1)->second += count + after->second;
        free_.erase(after);
    } else if (joinsBefore) {
        (after - 1)->second += count;
    } else if (joinsAfter) {
        after->first = first;
        after->second += count;
    } else {
        assert(free_.size() < free_.capacity());
        free_.insert(after, {first, count});
    }
}

} // namespace Tolvane::Physics
