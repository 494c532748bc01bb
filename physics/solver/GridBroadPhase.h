// The contact solver's broad phase: boxes hashed into a uniform grid, so that
// each box meets only the few boxes in its own cells, however the bodies are
// arranged (a sort along one axis meets whole slabs of a lattice).
#pragma once

#include "geometry/WorldBox.h"
#include "physics/solver/FloatLanes.h"
#include "physics/solver/ScratchArray.h"
#include "physics/solver/SolverConstants.h"
#include "physics/solver/WorkerPool.h"

#include <algorithm>
#include <array>
#include <cstddef>
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
    /// wanted(i, j) accepts, grown box by grown box in the order of the boxes,
    /// the same for every number of threads. The grid is not built again.
    template <class Wanted>
    void findPairsOfGrown(const std::vector<WorldBox>& boxes, const std::vector<char>& grown, Wanted wanted,
                          Pairs& pairs)
    {
        findPairsOfGrown(boxes, grown, nullptr, wanted, pairs);
    }

    /// How far grown boxes grew at the most: along each axis, how far a box's
    /// lower bound went down (below) and its upper bound up (above).
    struct Growth {
        Math::Vector3 below;
        Math::Vector3 above;
    };
    /// As findPairsOfGrown, and also every pair (i, j), i < j, of two grown
    /// boxes that overlap now and that wanted(i, j) accepts, when no box grew
    /// by more than reach: a grown box looks up the grid with its box widened
    /// by reach, which meets the box every grown box it meets had before it
    /// grew. The pairs come in an order of their own, the same for every
    /// number of threads.
    template <class Wanted>
    void findPairsOfGrown(const std::vector<WorldBox>& boxes, const std::vector<char>& grown,
                          const Growth& reach, Wanted wanted, Pairs& pairs)
    {
        findPairsOfGrown(boxes, grown, &reach, wanted, pairs);
    }

    /// The side of the grid's cells, as the last build chose it.
    float cellSize() const { return cellSize_; }

    /// Builds the grid and finds the pairs on this pool's threads (null: on
    /// the calling thread). Every box is hashed once and every bucket sorted
    /// once however many threads there are, and the pairs are the same, in
    /// the same order.
    void setPool(WorkerPool* pool) { pool_ = pool; }

    class WalkScratch;
    /// Hashes the boxes into scratch's lists while building (null: lists of
    /// its own). The lists are read only while the grid is built, so grids
    /// built one after the other can share them.
    void shareWalk(WalkScratch* scratch) { sharedWalk_ = scratch; }
    /// Sorts the buckets into pages (null: pages of its own) that other
    /// stages of the step may take once the pairs are found: what the grid
    /// keeps in them is read only by the calls that build it and the
    /// findPairsOfGrown that follows.
    void sharePages(StagePages* pages) { sharedPages_ = pages; }

  private:
    /// One box's presence in one cell: the cell, and in lowest the axes along
    /// which it is the box's lowest cell (bit per axis) and whether the box
    /// queries (queryBit). The cell's bucket is hashed again where it is
    /// needed rather than kept: every box has several entries, held twice.
    struct Entry {
        std::int32_t box;
        std::int32_t cell[3];
        std::uint32_t lowest;
    };
    static constexpr std::uint32_t everyAxis = 7;
    static constexpr std::uint32_t queryBit = 8;
    /// The lanes of a run's last four that hold entries.
    static constexpr int laneBits[5] = {0, 1, 3, 7, 15};
    /// The first lane set in a non-zero mask of hits: a query visits only
    /// the lanes that met, most masks being empty or one lane.
    static int lowestLane(int hits) { return __builtin_ctz(static_cast<unsigned>(hits)); }

    /// A box's bounds, each in all four lanes.
    struct BoxLanes {
        BoxLanes(float minX, float minY, float minZ, float maxX, float maxY, float maxZ)
            : lowX(minX), lowY(minY), lowZ(minZ), highX(maxX), highY(maxY), highZ(maxZ)
        {
        }
        FloatLanes lowX, lowY, lowZ, highX, highY, highZ;
    };

    /// The bucket a cell hashes to, and the range that holds a bucket (the
    /// ranges split the buckets evenly). A plain value, so that a loop that
    /// adds entries as it goes keeps a copy in registers.
    struct Buckets {
        /// There are two to the power bits buckets.
        std::uint32_t bits = 0;
        std::uint32_t mask = 0;
        std::uint32_t ranges = 1;

        std::uint32_t of(const std::int32_t cell[3]) const
        {
            const std::uint32_t hash = static_cast<std::uint32_t>(cell[0]) * 73856093u ^
                                       static_cast<std::uint32_t>(cell[1]) * 19349663u ^
                                       static_cast<std::uint32_t>(cell[2]) * 83492791u;
            return hash & mask;
        }
        std::size_t rangeOf(std::uint32_t bucket) const
        {
            return static_cast<std::size_t>((static_cast<std::uint64_t>(bucket) * ranges) >> bits);
        }
    };

    /// Where one list of a slice lies in the walked entries: from first on,
    /// room entries. size counts the entries the walk found, also those past
    /// the room, which it counts without writing them.
    struct WalkedList {
        std::size_t first = 0;
        std::size_t room = 0;
        std::size_t size = 0;
    };

    /// One thread's share of the boxes: the entries of its boxes' cells, one
    /// list for each range of buckets, each in the order of the boxes, and its
    /// boxes too large for the grid or unbounded. Each box is walked once,
    /// however many threads there are, unless a list outgrew its room.
    struct alignas(64) Slice {
        std::vector<WalkedList> walked;
        std::vector<std::int32_t> large;
    };

  public:
    /// The lists grids hash their boxes into: as many slices, each with as
    /// many lists, as any grid that used them needed, so that they never shrink.
    class WalkScratch {
        friend class GridBroadPhase;
        std::vector<Slice> slices;
    };

  private:
    /// One thread's share of the grid: a range of buckets with their entries
    /// sorted by bucket, and the boxes' bounds in the same order one axis to
    /// an array, so that a query tests four entries at once. The thread that
    /// sorts a range also finds the pairs in it, while its entries are in
    /// that thread's cache.
    struct alignas(64) Range {
        std::uint32_t firstBucket = 0;
        std::uint32_t endBucket = 0;
        /// Each bucket's first entry, from firstBucket on, and one past the
        /// last's. These arrays lie in the grid's pages (see layOutRanges).
        std::uint32_t* bucketStart = nullptr;
        std::uint32_t* bucketFill = nullptr;
        /// The range's entries, and four more bounds than entries: a query
        /// reads a run's last four at once.
        std::size_t entries = 0;
        Entry* sorted = nullptr;
        float* sortedMin[3] = {nullptr, nullptr, nullptr};
        float* sortedMax[3] = {nullptr, nullptr, nullptr};
        /// The pairs the range's thread found: those in its buckets, and those
        /// of large boxes with its share of the boxes.
        Pairs pairs;
        Pairs largePairs;
    };

    /// A range's sorted bounds as plain pointers, which a loop that adds
    /// pairs as it goes keeps in registers instead of reading them again
    /// after every pair.
    struct SortedBounds {
        explicit SortedBounds(const Range& range)
            : low{range.sortedMin[0], range.sortedMin[1], range.sortedMin[2]}, high{range.sortedMax[0],
                                                                                    range.sortedMax[1],
                                                                                    range.sortedMax[2]}
        {
        }
        /// Which of the entries from at on, four at a time and none from end
        /// on, have bounds that meet box's: a bit per lane.
        int hits(const BoxLanes& box, std::uint32_t at, std::uint32_t end) const;
        /// Entry at's bounds, each in all four lanes.
        BoxLanes lanes(std::uint32_t at) const
        {
            return {low[0][at], low[1][at], low[2][at], high[0][at], high[1][at], high[2][at]};
        }
        const float* low[3];
        const float* high[3];
    };

    /// Chooses the cell size and the buckets, and splits the buckets into
    /// ranges and the boxes into as many slices.
    void prepare(const std::vector<WorldBox>& boxes);
    /// Walks every slice's boxes into its lists (queries[i] marks query
    /// boxes; null: none), and lists the large boxes of all of them.
    void walkSlices(const std::vector<WorldBox>& boxes, const std::vector<char>* queries);
    void walkSlice(Slice& slice, std::int32_t from, std::int32_t to, const std::vector<WorldBox>& boxes,
                   const std::vector<char>* queries);
    /// Gives every slice's lists their room in the grid's pages, one after
    /// the other from the start: with fits, room for what each list just
    /// counted; otherwise what the last build found in the same list, or
    /// four entries a box before any build, and an eighth more. Returns the
    /// bytes they take.
    std::size_t layOutWalk(std::size_t count, bool fits);
    /// Places every range's arrays in the grid's pages after the walked
    /// entries (walkBytes), sized by the entries the slices listed for it.
    void layOutRanges(std::size_t walkBytes);
    /// Fills one range's buckets with the entries every slice listed for it.
    void sortRange(std::size_t index, const std::vector<WorldBox>& boxes);
    bool cellRange(const WorldBox& box, std::int32_t low[3], std::int32_t high[3]) const;
    /// Grown box widened by reach on every side, and a little more, so that
    /// it meets the box any grown box it meets had before growing, whatever
    /// the rounding of the sums.
    static WorldBox widened(const WorldBox& box, const Growth& reach);
    /// The first of count items that share of shares takes.
    static std::size_t shareStart(std::size_t count, std::size_t share, std::size_t shares)
    {
        return static_cast<std::size_t>(static_cast<std::uint64_t>(count) * share / shares);
    }
    /// work(share) for every share from 0 to shares, a thread each.
    template <class Work> void forEachShare(std::size_t shares, const Work& work);
    /// The pairs in one range's buckets, into its pairs.
    template <class Wanted> void pairsInRange(Range& range, Wanted wanted);
    /// The pairs of the large boxes with one share of the boxes whose bounds
    /// meet and of which one queries, into largePairs.
    void pairsWithLarge(std::size_t share, const std::vector<WorldBox>& boxes,
                        const std::vector<char>& queries, Pairs& largePairs) const;
    /// Both findPairsOfGrown: the pairs of grown boxes with other grown boxes
    /// too when reach is not null.
    template <class Wanted>
    void findPairsOfGrown(const std::vector<WorldBox>& boxes, const std::vector<char>& grown,
                          const Growth* reach, Wanted wanted, Pairs& pairs);
    /// The pairs of grown box i with the boxes that did not grow, and with
    /// the grown boxes after it when reach is not null, into found.
    template <class Wanted>
    void pairsOfGrownBox(std::int32_t i, const std::vector<WorldBox>& boxes, const std::vector<char>& grown,
                         const Growth* reach, Wanted wanted, Pairs& found) const;
    /// Offers every box in the buckets of the cells low to high whose bounds
    /// meet box, once.
    template <class Offer>
    void queryCells(const WorldBox& box, const std::array<std::int32_t, 3>& low,
                    const std::array<std::int32_t, 3>& high, Offer offer) const;

    float cellSize_ = 1.0f;
    float inverseCellSize_ = 1.0f;
    Buckets buckets_;
    std::vector<Range> ranges_;
    WalkScratch& walk() { return sharedWalk_ ? *sharedWalk_ : ownWalk_; }
    WalkScratch ownWalk_;
    WalkScratch* sharedWalk_ = nullptr;
    StagePages& pages() { return sharedPages_ ? *sharedPages_ : ownPages_; }
    StagePages ownPages_;
    StagePages* sharedPages_ = nullptr;
    /// The slices of the walk this grid uses, from the first.
    std::size_t sliceCount_ = 0;
    /// The walked entries, at the start of the grid's pages: they need no
    /// memory of their own, which would otherwise sit unused while the
    /// other stages have the pages.
    Entry* walked_ = nullptr;
    /// How many entries each list of the last build held, slice by slice:
    /// the room the next build gives it. Of this grid's builds only, as
    /// grids that share the lists hold different boxes.
    std::vector<std::size_t> lastWalked_;
    /// The large boxes of every slice, in the order of the boxes.
    std::vector<std::int32_t> large_;
    /// The grown boxes findPairsOfGrown looks up, in the order of the boxes.
    std::vector<std::int32_t> grownBoxes_;
    std::vector<float> sizes_;
    WorkerPool* pool_ = nullptr;
};

