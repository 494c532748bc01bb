// Hashing boxes into the grid's cells, a slice of the boxes at a time, and
// sorting the cells' entries by bucket, a range of buckets at a time.
#include "physics/solver/GridBroadPhase.h"

#include "physics/solver/SolverConstants.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace Tolvane::Physics {

namespace {

/// Cell coordinates stay well inside 32 bits; boxes beyond are large.
constexpr float farthestCell = 1.0e9f;
/// The boxes a slice hands each range's list, on average, at the least:
/// every slice keeps a list for every range, so more ranges and slices than
/// that would cost more in lists than they share out.
constexpr std::size_t boxesPerList = 16;

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

// A grown box j meets grown box i when j's lower bound is at most i's upper
// one, and j's lower bound went down by at most reach.below: j's box before
// growing starts at most reach.below above i's upper bound (and likewise the
// other way). The slack covers the rounding of the bounds and reach, a few
// units in the last place of either.
WorldBox GridBroadPhase::widened(const WorldBox& box, const Growth& reach)
{
    constexpr float slack = 1.0e-5f;
    const auto lower = [](float bound, float by) {
        const float moved = bound - by;
        return moved - (std::abs(moved) + by) * slack;
    };
    const auto upper = [](float bound, float by) {
        const float moved = bound + by;
        return moved + (std::abs(moved) + by) * slack;
    };
    return {
        {lower(box.min.x, reach.above.x), lower(box.min.y, reach.above.y), lower(box.min.z, reach.above.z)},
        {upper(box.max.x, reach.below.x), upper(box.max.y, reach.below.y), upper(box.max.z, reach.below.z)}};
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
    // one to eight cells of twice the median size.
    const std::size_t count = boxes.size();
    std::uint32_t buckets = 16;
    buckets_.bits = 4;
    while (buckets < bucketsPerBox * count) {
        buckets *= 2;
        ++buckets_.bits;
    }
    buckets_.mask = buckets - 1;

    // A thread per range of buckets and per slice of boxes, but no more
    // ranges than boxes to fill them, nor so many that a slice's list for a
    // range would hold only a few boxes.
    const std::size_t threads = pool_ ? static_cast<std::size_t>(pool_->threads()) : 1;
    std::size_t rangeCount = std::clamp<std::size_t>(count / boxesPerRange, 1, threads);
    while (rangeCount > 1 && rangeCount * rangeCount * boxesPerList > count)
        --rangeCount;
    // Range r starts at the first bucket b with buckets_.rangeOf(b) == r.
    const auto firstOf = [&](std::size_t range) {
        return static_cast<std::uint32_t>((static_cast<std::uint64_t>(range) * buckets + rangeCount - 1) /
                                          rangeCount);
    };
    buckets_.ranges = static_cast<std::uint32_t>(rangeCount);
    ranges_.resize(rangeCount);
    for (std::size_t r = 0; r < rangeCount; ++r) {
        ranges_[r].firstBucket = firstOf(r);
        ranges_[r].endBucket = firstOf(r + 1);
    }
    std::vector<Slice>& slices = walk().slices;
    if (slices.size() < rangeCount)
        slices.resize(rangeCount);
    for (std::size_t s = 0; s < rangeCount; ++s)
        if (slices[s].walked.size() < rangeCount)
            slices[s].walked.resize(rangeCount);
    sliceCount_ = rangeCount;
}

namespace {

/// Each array of a range starts on a cache line of its own.
constexpr std::size_t arrayAlignment = 64;

std::size_t alignedBytes(std::size_t bytes)
{
    return (bytes + arrayAlignment - 1) / arrayAlignment * arrayAlignment;
}

/// An array of count elements at at, which then moves past it.
template <class T> T* takeArray(std::byte*& at, std::size_t count)
{
    T* const array = reinterpret_cast<T*>(at);
    at += alignedBytes(count * sizeof(T));
    return array;
}

} // namespace

void GridBroadPhase::walkSlices(const std::vector<WorldBox>& boxes, const std::vector<char>* queries)
{
    const std::size_t count = boxes.size();
    const std::size_t shares = sliceCount_;
    std::vector<Slice>& slices = walk().slices;
    // A list that outgrew its room counted its entries: the walk is made
    // again with room for them all, which it then has.
    std::size_t walkBytes = layOutWalk(count, false);
    for (bool walking = true; walking;) {
        forEachShare(shares, [&](std::size_t share) {
            walkSlice(slices[share], static_cast<std::int32_t>(shareStart(count, share, shares)),
                      static_cast<std::int32_t>(shareStart(count, share + 1, shares)), boxes, queries);
        });
        walking = false;
        for (std::size_t share = 0; share < shares; ++share)
            for (std::size_t r = 0; r < shares; ++r)
                walking = walking || slices[share].walked[r].size > slices[share].walked[r].room;
        if (walking)
            walkBytes = layOutWalk(count, true);
    }
    lastWalked_.resize(shares * shares);
    for (std::size_t share = 0; share < shares; ++share)
        for (std::size_t r = 0; r < shares; ++r)
            lastWalked_[share * shares + r] = slices[share].walked[r].size;
    large_.clear();
    for (std::size_t share = 0; share < shares; ++share)
        large_.insert(large_.end(), slices[share].large.begin(), slices[share].large.end());
    layOutRanges(walkBytes);
}

std::size_t GridBroadPhase::layOutWalk(std::size_t count, bool fits)
{
    const std::size_t shares = sliceCount_;
    std::vector<Slice>& slices = walk().slices;
    const bool known = lastWalked_.size() == shares * shares;
    std::size_t first = 0;
    for (std::size_t share = 0; share < shares; ++share) {
        // A box takes one to eight cells of twice the median size: four a
        // box, spread over the ranges, before the grid has been built.
        const std::size_t boxes = shareStart(count, share + 1, shares) - shareStart(count, share, shares);
        for (std::size_t r = 0; r < shares; ++r) {
            WalkedList& list = slices[share].walked[r];
            const std::size_t found = fits ? list.size : known ? lastWalked_[share * shares + r] : 0;
            list.room = fits || known ? found + found / 8 + 16 : 4 * boxes / shares + 16;
            list.first = first;
            first += list.room;
        }
    }
    const std::size_t bytes = alignedBytes(first * sizeof(Entry));
    walked_ = reinterpret_cast<Entry*>(pages().room(bytes));
    return bytes;
}

// Each range's arrays one after the other, after the walked entries.
void GridBroadPhase::layOutRanges(std::size_t walkBytes)
{
    const std::vector<Slice>& slices = walk().slices;
    std::size_t total = 0;
    for (std::size_t r = 0; r < ranges_.size(); ++r) {
        Range& range = ranges_[r];
        range.entries = 0;
        for (std::size_t s = 0; s < sliceCount_; ++s)
            range.entries += slices[s].walked[r].size;
        const std::size_t buckets = range.endBucket - range.firstBucket;
        total += alignedBytes((buckets + 1) * sizeof(std::uint32_t)) +
                 alignedBytes(buckets * sizeof(std::uint32_t)) + alignedBytes(range.entries * sizeof(Entry)) +
                 6 * alignedBytes((range.entries + 4) * sizeof(float));
    }
    StagePages& stagePages = pages();
    std::byte* at = stagePages.roomKeeping(walkBytes + total);
    stagePages.used(walkBytes + total);
    walked_ = reinterpret_cast<Entry*>(at);
    at += walkBytes;
    for (Range& range : ranges_) {
        const std::size_t buckets = range.endBucket - range.firstBucket;
        range.bucketStart = takeArray<std::uint32_t>(at, buckets + 1);
        range.bucketFill = takeArray<std::uint32_t>(at, buckets);
        range.sorted = takeArray<Entry>(at, range.entries);
        for (int axis = 0; axis < 3; ++axis) {
            range.sortedMin[axis] = takeArray<float>(at, range.entries + 4);
            range.sortedMax[axis] = takeArray<float>(at, range.entries + 4);
        }
    }
}

void GridBroadPhase::walkSlice(Slice& slice, std::int32_t from, std::int32_t to,
                               const std::vector<WorldBox>& boxes, const std::vector<char>* queries)
{
    for (WalkedList& list : slice.walked)
        list.size = 0;
    slice.large.clear();
    const Buckets buckets = buckets_;
    WalkedList* const lists = slice.walked.data();
    Entry* const walked = walked_;
    for (std::int32_t i = from; i < to; ++i) {
        std::int32_t low[3], high[3];
        if (!cellRange(boxes[i], low, high)) {
            slice.large.push_back(i);
            continue;
        }
        const std::uint32_t query = queries && (*queries)[i] ? queryBit : 0u;
        for (std::int32_t x = low[0]; x <= high[0]; ++x)
            for (std::int32_t y = low[1]; y <= high[1]; ++y)
                for (std::int32_t z = low[2]; z <= high[2]; ++z) {
                    const std::int32_t cell[3] = {x, y, z};
                    const std::uint32_t bucket = buckets.of(cell);
                    const std::uint32_t lowest =
                        (x == low[0] ? 1u : 0u) | (y == low[1] ? 2u : 0u) | (z == low[2] ? 4u : 0u);
                    WalkedList& list = lists[buckets.rangeOf(bucket)];
                    if (list.size < list.room)
                        walked[list.first + list.size] = {i, {x, y, z}, lowest | query};
                    ++list.size;
                }
    }
}

// A counting sort of the range's entries by bucket. The slices' lists are
// taken in the order of the slices, each in the order of its boxes, so that a
// bucket's entries come in the order of the boxes for every number of
// slices.
void GridBroadPhase::sortRange(std::size_t index, const std::vector<WorldBox>& boxes)
{
    Range& range = ranges_[index];
    const std::uint32_t first = range.firstBucket;
    const std::uint32_t buckets = range.endBucket - first;
    const Buckets hash = buckets_;
    std::fill_n(range.bucketFill, buckets, 0u);
    const std::vector<Slice>& slices = walk().slices;
    for (std::size_t s = 0; s < sliceCount_; ++s) {
        const WalkedList& list = slices[s].walked[index];
        for (const Entry* entry = walked_ + list.first; entry != walked_ + list.first + list.size; ++entry)
            ++range.bucketFill[hash.of(entry->cell) - first];
    }
    std::uint32_t start = 0;
    for (std::uint32_t b = 0; b < buckets; ++b) {
        const std::uint32_t size = range.bucketFill[b];
        range.bucketStart[b] = range.bucketFill[b] = start;
        start += size;
    }
    range.bucketStart[buckets] = start;

    const std::size_t entries = start;
    assert(entries == range.entries);
    // The four bounds past the last entry are read but never count: zero, not
    // what another stage left in the pages.
    for (int axis = 0; axis < 3; ++axis) {
        std::fill_n(range.sortedMin[axis] + entries, 4, 0.0f);
        std::fill_n(range.sortedMax[axis] + entries, 4, 0.0f);
    }
    for (std::size_t s = 0; s < sliceCount_; ++s) {
        const WalkedList& list = slices[s].walked[index];
        for (const Entry* entry = walked_ + list.first; entry != walked_ + list.first + list.size; ++entry)
            range.sorted[range.bucketFill[hash.of(entry->cell) - first]++] = *entry;
    }
    // The bounds in sorted order, written one after the other rather than
    // scattered over six arrays as the entries are placed.
    for (std::size_t at = 0; at < entries; ++at) {
        const WorldBox& bounds = boxes[range.sorted[at].box];
        range.sortedMin[0][at] = bounds.min.x;
        range.sortedMin[1][at] = bounds.min.y;
        range.sortedMin[2][at] = bounds.min.z;
        range.sortedMax[0][at] = bounds.max.x;
        range.sortedMax[1][at] = bounds.max.y;
        range.sortedMax[2][at] = bounds.max.z;
    }
}

// Large boxes are not in the cells: each share of the boxes is paired with
// them box by box, so that the shares' lists joined give the same order
// however the boxes were shared out. Two large boxes are paired when the
// second comes up.
void GridBroadPhase::pairsWithLarge(std::size_t share, const std::vector<WorldBox>& boxes,
                                    const std::vector<char>& queries, Pairs& largePairs) const
{
    largePairs.clear();
    if (large_.empty())
        return;
    const auto from = static_cast<std::int32_t>(shareStart(boxes.size(), share, ranges_.size()));
    const auto to = static_cast<std::int32_t>(shareStart(boxes.size(), share + 1, ranges_.size()));
    // The next large box from j on: the boxes come in order, as do the large ones.
    auto nextLarge = std::lower_bound(large_.begin(), large_.end(), from);
    for (std::int32_t j = from; j < to; ++j) {
        const bool largeJ = nextLarge != large_.end() && *nextLarge == j;
        if (largeJ)
            ++nextLarge;
        const bool queryJ = queries[j] != 0;
        for (const std::int32_t large : large_) {
            if (large == j || (largeJ && large > j) || !(queryJ || queries[large]) ||
                !boxesOverlap(boxes[large], boxes[j]))
                continue;
            largePairs.emplace_back(std::min(large, j), std::max(large, j));
        }
    }
}

} // namespace Tolvane::Physics
