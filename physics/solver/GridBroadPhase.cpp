// Hashing boxes into the grid's cells.
#include "physics/solver/GridBroadPhase.h"

#include "physics/solver/SolverConstants.h"

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

void GridBroadPhase::prepare(const std::vector<WorldBox>& boxes)
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

    // Buckets for a few times as many cells as there are boxes: a box takes
    // one to eight cells of twice the median size. A thread per range of
    // buckets, but no more ranges than boxes to fill them.
    const std::size_t count = boxes.size();
    std::uint32_t buckets = 16;
    while (buckets < bucketsPerBox * count)
        buckets *= 2;
    bucketMask_ = buckets - 1;
    const std::size_t threads = pool_ ? static_cast<std::size_t>(pool_->threads()) : 1;
    const auto rangeCount =
        static_cast<std::uint32_t>(std::clamp<std::size_t>(count / boxesPerRange, 1, threads));
    bucketsPerRange_ = (buckets + rangeCount - 1) / rangeCount;
    ranges_.resize(rangeCount);
    for (std::uint32_t r = 0; r < rangeCount; ++r) {
        ranges_[r].firstBucket = std::min(buckets, r * bucketsPerRange_);
        ranges_[r].endBucket = std::min(buckets, ranges_[r].firstBucket + bucketsPerRange_);
    }
}

// A counting sort of the range's entries by bucket, entries of one bucket in
// the order of the boxes. Every range walks all the boxes' cells and keeps
// those of its own buckets: the order is the same for every number of
// threads, and no thread reads entries another one wrote.
void GridBroadPhase::fillRange(Range& range, const std::vector<WorldBox>& boxes,
                               const std::vector<char>* queries)
{
    const std::uint32_t first = range.firstBucket;
    const std::uint32_t end = range.endBucket;
    range.walked.clear();
    range.large.clear();
    const auto count = static_cast<std::int32_t>(boxes.size());
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t low[3], high[3];
        if (!cellRange(boxes[i], low, high)) {
            range.large.push_back(i);
            continue;
        }
        const std::uint32_t query = queries && (*queries)[i] ? queryBit : 0u;
        for (std::int32_t x = low[0]; x <= high[0]; ++x)
            for (std::int32_t y = low[1]; y <= high[1]; ++y)
                for (std::int32_t z = low[2]; z <= high[2]; ++z) {
                    const std::int32_t cell[3] = {x, y, z};
                    const std::uint32_t bucket = bucketOf(cell);
                    if (bucket < first || bucket >= end)
                        continue;
                    const std::uint32_t lowest =
                        (x == low[0] ? 1u : 0u) | (y == low[1] ? 2u : 0u) | (z == low[2] ? 4u : 0u);
                    range.walked.push_back({i, {x, y, z}, bucket, lowest | query});
                }
    }

    const std::uint32_t buckets = end - first;
    range.bucketStart.resize(buckets + 1);
    range.bucketFill.assign(buckets, 0u);
    for (const Entry& entry : range.walked)
        ++range.bucketFill[entry.bucket - first];
    std::uint32_t start = 0;
    for (std::uint32_t b = 0; b < buckets; ++b) {
        const std::uint32_t size = range.bucketFill[b];
        range.bucketStart[b] = range.bucketFill[b] = start;
        start += size;
    }
    range.bucketStart[buckets] = start;

    // Four more than the entries: a query reads a run's last four at once.
    const std::size_t entries = range.walked.size();
    range.sorted.resize(entries);
    for (int axis = 0; axis < 3; ++axis) {
        range.sortedMin[axis].resize(entries + 4);
        range.sortedMax[axis].resize(entries + 4);
    }
    for (const Entry& entry : range.walked) {
        const std::uint32_t at = range.bucketFill[entry.bucket - first]++;
        range.sorted[at] = entry;
        const WorldBox& bounds = boxes[entry.box];
        range.sortedMin[0][at] = bounds.min.x;
        range.sortedMin[1][at] = bounds.min.y;
        range.sortedMin[2][at] = bounds.min.z;
        range.sortedMax[0][at] = bounds.max.x;
        range.sortedMax[1][at] = bounds.max.y;
        range.sortedMax[2][at] = bounds.max.z;
    }
}

} // namespace Tolvane::Physics