template <class Work> void GridBroadPhase::forEachShare(std::size_t shares, const Work& work)
{
    const auto run = [&](std::size_t from, std::size_t to) {
        for (std::size_t share = from; share < to; ++share)
            work(share);
    };
    if (pool_)
        pool_->forEachEven(shares, 1, run);
    else
        run(0, shares);
}

inline int GridBroadPhase::SortedBounds::hits(const BoxLanes& box, std::uint32_t at, std::uint32_t end) const
{
    const FloatLanes overlap =
        (box.lowX <= FloatLanes::load(high[0] + at)) & (FloatLanes::load(low[0] + at) <= box.highX) &
        (box.lowY <= FloatLanes::load(high[1] + at)) & (FloatLanes::load(low[1] + at) <= box.highY) &
        (box.lowZ <= FloatLanes::load(high[2] + at)) & (FloatLanes::load(low[2] + at) <= box.highZ);
    return maskBits(overlap) & laneBits[std::min<std::uint32_t>(end - at, 4)];
}

template <class Offer>
void GridBroadPhase::queryCells(const WorldBox& box, const std::array<std::int32_t, 3>& low,
                                const std::array<std::int32_t, 3>& high, Offer offer) const
{
    const BoxLanes lanes(box.min.x, box.min.y, box.min.z, box.max.x, box.max.y, box.max.z);
    for (std::int32_t x = low[0]; x <= high[0]; ++x)
        for (std::int32_t y = low[1]; y <= high[1]; ++y)
            for (std::int32_t z = low[2]; z <= high[2]; ++z) {
                const std::int32_t cell[3] = {x, y, z};
                const std::uint32_t bucket = buckets_.of(cell);
                const Range& range = ranges_[buckets_.rangeOf(bucket)];
                // Boxes sharing several cells are paired in the first of them
                // only: along each axis, the cell is the lowest of one of them.
                const std::uint32_t queryLowest =
                    (x == low[0] ? 1u : 0u) | (y == low[1] ? 2u : 0u) | (z == low[2] ? 4u : 0u);
                const std::uint32_t local = bucket - range.firstBucket;
                const std::uint32_t end = range.bucketStart[local + 1];
                for (std::uint32_t e = range.bucketStart[local]; e < end; e += 4) {
                    for (int hits = SortedBounds(range).hits(lanes, e, end); hits != 0; hits &= hits - 1) {
                        const Entry& other = range.sorted[e + lowestLane(hits)];
                        if (other.cell[0] == x && other.cell[1] == y && other.cell[2] == z &&
                            ((queryLowest | other.lowest) & everyAxis) == everyAxis)
                            offer(other.box);
                    }
                }
            }
}

