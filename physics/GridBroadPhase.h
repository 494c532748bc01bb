// The contact solver's broad phase: boxes hashed into a uniform grid, so that
// each box meets only the few boxes in its own cells, however the bodies are
// arranged (a sort along one axis meets whole slabs of a lattice).
#pragma once

#include "physics/BroadPhase.h"
#include "physics/FloatLanes.h"
#include "physics/HugePageAllocator.h"
#include "physics/SolverConstants.h"
#include "physics/WorkerPool.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

namespace Tolvane::Physics {

class GridBroadPhase {
  public:
    /// Every pair (i, j), i < j, of overlapping boxes of which at least one is
    /// a query box (queries[i] true) and that wanted(i, j) accepts, in no
    /// particular order. Only query boxes look for partners, so a scene of
    /// resting boxes costs one pass to fill the grid. Boxes with NaN bounds
    /// overlap nothing. Uses no heap memory once its buffers have grown to the
    /// scene's size.
    template <class Wanted>
    void findPairs(const std::vector<WorldBox>& boxes, const std::vector<char>& queries, Wanted wanted,
                   std::vector<std::pair<std::int32_t, std::int32_t>>& pairs);

    /// After findPairs, with some boxes grown (grown[i] true; each holds the box
    /// findPairs saw, the others are unchanged): every pair (i, j), i < j, of a
    /// grown box with a box that did not grow whose boxes overlap now and that
    /// wanted(i, j) accepts, in no particular order. The grid is not built again.
    template <class Wanted>
    void findPairsOfGrown(const std::vector<WorldBox>& boxes, const std::vector<char>& grown, Wanted wanted,
                          std::vector<std::pair<std::int32_t, std::int32_t>>& pairs);

    /// Runs the queries on this pool's threads (null: on the calling thread),
    /// in fixed slices whose pairs are joined in slice order: the same pairs in
    /// the same order for every number of threads.
    void setPool(WorkerPool* pool) { pool_ = pool; }

  private:
    /// One box's presence in one cell.
    struct Entry {
        std::int32_t box;
        std::int32_t cell[3];
        std::uint32_t bucket;
    };

    /// Chooses the cell size and fills the buckets; boxes too large for the
    /// grid, or unbounded, go to large_.
    void build(const std::vector<WorldBox>& boxes);
    void sortByBucket(const std::vector<WorldBox>& boxes, std::uint32_t buckets, std::uint32_t entryCount);
    template <class Visit> void forEachEntry(std::size_t count, const Visit& visit) const;
    bool cellRange(const WorldBox& box, std::int32_t low[3], std::int32_t high[3]) const;
    /// work(from, to) over [0, count), split evenly over the pool's threads.
    template <class Work> void forEvenly(std::size_t count, std::size_t grain, const Work& work)
    {
        if (pool_)
            pool_->forEachEven(count, grain, work);
        else
            work(0, count);
    }
    /// Offers every box in the grid over cells low to high whose bounds meet box, once.
    template <class Offer>
    void queryCells(const WorldBox& box, const std::array<std::int32_t, 3>& low,
                    const std::array<std::int32_t, 3>& high, Offer offer) const;
    /// query(i, found) for every i below count with queries[i], in fixed
    /// slices on the pool's threads; the slices' pairs joined in slice order.
    template <class Query>
    void runQueries(std::int32_t count, const std::vector<char>& queries,
                    std::vector<std::pair<std::int32_t, std::int32_t>>& pairs, Query query);
    std::uint32_t bucketOf(const std::int32_t cell[3]) const;

