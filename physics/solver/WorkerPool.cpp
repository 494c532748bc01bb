// The worker pool over a oneTBB task arena of its own size.
#include "physics/solver/WorkerPool.h"

#include <algorithm>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace Tolvane::Physics {

// A pool asked for more threads than the machine's cores raises oneTBB's limit
// on workers while it lives, so that it really gets them.
struct WorkerPool::Arena {
    explicit Arena(int threads)
        : limit(tbb::global_control::max_allowed_parallelism,
                static_cast<std::size_t>(std::max(threads, tbb::info::default_concurrency()))),
          arena(threads)
    {
    }
    tbb::global_control limit;
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

void WorkerPool::setThreads(int threads)
{
    threads_ = threads < 1 ? machineThreads() : threads;
    arena_.reset();
    if (threads_ <= 1)
        return;
    arena_ = std::make_unique<Arena>(threads_);
    // oneTBB starts its threads on the first loop; one empty loop here starts
    // them now, so that the first step does not pay for it.
    arena_->arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<int>(0, threads_), [](const tbb::blocked_range<int>&) {},
            tbb::static_partitioner());
    });
}

void WorkerPool::wake()
{
    // An empty task handed to the arena wakes a sleeping thread to take it;
    // the thread then looks for more work a while before it sleeps again.
    if (arena_)
        arena_->arena.enqueue([] {});
}

void WorkerPool::forEachPiece(std::size_t count, std::size_t grain, bool even,
                              void (*piece)(const void*, std::size_t, std::size_t), const void* context)
{
    if (count == 0)
        return;
    if (!arena_ || count < 2 * grain) {
        piece(context, 0, count);
        return;
    }
    arena_->arena.execute([&] {
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
