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

    // Each box's cells, and how many entries it makes (none: a large box).
    const std::size_t count = boxes.size();
    lowCell_.resize(count);
    highCell_.resize(count);
    entryStart_.resize(count + 1);
    entryStart_[0] = 0;
    forEvenly(count, boxesPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            std::int32_t low[3], high[3];
            if (!cellRange(boxes[i], low, high)) {
                lowCell_[i] = {largeMark, largeMark, largeMark};
                entryStart_[i + 1] = 0;
                continue;
            }
            lowCell_[i] = {low[0], low[1], low[2]};
            highCell_[i] = {high[0], high[1], high[2]};
            entryStart_[i + 1] = static_cast<std::uint32_t>((high[0] - low[0] + 1) * (high[1] - low[1] + 1) *
                                                            (high[2] - low[2] + 1));
        }
    });
    large_.clear();
    for (std::size_t i = 0; i < count; ++i) {
        if (entryStart_[i + 1] == 0)
            large_.push_back(static_cast<std::int32_t>(i));
        entryStart_[i + 1] += entryStart_[i];
    }
    const std::uint32_t entryCount = entryStart_[count];

    // Buckets for twice as many cells as there are entries.
    std::uint32_t buckets = 16;
    while (buckets < 2 * entryCount)
        buckets *= 2;
    bucketMask_ = buckets - 1;
    sortByBucket(boxes, buckets, entryCount);
}

// Calls visit(box, cell, bucket) for every cell of every box in the grid, in
// the order of the boxes and, within a box, of its cells.
template <class Visit> void GridBroadPhase::forEachEntry(std::size_t count, const Visit& visit) const
{
    for (std::size_t i = 0; i < count; ++i) {
        if (lowCell_[i][0] == largeMark)
            continue;
        for (std::int32_t x = lowCell_[i][0]; x <= highCell_[i][0]; ++x)
            for (std::int32_t y = lowCell_[i][1]; y <= highCell_[i][1]; ++y)
                for (std::int32_t z = lowCell_[i][2]; z <= highCell_[i][2]; ++z) {
                    const std::int32_t cell[3] = {x, y, z};
                    visit(static_cast<std::int32_t>(i), cell, bucketOf(cell));
                }
    }
}

// A counting sort of the entries (a box's presence in a cell) by bucket,
// entries of one bucket in the order of the boxes. Each thread takes a range
// of the buckets and walks every box's cells, keeping those of its buckets:
// the order is the same for every number of threads, and no thread reads a
// list of entries another one wrote.
void GridBroadPhase::sortByBucket(const std::vector<WorldBox>& boxes, std::uint32_t buckets,
                                  std::uint32_t entryCount)
{
    // A thread per range, but no more ranges than entries to fill them.
    const std::size_t threads = pool_ ? static_cast<std::size_t>(pool_->threads()) : 1;
    const auto ranges =
        static_cast<std::uint32_t>(std::clamp<std::size_t>(entryCount / entriesPerRange, 1, threads));
    const std::uint32_t perRange = (buckets + ranges - 1) / ranges;
    const std::size_t count = boxes.size();
    bucketStart_.resize(buckets + 1);
    bucketFill_.resize(buckets);
    rangeStart_.resize(ranges + 1);
    const auto bucketsOf = [&](std::size_t range) {
        const std::uint32_t low = std::min(buckets, static_cast<std::uint32_t>(range) * perRange);
        return std::make_pair(low, std::min(buckets, low + perRange));
    };
    // Each range's buckets counted, and their starts within the range.
    forEvenly(ranges, 1, [&](std::size_t from, std::size_t to) {
        for (std::size_t range = from; range < to; ++range) {
            // Named copies rather than a structured binding: the walks' lambdas capture them.
            const std::uint32_t low = bucketsOf(range).first;
            const std::uint32_t high = bucketsOf(range).second;
            std::fill(bucketFill_.begin() + low, bucketFill_.begin() + high, 0u);
            forEachEntry(count, [&](std::int32_t, const std::int32_t*, std::uint32_t bucket) {
                if (bucket >= low && bucket < high)
                    ++bucketFill_[bucket];
            });
            std::uint32_t start = 0;
            for (std::uint32_t b = low; b < high; ++b) {
                const std::uint32_t size = bucketFill_[b];
                bucketStart_[b] = bucketFill_[b] = start;
                start += size;
            }
            rangeStart_[range + 1] = start;
        }
    });
    rangeStart_[0] = 0;
    for (std::uint32_t range = 0; range < ranges; ++range)
        rangeStart_[range + 1] += rangeStart_[range];
    bucketStart_[buckets] = rangeStart_[ranges];

    // Four more than the entries: a query reads a run's last four at once.
    sorted_.resize(entryCount);
    for (int axis = 0; axis < 3; ++axis) {
        sortedMin_[axis].resize(entryCount + 4);
        sortedMax_[axis].resize(entryCount + 4);
    }
    forEvenly(ranges, 1, [&](std::size_t from, std::size_t to) {
        for (std::size_t range = from; range < to; ++range) {
            const std::uint32_t low = bucketsOf(range).first;
            const std::uint32_t high = bucketsOf(range).second;
            const std::uint32_t offset = rangeStart_[range];
            for (std::uint32_t b = low; b < high; ++b) {
                bucketStart_[b] += offset;
                bucketFill_[b] += offset;
            }
            forEachEntry(count, [&](std::int32_t box, const std::int32_t* cell, std::uint32_t bucket) {
                if (bucket < low || bucket >= high)
                    return;
                const std::uint32_t at = bucketFill_[bucket]++;
                sorted_[at] = {box, {cell[0], cell[1], cell[2]}, bucket};
                const WorldBox& bounds = boxes[box];
                sortedMin_[0][at] = bounds.min.x;
                sortedMin_[1][at] = bounds.min.y;
                sortedMin_[2][at] = bounds.min.z;
                sortedMax_[0][at] = bounds.max.x;
                sortedMax_[1][at] = bounds.max.y;
                sortedMax_[2][at] = bounds.max.z;
            });
        }
    });
}

} // namespace Tolvane::Physics
