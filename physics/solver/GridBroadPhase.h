// The contact solver's broad phase: boxes hashed into a uniform grid, so that
// each box meets only the few boxes in its own cells, however the bodies are
// arranged (a sort along one axis meets whole slabs of a lattice).
#pragma once

#include "geometry/WorldBox.h"
#include "physics/solver/FloatLanes.h"
#include "physics/solver/SolverConstants.h"
#include "physics/solver/WorkerPool.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace Tolvane::Physics {

class GridBroadPhase {
  public:
    using Pairs = std::vector<std::pair<std::int32_t, std::int32_t>>;

    /// Every pair (i, j), i < j, of overlapping boxes of which at least one is
    /// a query box (queries[i] true) and that wanted(i, j) accepts, in an order
    /// that depends on the boxes alone, not on the number of threads. Boxes
    /// with NaN bounds overlap nothing. Uses no heap memory once its buffers
    /// have grown to the scene's size.
    template <class Wanted>
    void findPairs(const std::vector<WorldBox>& boxes, const std::vector<char>& queries, Wanted wanted,
                   Pairs& pairs);

    /// After findPairs, with some boxes grown (grown[i] true; each holds the box
    /// findPairs saw, the others are unchanged): every pair (i, j), i < j, of a
    /// grown box with a box that did not grow whose boxes overlap now and that
    /// wanted(i, j) accepts, in no particular order. The grid is not built again.
    template <class Wanted>
    void findPairsOfGrown(const std::vector<WorldBox>& boxes, const std::vector<char>& grown, Wanted wanted,
                          Pairs& pairs);

    /// Builds the grid and finds the pairs on this pool's threads (null: on
    /// the calling thread); findPairs gives the same pairs in the same order
    /// for every number of threads.
    void setPool(WorkerPool* pool) { pool_ = pool; }

  private:
    /// One box's presence in one cell: the cell, and in lowest the axes along
    /// which it is the box's lowest cell (bit per axis) and whether the box
    /// queries (queryBit).
    struct Entry {
        std::int32_t box;
        std::int32_t cell[3];
        std::uint32_t bucket;
        std::uint32_t lowest;
    };
    static constexpr std::uint32_t everyAxis = 7;
    static constexpr std::uint32_t queryBit = 8;
    /// The lanes of a run's last four that hold entries.
    static constexpr int laneBits[5] = {0, 1, 3, 7, 15};

    /// A box's bounds, each in all four lanes.
    struct BoxLanes {
        BoxLanes(float minX, float minY, float minZ, float maxX, float maxY, float maxZ)
            : lowX(minX), lowY(minY), lowZ(minZ), highX(maxX), highY(maxY), highZ(maxZ)
        {
        }
        FloatLanes lowX, lowY, lowZ, highX, highY, highZ;
    };

    /// One thread's share of the grid: a range of buckets with their entries
    /// sorted by bucket, and the boxes' bounds in the same order one axis to
    /// an array, so that a query tests four entries at once. The thread that
    /// fills a range also finds the pairs in it, so no thread reads entries
    /// another one sorted.
    struct alignas(64) Range {
        std::uint32_t firstBucket = 0;
        std::uint32_t endBucket = 0;
        /// Each bucket's first entry, from firstBucket on, and one past the last's.
        std::vector<std::uint32_t> bucketStart;
        std::vector<std::uint32_t> bucketFill;
        /// The range's entries in the order of the boxes, before sorting.
        std::vector<Entry> walked;
        std::vector<Entry> sorted;
        std::array<std::vector<float>, 3> sortedMin;
        std::array<std::vector<float>, 3> sortedMax;
        /// The boxes too large for the grid, or unbounded: every range lists them.
        std::vector<std::int32_t> large;
        /// The pairs found in the range's buckets, and those of large boxes with
        /// the range's share of the boxes.
        Pairs pairs;
        Pairs largePairs;

        /// Which of the entries from at on, four at a time and none from end
        /// on, have bounds that meet box's: a bit per lane.
        int hits(const BoxLanes& box, std::uint32_t at, std::uint32_t end) const;
    };

    /// Chooses the cell size and the buckets, and splits them into ranges.
    void prepare(const std::vector<WorldBox>& boxes);
    /// Fills one range's buckets with the entries of the boxes' cells that
    /// fall in them (queries[i] marks query boxes; null: none).
    void fillRange(Range& range, const std::vector<WorldBox>& boxes, const std::vector<char>* queries);
    bool cellRange(const WorldBox& box, std::int32_t low[3], std::int32_t high[3]) const;
    std::uint32_t bucketOf(const std::int32_t cell[3]) const;
    /// work(range) for every range, a thread each (on the calling thread
    /// alone when together is false).
    template <class Work> void forEachRange(const Work& work, bool together = true);
    /// Offers every box in the range's buckets, over cells low to high, whose
    /// bounds meet box, once.
    template <class Offer>
    void queryCells(const Range& range, const WorldBox& box, const std::array<std::int32_t, 3>& low,
                    const std::array<std::int32_t, 3>& high, Offer offer) const;

