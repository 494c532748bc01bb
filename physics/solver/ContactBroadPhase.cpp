// The solver response's broad phase: candidates from the grid, strikes and
// the boxes they grow, and the candidates sorted into the cached pairs' order.
#include "physics/solver/ContactBroadPhase.h"

#include "physics/solver/SolverConstants.h"

#include <algorithm>

namespace Tolvane::Physics {

using Math::Vector3;

namespace {

Vector3 componentMin(const Vector3& a, const Vector3& b)
{
    return {std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z)};
}

Vector3 componentMax(const Vector3& a, const Vector3& b)
{
    return {std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z)};
}

/// Pairs with no moving body are not looked for: pairs asleep together, or
/// asleep on a fixed body, are carried over from last step by the cache.
/// Fixed and kinematic bodies never collide with each other, and bodies
/// whose layers and masks do not match not at all. The steps with no moving
/// kinematic body (kinematics false) or no body outside layer 0 with every
/// layer in its mask (filtering false) ask neither.
template <bool kinematics, bool filtering> struct Wanted {
    const BodyTable& bodies;

    bool operator()(std::int32_t i, std::int32_t j) const
    {
        // Without kinematic bodies, a body that moves is awake, so movable.
        const bool moves =
            kinematics ? (bodies.moving(i) || bodies.moving(j)) && (bodies.movable(i) || bodies.movable(j))
                       : bodies.awake(i) || bodies.awake(j);
        return moves && bodies.hullCount(i) != 0 && bodies.hullCount(j) != 0 &&
               (!filtering || bodies.collides(i, j));
    }
};

/// Fewer candidates than this are sorted by comparisons: a radix sort's
/// passes over its counters would cost more.
constexpr std::size_t radixSortedCandidates = 256;

/// Sorts items (count of them) by key, then by i and j, with scratch room for
/// as many: a least significant digit first radix sort by the key's bytes,
/// skipping the bytes every key shares (the high bytes of small ids), keeps
/// items of equal keys in the order they came, and each run of equal keys
/// (bodies sharing ids) is then sorted by the bodies' places. The order is
/// the one operator< gives, as the order is total.
void sortByKey(KeyedCandidate* items, KeyedCandidate* scratch, std::size_t count)
{
    if (count < radixSortedCandidates) {
        std::sort(items, items + count);
        return;
    }
    constexpr int digits = 8;
    std::uint32_t counts[digits][256] = {};
    for (std::size_t c = 0; c < count; ++c)
        for (int d = 0; d < digits; ++d)
            ++counts[d][(items[c].key >> (8 * d)) & 0xFFu];
    KeyedCandidate* from = items;
    KeyedCandidate* to = scratch;
    for (int d = 0; d < digits; ++d) {
        std::uint32_t* const digitCounts = counts[d];
        if (digitCounts[(from[0].key >> (8 * d)) & 0xFFu] == count)
            continue;
        std::uint32_t start = 0;
        for (int b = 0; b < 256; ++b) {
            const std::uint32_t size = digitCounts[b];
            digitCounts[b] = start;
            start += size;
        }
        for (std::size_t c = 0; c < count; ++c)
            to[digitCounts[(from[c].key >> (8 * d)) & 0xFFu]++] = from[c];
        std::swap(from, to);
    }
    if (from != items)
        std::copy(from, from + count, items);
    for (std::size_t first = 0; first < count;) {
        std::size_t last = first + 1;
        while (last < count && items[last].key == items[first].key)
            ++last;
        if (last - first > 1)
            std::sort(items + first, items + last);
        first = last;
    }
}

/// work(wanted) with the Wanted that fits the step's bodies.
template <class Work> void withWanted(const BodyTable& bodies, const Work& work)
{
    const bool kinematics = !bodies.kinematicBodies().empty();
    if (kinematics && bodies.filtering())
        work(Wanted<true, true>{bodies});
    else if (kinematics)
        work(Wanted<true, false>{bodies});
    else if (bodies.filtering())
        work(Wanted<false, true>{bodies});
    else
        work(Wanted<false, false>{bodies});
}

} // namespace

void ContactBroadPhase::findCandidates(BodyTable& bodies, float dt, WorkerPool& pool)
{
    grid_.setPool(&pool);
    grid_.shareWalk(&walk_);
    grid_.sharePages(pages_);
    queries_.resize(bodies.size());
    for (std::size_t i = 0; i < bodies.size(); ++i)
        queries_[i] = bodies.moving(static_cast<std::int32_t>(i));
    withWanted(bodies,
               [&](const auto& wanted) { grid_.findPairs(bodies.boxes(), queries_, wanted, candidates_); });

    // A body struck in this step changes its velocity by up to the speed it
    // is struck with, in the direction it is struck, and may be driven into a
    // third body that its own motion would never reach: a block hit from above
    // while it rests on another. Such bodies get their boxes grown by that
    // change, towards where the strike pushes them, and their margins by its
    // size, and the pairs are found again with the grown boxes. Changes the
    // speculative distance already covers (a resting body's one step of
    // gravity) grow nothing.
    strikeBodies(bodies);
    if (growStruck(bodies, dt))
        findPairsOfGrown(bodies, pool);
}

void ContactBroadPhase::strikeBodies(const BodyTable& bodies)
{
    strikes_.assign(bodies.size(), Strike());
    for (const auto& [i, j] : candidates_) {
        const Vector3 change = bodies.velocity(j) - bodies.velocity(i);
        const float size = change.length();
        Strike& onI = strikes_[i];
        Strike& onJ = strikes_[j];
        onI.jolt = std::max(onI.jolt, size);
        onJ.jolt = std::max(onJ.jolt, size);
        // i is pushed along -change (towards j's motion relative to it), j along +change.
        onI.pushLow = componentMin(onI.pushLow, -change);
        onI.pushHigh = componentMax(onI.pushHigh, -change);
        onJ.pushLow = componentMin(onJ.pushLow, change);
        onJ.pushHigh = componentMax(onJ.pushHigh, change);
    }
}

