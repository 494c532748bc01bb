// The worker pool over a oneTBB task arena of its own size, made on first use.
#include "physics/solver/WorkerPool.h"

#include <algorithm>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace Tolvane::Physics {

namespace {

/// How many threads a pool may be asked for, per core of the machine.
constexpr int threadsPerCore = 4;

/// The most threads a pool runs on when a test asked for more than the cores
/// (0: the cores), and the oneTBB limit raised so that they can all run.
int raisedRunningLimit = 0;
std::unique_ptr<tbb::global_control> raisedWorkerLimit;

int runningLimit()
{
    return raisedRunningLimit > 0 ? raisedRunningLimit : WorkerPool::machineThreads();
}

} // namespace

// No pool has more threads than the machine's cores, which is oneTBB's own
// limit on workers: the pools need no global_control, and so cannot lower
// one another's limit. Only a test's raised running limit raises oneTBB's,
// once for the whole process.
struct WorkerPool::Arena {
    explicit Arena(int threads) : arena(threads) {}
    tbb::task_arena arena;
};

WorkerPool::WorkerPool(int threads)
{
    setThreads(threads);
}

WorkerPool::~WorkerPool() = default;

int WorkerPool::machineThreads()
{
    return tbb::info::default_concurrency();
}

int WorkerPool::threadLimit()
{
    return threadsPerCore * machineThreads();
}

void WorkerPool::setRunningLimit(int limit)
{
    raisedWorkerLimit.reset();
    raisedRunningLimit = limit < 1 ? 0 : std::min(limit, threadLimit());
    if (raisedRunningLimit > machineThreads())
        raisedWorkerLimit = std::make_unique<tbb::global_control>(
            tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(raisedRunningLimit));
}

void WorkerPool::setThreads(int threads)
{
    const int cores = machineThreads();
    askedThreads_ = threads < 1 ? cores : std::min(threads, threadsPerCore * cores);
    const int running = std::min(askedThreads_, runningLimit());
    if (running != threads_)
        arena_.reset();
    threads_ = running;
}

WorkerPool::Arena& WorkerPool::arena()
{
    if (!arena_)
        arena_ = std::make_unique<Arena>(threads_);
    return *arena_;
}

void WorkerPool::wake()
{
    // An empty task handed to the arena wakes a sleeping thread to take it;
    // the thread then looks for more work a while before it sleeps again. The
    // first wake starts the threads.
    if (threads_ > 1)
        arena().arena.enqueue([] {});
}

void WorkerPool::forEachPiece(std::size_t count, std::size_t grain, bool even,
                              void (*piece)(const void*, std::size_t, std::size_t), const void* context)
{
    if (count == 0)
        return;
    if (threads_ <= 1 || count < 2 * grain) {
        piece(context, 0, count);
        return;
    }
    arena().arena.execute([&] {
        const tbb::blocked_range<std::size_t> range(0, count, grain);
        const auto body = [&](const tbb::blocked_range<std::size_t>& part) {
            piece(context, part.begin(), part.end());
        };
        if (even)
            tbb::parallel_for(range, body, tbb::static_partitioner());
        else
            tbb::parallel_for(range, body);
    });
}

} // namespace Tolvane::Physics
