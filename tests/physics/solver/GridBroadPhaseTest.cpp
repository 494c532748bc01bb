// The solver's grid finds exactly the overlapping pairs a test of every pair
// finds, in the same order on any number of threads, and after some boxes
// grow, exactly the pairs their growth added, also in the same order.
#include "physics/solver/GridBroadPhase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace Tolvane::Physics {
namespace {

using Math::Vector3;
using Pairs = std::vector<std::pair<std::int32_t, std::int32_t>>;

Pairs sorted(Pairs pairs)
{
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

/// Pairs i < j whose boxes overlap, with at least one chosen box, that keep accepts.
template <class Keep>
Pairs everyPair(const std::vector<WorldBox>& boxes, const std::vector<char>& chosen, Keep keep)
{
    Pairs result;
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(boxes.size()); ++i)
        for (std::int32_t j = i + 1; j < static_cast<std::int32_t>(boxes.size()); ++j)
            if ((chosen[i] || chosen[j]) && boxesOverlap(boxes[i], boxes[j]) && keep(i, j))
                result.emplace_back(i, j);
    return result;
}

/// How far the grown boxes grew at the most.
GridBroadPhase::Growth reachOf(const std::vector<WorldBox>& before, const std::vector<WorldBox>& after,
                               const std::vector<char>& grown)
{
    GridBroadPhase::Growth reach;
    for (std::size_t i = 0; i < before.size(); ++i)
        if (grown[i]) {
            const Vector3 below = before[i].min - after[i].min;
            const Vector3 above = after[i].max - before[i].max;
            reach.below = {std::max(reach.below.x, below.x), std::max(reach.below.y, below.y),
                           std::max(reach.below.z, below.z)};
            reach.above = {std::max(reach.above.x, above.x), std::max(reach.above.y, above.y),
                           std::max(reach.above.z, above.z)};
        }
    return reach;
}

/// Lets the pools made while it lives run on as many threads as they ask
/// for, up to limit, however few cores this machine has.
struct MoreThreadsThanCores {
    explicit MoreThreadsThanCores(int limit) { WorkerPool::setRunningLimit(limit); }
    ~MoreThreadsThanCores() { WorkerPool::setRunningLimit(0); }
    MoreThreadsThanCores(const MoreThreadsThanCores&) = delete;
    MoreThreadsThanCores& operator=(const MoreThreadsThanCores&) = delete;
};

TEST(GridBroadPhase, FindsEveryOverlapAndEveryPairThatGrowingAdds)
{
    std::mt19937 random(71207);
    const MoreThreadsThanCores threeThreads(3);
    WorkerPool pool(3);
    WorkerPool twoThreads(2);
    // Hashing lists two grids share in every round, whatever their scenes.
    GridBroadPhase::WalkScratch walk;
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const float spread = std::uniform_real_distribution<float>(3.0f, 40.0f)(random);
        std::uniform_real_distribution<float> place(-spread, spread);
        std::uniform_real_distribution<float> size(0.5f, 3.0f);
        std::vector<WorldBox> boxes;
        std::vector<char> queries;
        // Every third scene large enough for the grid to sort its entries on several threads.
        const int count = round % 3 == 0 ? 1500 : 300;
        for (int i = 0; i < count; ++i) {
            const Vector3 low(place(random), place(random), place(random));
            // Now and then a box far larger than the rest (a floor), or one with no bounds.
            const float side = i % 50 == 0 ? 100.0f : size(random);
            boxes.push_back({low, low + Vector3(side, size(random), side)});
            if (i % 97 == 5)
                boxes.back().min.x = std::numeric_limits<float>::quiet_NaN();
            queries.push_back(random() % 3 != 0);
        }
        const auto odd = [](std::int32_t i, std::int32_t j) { return (i + j) % 7 != 0; };

        GridBroadPhase grid;
        grid.setPool(round % 2 == 0 ? &pool : nullptr);
        Pairs found;
        grid.findPairs(boxes, queries, odd, found);
        EXPECT_EQ(sorted(found), everyPair(boxes, queries, odd));
        // The pairs come in the same order on two threads as on three or one.
        GridBroadPhase other;
        other.setPool(round % 2 == 0 ? &twoThreads : &pool);
        Pairs again;
        other.findPairs(boxes, queries, odd, again);
        EXPECT_EQ(again, found);

        // Some boxes grow, many or a few (looked up on one thread); the pairs
        // of a grown box with one that did not come from the grid as it stands.
        const std::vector<WorldBox> before = boxes;
        std::vector<char> grown(boxes.size(), 0);
        const bool many = round % 4 < 2;
        for (std::size_t i = 0; i < boxes.size(); ++i)
            if (random() % (many ? 4 : 120) == 0) {
                grown[i] = 1;
                boxes[i].min -= Vector3(size(random), 0.0f, 0.0f);
                boxes[i].max += Vector3(0.0f, size(random), size(random));
            }
        const auto added = [&](std::int32_t i, std::int32_t j) {
            return odd(i, j) && !boxesOverlap(before[i], before[j]);
        };
        grid.findPairsOfGrown(boxes, grown, added, found);
        const Pairs expected = everyPair(boxes, grown, [&](std::int32_t i, std::int32_t j) {
            return !(grown[i] && grown[j]) && added(i, j);
        });
        EXPECT_EQ(sorted(found), expected);
        EXPECT_TRUE(!many || !expected.empty());
        // Looking as far as the boxes grew, the pairs of two grown boxes too.
        grid.findPairsOfGrown(boxes, grown, reachOf(before, boxes, grown), added, found);
        EXPECT_EQ(sorted(found), everyPair(boxes, grown, added));
        const bool grownMet = std::any_of(found.begin(), found.end(), [&](const auto& pair) {
            return grown[pair.first] && grown[pair.second];
        });
        EXPECT_TRUE(!many || grownMet);

        // Two grids hashing into the same lists, the second built from other
        // boxes on another number of threads after the first: each finds
        // its own pairs, the first also those its grown boxes add.
        GridBroadPhase first;
        GridBroadPhase second;
        first.shareWalk(&walk);
        second.shareWalk(&walk);
        first.setPool(&pool);
        second.setPool(round % 2 == 0 ? &twoThreads : nullptr);
        Pairs firstPairs;
        first.findPairs(before, queries, odd, firstPairs);
        const std::vector<WorldBox> fewer(before.begin(), before.begin() + count / 3);
        const std::vector<char> everyQuery(fewer.size(), 1);
        Pairs secondPairs;
        second.findPairs(fewer, everyQuery, odd, secondPairs);
        EXPECT_EQ(sorted(firstPairs), everyPair(before, queries, odd));
        EXPECT_EQ(sorted(secondPairs), everyPair(fewer, everyQuery, odd));
        first.findPairsOfGrown(boxes, grown, added, found);
        EXPECT_EQ(sorted(found), expected);
        // A grid asked before it was built builds itself from the boxes it is given.
        GridBroadPhase fresh;
        fresh.setPool(&pool);
        fresh.findPairsOfGrown(boxes, grown, added, found);
        EXPECT_EQ(sorted(found), expected);
    }
}

