// Runs of places handed out and given back: a run given back is taken again,
// merged with its free neighbours, and no two runs held at once overlap.
#include "physics/solver/FreeRuns.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace Tolvane::Physics {
namespace {

TEST(FreeRuns, RunsGivenBackAreMergedAndTakenAgainLowestFirst)
{
    FreeRuns runs;
    runs.reset(10, 4);
    EXPECT_EQ(runs.take(3), 0u);
    EXPECT_EQ(runs.take(3), 3u);
    EXPECT_EQ(runs.take(3), 6u);
    // One place left: a longer run does not fit.
    EXPECT_EQ(runs.take(2), runs.capacity());
    EXPECT_EQ(runs.highWater(), 9u);

    // Given back out of order, the first and the middle run merge into one
    // run of six, and the last one with the place after it into four.
    runs.give(0, 3);
    runs.give(6, 3);
    runs.give(3, 3);
    EXPECT_EQ(runs.take(10), 0u) << "every run merged back into one";
    runs.give(0, 10);

    EXPECT_EQ(runs.take(4), 0u);
    EXPECT_EQ(runs.take(0), 0u) << "nothing taken";
    EXPECT_EQ(runs.take(6), 4u);
    runs.give(0, 4);
    EXPECT_EQ(runs.take(2), 0u) << "lowest fitting run first";
    EXPECT_EQ(runs.take(2), 2u);

    runs.reset(5, 1);
    EXPECT_EQ(runs.highWater(), 0u);
    EXPECT_EQ(runs.take(5), 0u);
}

TEST(FreeRuns, ThreadsTakingAndGivingBackNeverHoldOverlappingRuns)
{
    constexpr int threads = 4;
    constexpr int rounds = 2000;
    constexpr std::uint32_t capacity = 64;
    FreeRuns runs;
    runs.reset(capacity, threads);
    std::vector<int> owner(capacity, -1);
    std::vector<int> overlaps(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                const std::uint32_t count = 1 + static_cast<std::uint32_t>((round * 7 + t) % 16);
                const std::uint32_t first = runs.take(count);
                if (first == runs.capacity())
                    continue;
                for (std::uint32_t k = first; k < first + count; ++k) {
                    overlaps[t] += owner[k] != -1 ? 1 : 0;
                    owner[k] = t;
                }
                for (std::uint32_t k = first; k < first + count; ++k)
                    owner[k] = -1;
                runs.give(first, count);
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(overlaps[t], 0) << "thread " << t;
    EXPECT_EQ(runs.take(capacity), 0u) << "every place given back";
}

} // namespace
} // namespace Tolvane::Physics
