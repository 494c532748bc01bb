// Hashing boxes into the grid's cells.
#include "physics/GridBroadPhase.h"

#include "physics/SolverConstants.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics {

namespace {

/// Cell coordinates stay well inside 32 bits; boxes beyond are large.
constexpr float farthestCell = 1.0e9f;

} // namespace

bool GridBroadPhase::cellRange(const WorldBox& box, std::int32_t low[3], std::int32_t high[3]) const
{
    const float lows[3] = {box.min.x, box.min.y, box.min.z};
    const float highs[3] = {box.max.x, box.max.y, box.max.z};
    for (int axis = 0; axis < 3; ++axis) {
        const float from = std::floor(lows[axis] * inverseCellSize_);
        const float to = std::floor(highs[axis] * inverseCellSize_);
        // Also false for NaN bounds.
        if (!(from >= -farthestCell && to <= farthestCell && from <= to))
            return false;
        low[axis] = static_cast<std::int32_t>(from);
        high[axis] = static_cast<std::int32_t>(to);
        if (high[axis] - low[axis] >= largestCellSpan)
            return false;
    }
    return true;
}

std::uint32_t GridBroadPhase::bucketOf(const std::int32_t cell[3]) const
{
    const std::uint32_t hash = static_cast<std::uint32_t>(cell[0]) * 73856093u ^
                               static_cast<std::uint32_t>(cell[1]) * 19349663u ^
                               static_cast<std::uint32_t>(cell[2]) * 83492791u;
    return hash & bucketMask_;
}

void GridBroadPhase::build(const std::vector<WorldBox>& boxes)
{
    // The cell size follows the boxes: twice the median of their largest
    // sides, taken over an even sample of at most sizeSamples boxes. The size
    // changes only how fast the pairs are found, never which.
    sizes_.clear();
    const std::size_t stride = std::max<std::size_t>(1, boxes.size() / sizeSamples);
    for (std::size_t i = 0; i < boxes.size(); i += stride) {
        const WorldBox& box = boxes[i];
        const float size = std::max({box.max.x - box.min.x, box.max.y - box.min.y, box.max.z - box.min.z});
        if (std::isfinite(size) && size > 0.0f)
            sizes_.push_back(size);
    }
    float median = 1.0f;
    if (!sizes_.empty()) {
        auto middle = sizes_.begin() + static_cast<std::ptrdiff_t>(sizes_.size() / 2);
        std::nth_element(sizes_.begin(), middle, sizes_.end());
        median = *middle;
    }
    cellSize_ = std::max(median * cellsPerMedianBox, 1e-6f);
    inverseCellSize_ = 1.0f / cellSize_;

    entries_.clear();
    large_.clear();
    lowCell_.resize(boxes.size());
    highCell_.resize(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        std::int32_t low[3], high[3];
        if (!cellRange(boxes[i], low, high)) {
            lowCell_[i] = {largeMark, largeMark, largeMark};
            large_.push_back(static_cast<std::int32_t>(i));
            continue;
        }
        lowCell_[i] = {low[0], low[1], low[2]};
        highCell_[i] = {high[0], high[1], high[2]};
        for (std::int32_t x = low[0]; x <= high[0]; ++x)
            for (std::int32_t y = low[1]; y <= high[1]; ++y)
                for (std::int32_t z = low[2]; z <= high[2]; ++z)
                    entries_.push_back({static_cast<std::int32_t>(i), {x, y, z}});
    }

    // Buckets for twice as many cells as there are entries, filled by counting sort.
    std::uint32_t buckets = 16;
    while (buckets < 2 * entries_.size())
        buckets *= 2;
    bucketMask_ = buckets - 1;
    bucketStart_.assign(buckets + 1, 0);
    for (const Entry& entry : entries_)
        ++bucketStart_[bucketOf(entry.cell) + 1];
    for (std::uint32_t b = 0; b < buckets; ++b)
        bucketStart_[b + 1] += bucketStart_[b];
    // Four more than the entries: a query reads a run's last four at once.
    sorted_.resize(entries_.size());
    for (int axis = 0; axis < 3; ++axis) {
        sortedMin_[axis].resize(entries_.size() + 4);
        sortedMax_[axis].resize(entries_.size() + 4);
    }
    // Reusing the start offsets as fill positions, then shifting them back.
    for (const Entry& entry : entries_) {
        const std::uint32_t at = bucketStart_[bucketOf(entry.cell)]++;
        sorted_[at] = entry;
        const WorldBox& box = boxes[entry.box];
        sortedMin_[0][at] = box.min.x;
        sortedMin_[1][at] = box.min.y;
        sortedMin_[2][at] = box.min.z;
        sortedMax_[0][at] = box.max.x;
        sortedMax_[1][at] = box.max.y;
        sortedMax_[2][at] = box.max.z;
    }
    for (std::uint32_t b = buckets; b > 0; --b)
        bucketStart_[b] = bucketStart_[b - 1];
    bucketStart_[0] = 0;
}

} // namespace Tolvane::Physics