TEST(GridBroadPhase, GivesTheSamePairsInTheSameOrderOnOneTwoThreeAndEightThreads)
{
    // A jittered lattice pile of a few thousand boxes, enough for eight
    // slices and ranges, with floors spanning many cells, boxes with no
    // bounds and boxes far outside the grid's cells among them.
    std::mt19937 random(5113);
    std::uniform_real_distribution<float> shift(-0.4f, 0.4f);
    std::vector<WorldBox> boxes;
    std::vector<char> queries;
    for (int i = 0; i < 3000; ++i) {
        const Vector3 centre(2.5f * static_cast<float>(i % 15) + shift(random),
                             2.5f * static_cast<float>(i / 225) + shift(random),
                             2.5f * static_cast<float>(i / 15 % 15) + shift(random));
        boxes.push_back({centre - Vector3(1.0f, 1.0f, 1.0f), centre + Vector3(1.0f, 1.0f, 1.0f)});
        if (i % 700 == 3)
            boxes.back() = {Vector3(-5.0f, centre.y - 0.5f, -5.0f), Vector3(45.0f, centre.y, 45.0f)};
        if (i % 311 == 7)
            boxes.back().max.y = std::numeric_limits<float>::quiet_NaN();
        if (i % 401 == 11)
            boxes.back().min.z = -std::numeric_limits<float>::infinity();
        if (i % 503 == 13)
            boxes.back() = {Vector3(3.0e12f, 0.0f, 0.0f), Vector3(3.0e12f + 2.0f, 2.0f, 2.0f)};
        queries.push_back(i / 225 >= 6 || random() % 5 == 0);
    }
    const auto odd = [](std::int32_t i, std::int32_t j) { return (i + j) % 11 != 0; };

    // Some boxes grow, among them one into a floor and one into a box far
    // outside the cells.
    std::vector<WorldBox> grownBoxes = boxes;
    std::vector<char> grown(boxes.size(), 0);
    for (std::size_t i = 0; i < boxes.size(); i += 17) {
        grown[i] = 1;
        grownBoxes[i].min -= Vector3(0.0f, 0.5f + shift(random), 0.0f);
        grownBoxes[i].max += Vector3(0.5f + shift(random), 0.0f, 0.5f + shift(random));
    }
    grownBoxes[17 * 40].max += Vector3(30.0f, 0.0f, 0.0f);
    grownBoxes[17 * 41].max.x = 1.0e13f;
    const auto added = [&](std::int32_t i, std::int32_t j) {
        return odd(i, j) && !boxesOverlap(boxes[i], boxes[j]);
    };
    const Pairs expectedGrown = everyPair(grownBoxes, grown, [&](std::int32_t i, std::int32_t j) {
        return !(grown[i] && grown[j]) && added(i, j);
    });
    // The same boxes grown but for the two that grew far, looked up as far
    // as they grew: also the pairs of two grown boxes.
    std::vector<WorldBox> nearBoxes = grownBoxes;
    nearBoxes[17 * 40] = boxes[17 * 40];
    nearBoxes[17 * 41] = boxes[17 * 41];
    const GridBroadPhase::Growth reach = reachOf(boxes, nearBoxes, grown);
    const Pairs expectedNear = everyPair(nearBoxes, grown, added);

    // One grid on pools of every size in turn, so that its buffers shrink and
    // grow between calls, and a fresh grid for each.
    const MoreThreadsThanCores eightThreads(8);
    WorkerPool one(1), two(2), three(3), eight(8);
    GridBroadPhase reused;
    Pairs first, firstGrown, firstNear;
    for (WorkerPool* pool : {&one, &eight, &two, &three, &one}) {
        SCOPED_TRACE(std::to_string(pool->threads()) + " threads");
        GridBroadPhase fresh;
        for (GridBroadPhase* grid : {&reused, &fresh}) {
            grid->setPool(pool);
            Pairs found, foundGrown, foundNear;
            grid->findPairs(boxes, queries, odd, found);
            grid->findPairsOfGrown(grownBoxes, grown, added, foundGrown);
            grid->findPairsOfGrown(nearBoxes, grown, reach, added, foundNear);
            if (first.empty()) {
                EXPECT_EQ(sorted(found), everyPair(boxes, queries, odd));
                EXPECT_EQ(sorted(foundGrown), expectedGrown);
                EXPECT_EQ(sorted(foundNear), expectedNear);
                ASSERT_FALSE(found.empty());
                ASSERT_FALSE(foundGrown.empty());
                first = found;
                firstGrown = foundGrown;
                firstNear = foundNear;
            }
            EXPECT_EQ(found, first);
            EXPECT_EQ(foundGrown, firstGrown);
            EXPECT_EQ(foundNear, firstNear);
        }
    }
}