    float cellSize_ = 1.0f;
    float inverseCellSize_ = 1.0f;
    std::uint32_t bucketMask_ = 0;
    std::uint32_t bucketsPerRange_ = 1;
    std::vector<Range> ranges_;
    std::vector<float> sizes_;
    WorkerPool* pool_ = nullptr;
};

template <class Work> void GridBroadPhase::forEachRange(const Work& work, bool together)
{
    const auto run = [&](std::size_t from, std::size_t to) {
        for (std::size_t range = from; range < to; ++range)
            work(ranges_[range]);
    };
    if (pool_ && together)
        pool_->forEachEven(ranges_.size(), 1, run);
    else
        run(0, ranges_.size());
}

inline int GridBroadPhase::Range::hits(const BoxLanes& box, std::uint32_t at, std::uint32_t end) const
{
    const FloatLanes overlap = (box.lowX <= FloatLanes::load(&sortedMax[0][at])) &
                               (FloatLanes::load(&sortedMin[0][at]) <= box.highX) &
                               (box.lowY <= FloatLanes::load(&sortedMax[1][at])) &
                               (FloatLanes::load(&sortedMin[1][at]) <= box.highY) &
                               (box.lowZ <= FloatLanes::load(&sortedMax[2][at])) &
                               (FloatLanes::load(&sortedMin[2][at]) <= box.highZ);
    return maskBits(overlap) & laneBits[std::min<std::uint32_t>(end - at, 4)];
}

template <class Offer>
void GridBroadPhase::queryCells(const Range& range, const WorldBox& box,
                                const std::array<std::int32_t, 3>& low,
                                const std::array<std::int32_t, 3>& high, Offer offer) const
{
    const BoxLanes lanes(box.min.x, box.min.y, box.min.z, box.max.x, box.max.y, box.max.z);
    for (std::int32_t x = low[0]; x <= high[0]; ++x)
        for (std::int32_t y = low[1]; y <= high[1]; ++y)
            for (std::int32_t z = low[2]; z <= high[2]; ++z) {
                const std::int32_t cell[3] = {x, y, z};
                const std::uint32_t bucket = bucketOf(cell);
                if (bucket < range.firstBucket || bucket >= range.endBucket)
                    continue;
                // Boxes sharing several cells are paired in the first of them
                // only: along each axis, the cell is the lowest of one of them.
                const std::uint32_t queryLowest =
                    (x == low[0] ? 1u : 0u) | (y == low[1] ? 2u : 0u) | (z == low[2] ? 4u : 0u);
                const std::uint32_t local = bucket - range.firstBucket;
                const std::uint32_t end = range.bucketStart[local + 1];
                for (std::uint32_t e = range.bucketStart[local]; e < end; e += 4) {
                    const int hits = range.hits(lanes, e, end);
                    for (int lane = 0; lane < 4; ++lane) {
                        if ((hits & (1 << lane)) == 0)
                            continue;
                        const Entry& other = range.sorted[e + lane];
                        if (other.cell[0] == x && other.cell[1] == y && other.cell[2] == z &&
                            ((queryLowest | other.lowest) & everyAxis) == everyAxis)
                            offer(other.box);
                    }
                }
            }
}

