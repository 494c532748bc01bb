// The worker pool's threads: no more than the machine's cores ever run, a
// pool starts none before its first loop, and two pools leave each other
// their threads.
#include "physics/solver/WorkerPool.h"
#include "physics/PhysicalUniverse.h"
#include "physics/solver/ContactWorld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <thread>

namespace Tolvane::Physics {
namespace {

/// ThreadSanitizer's runtime starts a thread of its own along with the first
/// thread the program starts.
#ifdef __SANITIZE_THREAD__
constexpr int sanitizerThreads = 1;
#else
constexpr int sanitizerThreads = 0;
#endif

int processThreads()
{
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

/// The most threads that were inside one loop of the pool at once: each of
/// the pool's pieces waits, up to a few seconds, for the others to come in.
int threadsMeetingInOneLoop(WorkerPool& pool)
{
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    const auto count = static_cast<std::size_t>(pool.threads());
    pool.forEachEven(count, 1, [&](std::size_t, std::size_t) {
        const int here = ++inside;
        int seen = most;
        while (here > seen && !most.compare_exchange_weak(seen, here)) {
        }
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (most < pool.threads() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        --inside;
    });
    return most;
}

TEST(WorkerPoolDeathTest, NothingStartsAThreadBeforeTheFirstLoop)
{
    // In a process of its own: other tests leave oneTBB's threads behind.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // The universe's own contact world was made before main.
            ContactWorld world;
            world.setThreads(8);
            WorkerPool pool(4);
            pool.setThreads(3);
            PhysicalUniverse::setThreads(2);
            std::fprintf(stderr, "%d threads before a loop\n", processThreads());
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^1 threads before a loop");
}

TEST(WorkerPool, AskingForTooManyThreadsClampsAndStartsNoMoreThanTheCores)
{
    const int cores = WorkerPool::machineThreads();
    const int before = processThreads();
    WorkerPool pool(100000);
    EXPECT_EQ(pool.askedThreads(), WorkerPool::threadLimit());
    EXPECT_EQ(WorkerPool::threadLimit(), 4 * cores);
    EXPECT_EQ(pool.threads(), cores);
    EXPECT_EQ(threadsMeetingInOneLoop(pool), cores);
    pool.setThreads(1);
    EXPECT_EQ(pool.threads(), 1);
    pool.setThreads(100000);
    EXPECT_EQ(pool.askedThreads(), WorkerPool::threadLimit());
    EXPECT_EQ(threadsMeetingInOneLoop(pool), cores);
    // oneTBB keeps one thread fewer than the cores for all arenas.
    EXPECT_LE(processThreads(), before + cores - 1 + sanitizerThreads);

    PhysicalUniverse::setThreads(100000);
    EXPECT_EQ(PhysicalUniverse::threads(), WorkerPool::threadLimit());
    PhysicalUniverse::setThreads(0);
    EXPECT_EQ(PhysicalUniverse::threads(), cores);
}

TEST(WorkerPool, PoolBesideAnotherRunsLoopsOnAllItsThreadsWithoutWarnings)
{
    // Each pool once held a oneTBB limit of its own, and the smallest of
    // them held for all: beside a pool of the cores, one of four got as many
    // threads as the cores and oneTBB printed a warning.
    ::testing::internal::CaptureStderr();
    WorkerPool machine(0);
    machine.forEach(1000, 1, [](std::size_t, std::size_t) {});
    WorkerPool four(4);
    EXPECT_EQ(four.threads(), std::min(4, WorkerPool::machineThreads()));
    EXPECT_EQ(threadsMeetingInOneLoop(four), four.threads());
    EXPECT_EQ(threadsMeetingInOneLoop(machine), machine.threads());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(WorkerPool, ARaisedRunningLimitRunsMoreThreadsThanCoresForTests)
{
    // What the tests of every thread count rely on: three threads really
    // split the work three ways on a machine of two cores.
    WorkerPool::setRunningLimit(3);
    WorkerPool three(3);
    EXPECT_EQ(three.threads(), 3);
    EXPECT_EQ(threadsMeetingInOneLoop(three), 3);
    WorkerPool::setRunningLimit(0);
    three.setThreads(3);
    EXPECT_EQ(three.threads(), std::min(3, WorkerPool::machineThreads()));
}

TEST(WorkerPool, InTurnEveryIterationRunsOnceAndAThreadTakesTheNextWhenDone)
{
    WorkerPool pool(2);
    std::atomic<int> runs[9] = {};
    std::atomic<bool> released{false};
    // Iteration 0 holds its thread until every later one has run: the other
    // thread must take them all, one after another, meanwhile.
    pool.forEachInTurn(std::size(runs), [&](std::size_t k) {
        ++runs[k];
        if (k == std::size(runs) - 1)
            released = true;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (k == 0 && pool.threads() > 1 && !released && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
    });
    for (const auto& count : runs)
        EXPECT_EQ(count, 1);
    EXPECT_TRUE(released || pool.threads() == 1);
}

} // namespace
} // namespace Tolvane::Physics