TEST(GridBroadPhase, FindsEveryOverlapWhenTheBoxesTakeFarMoreCellsThanInTheLastBuild)
{
    // Boxes of side 2 in cells of side 4: centred in their cells they take
    // one cell each; moved onto the cells' edges, four, so that every list
    // of the walk outgrows the room the last build gave it. Moved so, each
    // pair of neighbours along x meets.
    std::vector<WorldBox> inCells, onCorners;
    for (int i = 0; i < 1000; ++i) {
        const Vector3 cell(4.0f * static_cast<float>(i % 10), 4.0f * static_cast<float>(i / 100),
                           4.0f * static_cast<float>(i / 10 % 10));
        const Vector3 inside = cell + Vector3(2.0f, 2.0f, 2.0f);
        const Vector3 corner = cell + Vector3(i % 2 == 0 ? 1.25f : -1.25f, 0.0f, 0.0f);
        inCells.push_back({inside - Vector3(1.0f, 1.0f, 1.0f), inside + Vector3(1.0f, 1.0f, 1.0f)});
        onCorners.push_back({corner - Vector3(1.0f, 1.0f, 1.0f), corner + Vector3(1.0f, 1.0f, 1.0f)});
    }
    const std::vector<char> queries(inCells.size(), 1);
    const auto every = [](std::int32_t, std::int32_t) { return true; };
    const Pairs expected = everyPair(onCorners, queries, every);
    ASSERT_FALSE(expected.empty());

    const MoreThreadsThanCores threeThreads(3);
    WorkerPool one(1), three(3);
    for (WorkerPool* pool : {&one, &three}) {
        SCOPED_TRACE(std::to_string(pool->threads()) + " threads");
        GridBroadPhase grid;
        grid.setPool(pool);
        Pairs found;
        grid.findPairs(inCells, queries, every, found);
        EXPECT_EQ(sorted(found), everyPair(inCells, queries, every));
        grid.findPairs(onCorners, queries, every, found);
        EXPECT_EQ(sorted(found), expected);
        grid.findPairs(inCells, queries, every, found);
        EXPECT_EQ(sorted(found), everyPair(inCells, queries, every));
    }
}

} // namespace
} // namespace Tolvane::Physics
