// The solver's grid finds exactly the overlapping pairs a test of every pair
// finds, in the same order on any number of threads, and after some boxes
// grow, exactly the pairs their growth added.
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

TEST(GridBroadPhase, FindsEveryOverlapAndEveryPairThatGrowingAdds)
{
    std::mt19937 random(71207);
    WorkerPool pool(3);
    WorkerPool twoThreads(2);
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
        // A grid asked before it was built builds itself from the boxes it is given.
        GridBroadPhase fresh;
        fresh.setPool(&pool);
        fresh.findPairsOfGrown(boxes, grown, added, found);
        EXPECT_EQ(sorted(found), expected);
    }
}

} // namespace
} // namespace Tolvane::Physics