template <class Wanted>
void GridBroadPhase::findPairs(const std::vector<WorldBox>& boxes, const std::vector<char>& queries,
                               Wanted wanted, Pairs& pairs)
{
    prepare(boxes);
    const auto count = static_cast<std::int32_t>(boxes.size());
    const auto rangeCount = static_cast<std::int32_t>(ranges_.size());
    forEachRange([&](Range& range) {
        fillRange(range, boxes, &queries);
        // Two entries of a bucket make a pair when they are in the same cell,
        // it is the first cell the two boxes share, one of them queries and
        // their bounds meet. Buckets are walked in order, and each bucket's
        // entries in the order of the boxes.
        range.pairs.clear();
        const std::uint32_t buckets = range.endBucket - range.firstBucket;
        for (std::uint32_t b = 0; b < buckets; ++b) {
            const std::uint32_t end = range.bucketStart[b + 1];
            for (std::uint32_t e = range.bucketStart[b]; e + 1 < end; ++e) {
                const Entry& first = range.sorted[e];
                const BoxLanes lanes(range.sortedMin[0][e], range.sortedMin[1][e], range.sortedMin[2][e],
                                     range.sortedMax[0][e], range.sortedMax[1][e], range.sortedMax[2][e]);
                // The later entries of the bucket, four at a time: most have
                // bounds that miss, and only those that meet are looked at.
                for (std::uint32_t f = e + 1; f < end; f += 4) {
                    const int hits = range.hits(lanes, f, end);
                    for (int lane = 0; lane < 4; ++lane) {
                        if ((hits & (1 << lane)) == 0)
                            continue;
                        const Entry& second = range.sorted[f + lane];
                        const std::uint32_t lowest = first.lowest | second.lowest;
                        if ((lowest & everyAxis) != everyAxis || (lowest & queryBit) == 0 ||
                            first.cell[0] != second.cell[0] || first.cell[1] != second.cell[1] ||
                            first.cell[2] != second.cell[2])
                            continue;
                        const std::int32_t i = std::min(first.box, second.box);
                        const std::int32_t j = std::max(first.box, second.box);
                        if (wanted(i, j))
                            range.pairs.emplace_back(i, j);
                    }
                }
            }
        }

        // Large boxes are not in the cells: each range pairs them with its
        // share of the boxes, box by box, so that the ranges' lists joined
        // give the same order however the boxes were shared out. Two large
        // boxes are paired when the second comes up.
        range.largePairs.clear();
        if (range.large.empty())
            return;
        const std::int32_t index = static_cast<std::int32_t>(&range - ranges_.data());
        const std::int32_t from =
            static_cast<std::int32_t>(static_cast<std::int64_t>(count) * index / rangeCount);
        const std::int32_t to =
            static_cast<std::int32_t>(static_cast<std::int64_t>(count) * (index + 1) / rangeCount);
        for (std::int32_t j = from; j < to; ++j) {
            const bool largeJ = std::binary_search(range.large.begin(), range.large.end(), j);
            for (const std::int32_t large : range.large) {
                if (large == j || (largeJ && large > j) || !(queries[large] || queries[j]) ||
                    !boxesOverlap(boxes[large], boxes[j]))
                    continue;
                const std::int32_t first = std::min(large, j);
                const std::int32_t second = std::max(large, j);
                if (wanted(first, second))
                    range.largePairs.emplace_back(first, second);
            }
        }
    });
    pairs.clear();
    for (const Range& range : ranges_)
        pairs.insert(pairs.end(), range.pairs.begin(), range.pairs.end());
    for (const Range& range : ranges_)
        pairs.insert(pairs.end(), range.largePairs.begin(), range.largePairs.end());
}

template <class Wanted>
void GridBroadPhase::findPairsOfGrown(const std::vector<WorldBox>& boxes, const std::vector<char>& grown,
                                      Wanted wanted, Pairs& pairs)
{
    if (ranges_.empty()) {
        // Not built yet: built now, with the boxes as they are.
        prepare(boxes);
        forEachRange([&](Range& range) { fillRange(range, boxes, nullptr); });
    }
    // Each range answers the grown boxes' cells that fall in its buckets, on
    // the thread that filled them; the first range also pairs the grown boxes
    // with the large ones. A few grown boxes are answered on this thread.
    const std::int32_t count = static_cast<std::int32_t>(boxes.size());
    const auto growing = std::count_if(grown.begin(), grown.begin() + count, [](char g) { return g != 0; });
    forEachRange(
        [&](Range& range) {
            const bool first = &range == &ranges_.front();
            range.pairs.clear();
            for (std::int32_t i = 0; i < count; ++i) {
                if (!grown[i])
                    continue;
                const auto offer = [&](std::int32_t j) {
                    if (grown[j] || !boxesOverlap(boxes[i], boxes[j]))
                        return;
                    const std::int32_t low = std::min(i, j);
                    const std::int32_t high = std::max(i, j);
                    if (wanted(low, high))
                        range.pairs.emplace_back(low, high);
                };
                std::array<std::int32_t, 3> low, high;
                if (!cellRange(boxes[i], low.data(), high.data())) {
                    if (first)
                        for (std::int32_t j = 0; j < count; ++j)
                            offer(j);
                    continue;
                }
                queryCells(range, boxes[i], low, high, offer);
                if (first)
                    for (const std::int32_t j : range.large)
                        offer(j);
            }
        },
        growing > grownPerRange);
    pairs.clear();
    for (const Range& range : ranges_)
        pairs.insert(pairs.end(), range.pairs.begin(), range.pairs.end());
}

} // namespace Tolvane::Physics