// Two entries of a bucket make a pair when they are in the same cell, it is
// the first cell the two boxes share, one of them queries and their bounds
// meet. Buckets are walked in order, and each bucket's entries in the order
// of the boxes, so that the ranges' lists joined are the same for every
// number of ranges.
template <class Wanted> void GridBroadPhase::pairsInRange(Range& range, Wanted wanted)
{
    range.pairs.clear();
    const SortedBounds bounds(range);
    const Entry* const sorted = range.sorted;
    const std::uint32_t* const bucketStart = range.bucketStart;
    const std::uint32_t buckets = range.endBucket - range.firstBucket;
    for (std::uint32_t b = 0; b < buckets; ++b) {
        const std::uint32_t end = bucketStart[b + 1];
        for (std::uint32_t e = bucketStart[b]; e + 1 < end; ++e) {
            const Entry& first = sorted[e];
            const BoxLanes lanes = bounds.lanes(e);
            // The later entries of the bucket, four at a time: most have
            // bounds that miss, and only those that meet are looked at.
            for (std::uint32_t f = e + 1; f < end; f += 4) {
                const int hits = bounds.hits(lanes, f, end);
                for (int lane = 0; lane < 4; ++lane) {
                    if ((hits & (1 << lane)) == 0)
                        continue;
                    const Entry& second = sorted[f + lane];
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
}

template <class Wanted>
void GridBroadPhase::findPairs(const std::vector<WorldBox>& boxes, const std::vector<char>& queries,
                               Wanted wanted, Pairs& pairs)
{
    prepare(boxes);
    walkSlices(boxes, &queries);
    forEachShare(ranges_.size(), [&](std::size_t share) {
        Range& range = ranges_[share];
        sortRange(share, boxes);
        pairsInRange(range, wanted);
        // Apart from the loop over the buckets, which then keeps all it
        // needs in registers.
        pairsWithLarge(share, boxes, queries, range.largePairs);
        range.largePairs.erase(std::remove_if(range.largePairs.begin(), range.largePairs.end(),
                                              [&](const std::pair<std::int32_t, std::int32_t>& pair) {
                                                  return !wanted(pair.first, pair.second);
                                              }),
                               range.largePairs.end());
    });
    pairs.clear();
    for (const Range& range : ranges_)
        pairs.insert(pairs.end(), range.pairs.begin(), range.pairs.end());
    for (const Range& range : ranges_)
        pairs.insert(pairs.end(), range.largePairs.begin(), range.largePairs.end());
}

template <class Wanted>
void GridBroadPhase::pairsOfGrownBox(std::int32_t i, const std::vector<WorldBox>& boxes,
                                     const std::vector<char>& grown, const Growth* reach, Wanted wanted,
                                     Pairs& found) const
{
    const auto offer = [&](std::int32_t j) {
        if (j == i || (grown[j] && !(reach && i < j)) || !boxesOverlap(boxes[i], boxes[j]))
            return;
        const std::int32_t low = std::min(i, j);
        const std::int32_t high = std::max(i, j);
        if (wanted(low, high))
            found.emplace_back(low, high);
    };
    const WorldBox looked = reach ? widened(boxes[i], *reach) : boxes[i];
    std::array<std::int32_t, 3> low, high;
    if (!cellRange(looked, low.data(), high.data())) {
        for (std::int32_t j = 0; j < static_cast<std::int32_t>(boxes.size()); ++j)
            offer(j);
        return;
    }
    queryCells(looked, low, high, offer);
    for (const std::int32_t j : large_)
        offer(j);
}

template <class Wanted>
void GridBroadPhase::findPairsOfGrown(const std::vector<WorldBox>& boxes, const std::vector<char>& grown,
                                      const Growth* reach, Wanted wanted, Pairs& pairs)
{
    if (ranges_.empty()) {
        // Not built yet: built now, with the boxes as they are.
        prepare(boxes);
        walkSlices(boxes, nullptr);
        forEachShare(ranges_.size(), [&](std::size_t share) { sortRange(share, boxes); });
    }
    // The grown boxes are shared out over the ranges' threads in order (a few
    // are looked up on this thread), each thread's pairs kept in its range.
    grownBoxes_.clear();
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(boxes.size()); ++i)
        if (grown[i])
            grownBoxes_.push_back(i);
    const std::size_t shares =
        static_cast<std::int64_t>(grownBoxes_.size()) > grownPerRange ? ranges_.size() : 1;
    forEachShare(shares, [&](std::size_t share) {
        Pairs& found = ranges_[share].pairs;
        found.clear();
        const std::size_t end = shareStart(grownBoxes_.size(), share + 1, shares);
        for (std::size_t g = shareStart(grownBoxes_.size(), share, shares); g < end; ++g)
            pairsOfGrownBox(grownBoxes_[g], boxes, grown, reach, wanted, found);
    });
    pairs.clear();
    for (std::size_t share = 0; share < shares; ++share)
        pairs.insert(pairs.end(), ranges_[share].pairs.begin(), ranges_[share].pairs.end());
}

} // namespace Tolvane::Physics