    float cellSize_ = 1.0f;
    float inverseCellSize_ = 1.0f;
    std::uint32_t bucketMask_ = 0;
    std::vector<std::uint32_t> bucketStart_;
    /// Each box's first entry, and one past the last box's.
    std::vector<std::uint32_t> entryStart_;
    /// Scratch of the sort by bucket: each bucket's next place, and each
    /// thread's range of buckets' first place.
    std::vector<std::uint32_t> bucketFill_;
    std::vector<std::uint32_t> rangeStart_;
    /// The entries sorted by bucket, and their boxes' bounds in the same
    /// order one axis to an array, so that a query tests four entries at once.
    LargeVector<Entry> sorted_;
    std::array<std::vector<float>, 3> sortedMin_;
    std::array<std::vector<float>, 3> sortedMax_;
    std::vector<std::int32_t> large_;
    /// Each box's lowest and highest cell, or a large box's mark (lowCell_[i][0] == largeMark).
    std::vector<std::array<std::int32_t, 3>> lowCell_;
    std::vector<std::array<std::int32_t, 3>> highCell_;
    std::vector<float> sizes_;
    WorkerPool* pool_ = nullptr;
    /// Each slice's pairs.
    /// A cache line each, so that threads filling neighbouring slices do not
    /// keep taking the line of each other's list.
    struct alignas(64) SlicePairs {
        std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
    };
    std::vector<SlicePairs> slicePairs_;
};

/// Marks a large (or unbounded) box in GridBroadPhase's table of lowest cells.
constexpr std::int32_t largeMark = INT32_MIN;

template <class Offer>
void GridBroadPhase::queryCells(const WorldBox& box, const std::array<std::int32_t, 3>& low,
                                const std::array<std::int32_t, 3>& high, Offer offer) const
{
    const FloatLanes lowX(box.min.x), lowY(box.min.y), lowZ(box.min.z);
    const FloatLanes highX(box.max.x), highY(box.max.y), highZ(box.max.z);
    // The lanes of a run's last four that hold entries.
    constexpr int laneBits[5] = {0, 1, 3, 7, 15};
    for (std::int32_t x = low[0]; x <= high[0]; ++x)
        for (std::int32_t y = low[1]; y <= high[1]; ++y)
            for (std::int32_t z = low[2]; z <= high[2]; ++z) {
                const std::int32_t cell[3] = {x, y, z};
                const std::uint32_t bucket = bucketOf(cell);
                const std::uint32_t end = bucketStart_[bucket + 1];
                for (std::uint32_t e = bucketStart_[bucket]; e < end; e += 4) {
                    const FloatLanes overlap = (lowX <= FloatLanes::load(&sortedMax_[0][e])) &
                                               (FloatLanes::load(&sortedMin_[0][e]) <= highX) &
                                               (lowY <= FloatLanes::load(&sortedMax_[1][e])) &
                                               (FloatLanes::load(&sortedMin_[1][e]) <= highY) &
                                               (lowZ <= FloatLanes::load(&sortedMax_[2][e])) &
                                               (FloatLanes::load(&sortedMin_[2][e]) <= highZ);
                    const int hits = maskBits(overlap) & laneBits[std::min<std::uint32_t>(end - e, 4)];
                    for (int lane = 0; lane < 4; ++lane) {
                        if ((hits & (1 << lane)) == 0)
                            continue;
                        const Entry& other = sorted_[e + lane];
                        if (other.cell[0] != x || other.cell[1] != y || other.cell[2] != z)
                            continue;
                        // Boxes sharing several cells are paired in the first of them only.
                        const std::array<std::int32_t, 3>& otherLow = lowCell_[other.box];
                        if (std::max(low[0], otherLow[0]) == x && std::max(low[1], otherLow[1]) == y &&
                            std::max(low[2], otherLow[2]) == z)
                            offer(other.box);
                    }
                }
            }
}

template <class Wanted>
void GridBroadPhase::findPairs(const std::vector<WorldBox>& boxes, const std::vector<char>& queries,
                               Wanted wanted, std::vector<std::pair<std::int32_t, std::int32_t>>& pairs)
{
    build(boxes);
    const std::int32_t count = static_cast<std::int32_t>(boxes.size());
    runQueries(count, queries, pairs, [&](std::int32_t i, auto& found) {
        // A pair of two query boxes is taken by the lower of them, a pair with a
        // box that does not query by the query box.
        const auto offer = [&](std::int32_t j) {
            if (j == i || (queries[j] && j < i) || !boxesOverlap(boxes[i], boxes[j]))
                return;
            const std::int32_t first = std::min(i, j);
            const std::int32_t second = std::max(i, j);
            if (wanted(first, second))
                found.emplace_back(first, second);
        };
        if (lowCell_[i][0] == largeMark) {
            // Unbounded boxes meet nothing; large ones are tried against every box.
            for (std::int32_t j = 0; j < count; ++j)
                offer(j);
            return;
        }
        queryCells(boxes[i], lowCell_[i], highCell_[i], offer);
        // Large boxes are not in the cells: each is offered here, and offer
        // leaves a pair of two query boxes to the lower of them, as always.
        for (const std::int32_t j : large_)
            offer(j);
    });
}

template <class Wanted>
void GridBroadPhase::findPairsOfGrown(const std::vector<WorldBox>& boxes, const std::vector<char>& grown,
                                      Wanted wanted,
                                      std::vector<std::pair<std::int32_t, std::int32_t>>& pairs)
{
    const std::int32_t count = static_cast<std::int32_t>(boxes.size());
    runQueries(count, grown, pairs, [&](std::int32_t i, auto& found) {
        const auto offer = [&](std::int32_t j) {
            if (grown[j] || !boxesOverlap(boxes[i], boxes[j]))
                return;
            const std::int32_t first = std::min(i, j);
            const std::int32_t second = std::max(i, j);
            if (wanted(first, second))
                found.emplace_back(first, second);
        };
        std::array<std::int32_t, 3> low, high;
        if (!cellRange(boxes[i], low.data(), high.data())) {
            for (std::int32_t j = 0; j < count; ++j)
                offer(j);
            return;
        }
        queryCells(boxes[i], low, high, offer);
        for (const std::int32_t j : large_)
            offer(j);
    });
}

template <class Query>
void GridBroadPhase::runQueries(std::int32_t count, const std::vector<char>& queries,
                                std::vector<std::pair<std::int32_t, std::int32_t>>& pairs, Query query)
{
    pairs.clear();
    const std::size_t slices = (static_cast<std::size_t>(count) + queriesPerSlice - 1) / queriesPerSlice;
    if (slicePairs_.size() < slices)
        slicePairs_.resize(slices);
    const auto run = [&](std::size_t from, std::size_t to) {
        for (std::size_t slice = from; slice < to; ++slice) {
            std::vector<std::pair<std::int32_t, std::int32_t>>& found = slicePairs_[slice].pairs;
            found.clear();
            const std::int32_t end =
                std::min(count, static_cast<std::int32_t>((slice + 1) * queriesPerSlice));
            for (std::int32_t i = static_cast<std::int32_t>(slice * queriesPerSlice); i < end; ++i)
                if (queries[i])
                    query(i, found);
        }
    };
    // A slice's worth of queries or fewer (the few boxes a strike grew) is
    // not worth handing to another thread.
    const auto querying =
        std::count_if(queries.begin(), queries.begin() + count, [](char query) { return query != 0; });
    if (pool_ && querying > queriesPerSlice)
        pool_->forEach(slices, 1, run);
    else
        run(0, slices);
    for (std::size_t slice = 0; slice < slices; ++slice)
        pairs.insert(pairs.end(), slicePairs_[slice].pairs.begin(), slicePairs_[slice].pairs.end());
}

} // namespace Tolvane::Physics
