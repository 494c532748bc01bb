// Running a loop's iterations on several threads with oneTBB, or on the
// calling thread alone: the physics' one way to go parallel.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>

namespace Tolvane::Physics {

/// Every result of the physics is the same for every number of threads, so a
/// pool runs on no more threads than the machine has cores, however many it
/// is asked for: more would only wait for one another. Its threads start with
/// its first loop (or wake), so a pool that never loops starts none. A pool is
/// driven by one thread at a time.
class WorkerPool {
  public:
    /// threads below 1 take the machine's cores; above threadLimit(), the limit.
    explicit WorkerPool(int threads = 1);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    /// The number of threads loops run on: the threads asked for, but no more
    /// than the machine's cores.
    int threads() const { return threads_; }
    /// The number of threads asked for, clamped to 1 … threadLimit().
    int askedThreads() const { return askedThreads_; }
    /// Asks for another number of threads, clamped as the constructor does.
    /// Starts no thread: the next loop does.
    void setThreads(int threads);

    /// Calls work(begin, end) over [0, count) in pieces of at least grain
    /// iterations, on the pool's threads; on the calling thread alone when
    /// the pool has one thread or the loop is shorter than two pieces. The
    /// pieces must not depend on one another: which thread runs which piece,
    /// and in what order, changes from call to call. An exception thrown by
    /// a piece cancels the pieces not yet started and is thrown again here.
    template <class Work> void forEach(std::size_t count, std::size_t grain, const Work& work)
    {
        forEachSplit(count, grain, false, work);
    }

    /// forEach for iterations that all cost about the same (a colour of
    /// contacts, a list of bodies): the range is split evenly over the threads
    /// up front, which hands out in a fraction of the time that balancing
    /// uneven work takes. The solver's many short passes need that.
    template <class Work> void forEachEven(std::size_t count, std::size_t grain, const Work& work)
    {
        forEachSplit(count, grain, true, work);
    }

    /// Calls work(k) for every k in [0, count), handing the iterations out
    /// one at a time, in order, to whichever thread is free. For a few
    /// iterations of uneven cost given dearest first: each thread takes the
    /// next as soon as it is done, so that the threads finish close together.
    /// The iterations must not depend on one another.
    template <class Work> void forEachInTurn(std::size_t count, const Work& work)
    {
        std::atomic<std::size_t> next{0};
        const std::size_t takers = std::min(count, static_cast<std::size_t>(threads_));
        forEach(takers, 1, [&](std::size_t, std::size_t) {
            for (std::size_t k = next++; k < count; k = next++)
                work(k);
        });
    }

    /// Starts the pool's threads towards loops about to come, without waiting
    /// for them. A thread that slept between steps takes tens of microseconds
    /// to wake; called ahead of serial work, the wait hides behind it.
    void wake();

    /// The machine's cores as oneTBB counts them.
    static int machineThreads();
    /// The most threads a pool may be asked for: four times the machine's cores.
    static int threadLimit();

    /// Lets pools set up after this call run on up to limit threads, more than
    /// the machine's cores if so asked (below 1: the cores again). Only for
    /// tests that check that splitting the work over more threads than the
    /// machine has still gives the same results; call it while no loop runs.
    static void setRunningLimit(int limit);

  private:
    template <class Work> void forEachSplit(std::size_t count, std::size_t grain, bool even, const Work& work)
    {
        forEachPiece(
            count, grain, even,
            [](const void* context, std::size_t begin, std::size_t end) {
                (*static_cast<const Work*>(context))(begin, end);
            },
            &work);
    }

    /// forEach without a template: the work as a plain function and its
    /// context, so that handing it over allocates nothing.
    void forEachPiece(std::size_t count, std::size_t grain, bool even,
                      void (*piece)(const void*, std::size_t, std::size_t), const void* context);

    /// The arena the loops run in, made on first use.
    struct Arena;
    Arena& arena();

    int askedThreads_ = 1;
    int threads_ = 1;
    std::unique_ptr<Arena> arena_;
};

} // namespace Tolvane::Physics