bool ContactBroadPhase::growStruck(BodyTable& bodies, float dt)
{
    // Only the grown boxes look again, for the pairs their growth added: a
    // pair whose boxes met before growing was found above.
    bool grown = false;
    grownQueries_.assign(bodies.size(), 0);
    reach_ = GridBroadPhase::Growth();
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        const Strike& strike = strikes_[i];
        if (!bodies.movable(static_cast<std::int32_t>(i)) || strike.jolt * dt <= 0.5f * speculativeDistance)
            continue;
        bodies.growBox(i, strike.pushLow * dt, strike.pushHigh * dt);
        const WorldBox& before = bodies[i].box;
        const WorldBox& after = bodies.boxes()[i];
        reach_.below = componentMax(reach_.below, before.min - after.min);
        reach_.above = componentMax(reach_.above, after.max - before.max);
        grownQueries_[i] = 1;
        grown = true;
    }
    return grown;
}

void ContactBroadPhase::findPairsOfGrown(const BodyTable& bodies, WorkerPool& pool)
{
    withWanted(bodies, [&](const auto& wanted) { findPairsOfGrown(bodies, pool, wanted); });
}

template <class Wanted>
void ContactBroadPhase::findPairsOfGrown(const BodyTable& bodies, WorkerPool& pool, const Wanted& wanted)
{
    const auto added = [&bodies, &wanted](std::int32_t i, std::int32_t j) {
        return wanted(i, j) && !boxesOverlap(bodies[i].box, bodies[j].box);
    };
    // Grown boxes that grew little against every other box, in the grid as
    // it is: it holds the boxes before they grew, so each grown box looks a
    // little farther for the grown ones.
    const float farthest = std::max(
        {reach_.below.x, reach_.below.y, reach_.below.z, reach_.above.x, reach_.above.y, reach_.above.z});
    if (farthest <= grid_.cellSize() * grownReachPerCell) {
        grid_.findPairsOfGrown(bodies.boxes(), grownQueries_, reach_, added, addedCandidates_);
        candidates_.insert(candidates_.end(), addedCandidates_.begin(), addedCandidates_.end());
        return;
    }
    // Otherwise grown boxes against the others in the grid as it is, and
    // against each other in a grid of their own.
    grid_.findPairsOfGrown(bodies.boxes(), grownQueries_, added, addedCandidates_);
    grownBodies_.clear();
    grownBoxes_.clear();
    for (std::size_t i = 0; i < bodies.size(); ++i)
        if (grownQueries_[i]) {
            grownBodies_.push_back(static_cast<std::int32_t>(i));
            grownBoxes_.push_back(bodies.boxes()[i]);
        }
    everyGrown_.assign(grownBodies_.size(), 1);
    grownGrid_.setPool(&pool);
    grownGrid_.shareWalk(&walk_);
    grownGrid_.sharePages(pages_);
    candidates_.insert(candidates_.end(), addedCandidates_.begin(), addedCandidates_.end());
    grownGrid_.findPairs(
        grownBoxes_, everyGrown_,
        [&](std::int32_t a, std::int32_t b) { return added(grownBodies_[a], grownBodies_[b]); },
        addedCandidates_);
    for (const auto& [a, b] : addedCandidates_)
        candidates_.emplace_back(grownBodies_[a], grownBodies_[b]);
}

// The order is total, so it is the same however the work is split: the two
// halves are sorted side by side (each with its share of the merged list's
// room as scratch) and then merged.
void ContactBroadPhase::sortCandidates(const BodyTable& bodies, WorkerPool& pool)
{
    const std::size_t count = candidates_.size();
    candidateOrder_.resize(count);
    unmergedOrder_.resize(count);
    const std::size_t half = count / 2;
    const auto sortHalf = [&](std::size_t from, std::size_t to) {
        for (std::size_t part = from; part < to; ++part) {
            const std::size_t first = part == 0 ? 0 : half;
            const std::size_t last = part == 0 ? half : count;
            for (std::size_t c = first; c < last; ++c)
                unmergedOrder_[c] = {bodies.pairKey(candidates_[c].first, candidates_[c].second),
                                     candidates_[c].first, candidates_[c].second};
            sortByKey(unmergedOrder_.data() + first, candidateOrder_.data() + first, last - first);
        }
    };
    if (count >= sortedCandidatesPerTask)
        pool.forEachEven(2, 1, sortHalf);
    else
        sortHalf(0, 2);
    std::merge(unmergedOrder_.begin(), unmergedOrder_.begin() + static_cast<std::ptrdiff_t>(half),
               unmergedOrder_.begin() + static_cast<std::ptrdiff_t>(half), unmergedOrder_.end(),
               candidateOrder_.begin());
}

void ContactBroadPhase::dropPairs(const std::vector<std::pair<std::int32_t, std::int32_t>>& keptApart)
{
    const auto apart = [&](const KeyedCandidate& candidate) {
        const std::pair<std::int32_t, std::int32_t> pair(std::min(candidate.i, candidate.j),
                                                         std::max(candidate.i, candidate.j));
        return std::binary_search(keptApart.begin(), keptApart.end(), pair);
    };
    candidateOrder_.erase(std::remove_if(candidateOrder_.begin(), candidateOrder_.end(), apart),
                          candidateOrder_.end());
}

} // namespace Tolvane::Physics
