// How the solve's work is split over the threads: a batch too big to share
// the threads runs alone, its passes spread over them; the small batches and
// the chunks of free bodies go side by side in one loop.
#pragma once

#include "physics/solver/ContactSolver.h"
#include "physics/solver/SolverConstants.h"
#include "physics/solver/WorkerPool.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace Tolvane::Physics {

/// Keeps nothing between steps: which batches ran side by side, and the
/// time each batch and chunk took, for the step's figures.
class ThreadSplit {
  public:
    /// Runs every batch of batches and every chunk of bodiesPerTask of the
    /// freeBodies bodies touching nothing, handed out in the order of
    /// batches (dearest first), then the chunks. runBatch(batch, parallel) runs one batch
    /// (with parallel, its passes spread over the threads) and gives the
    /// microseconds it took, in all (total) and moving bodies (integration);
    /// moveChunk(chunk) moves one chunk and gives its microseconds. Batches
    /// share no body, so each runs its whole step on its own, and every body
    /// sees the same operations in the same order as on one thread.
    template <class RunBatch, class MoveChunk>
    void run(WorkerPool& pool, const ContactSolver& solver, const std::vector<std::int32_t>& batches,
             std::size_t freeBodies, RunBatch runBatch, MoveChunk moveChunk);

    /// The share of the last run's time spent moving bodies (0 when it took none).
    double integrationShare() const;

  private:
    std::vector<std::int32_t> smallBatches_;
    std::vector<double> batchIntegration_;
    std::vector<double> batchTotal_;
    std::vector<double> freeChunkTime_;
};

template <class RunBatch, class MoveChunk>
void ThreadSplit::run(WorkerPool& pool, const ContactSolver& solver, const std::vector<std::int32_t>& batches,
                      std::size_t freeBodies, RunBatch runBatch, MoveChunk moveChunk)
{
    batchIntegration_.assign(batches.size(), 0.0);
    batchTotal_.assign(batches.size(), 0.0);
    const auto runTimed = [&](std::int32_t batch, bool parallel) {
        const auto times = runBatch(batch, parallel);
        batchIntegration_[batch] = times.integration;
        batchTotal_[batch] = times.total;
    };
    // Small batches go side by side on the pool's threads; a batch too big to
    // share the threads with others (a whole awake pile) runs alone, its
    // passes spread over the threads colour by colour.
    const std::size_t bigBatch = std::max<std::size_t>(
        bigGroupConstraints, solver.constraintCount() / static_cast<std::size_t>(2 * pool.threads()));
    const auto alone = [&](std::int32_t b) {
        return pool.threads() > 1 && solver.groupConstraintCount(static_cast<std::size_t>(b)) > bigBatch;
    };
    // Bodies touching nothing (a lattice in free fall) are only moved, a
    // chunk at a time, handed out after the small batches: each thread takes
    // the next batch or chunk once done with its last, so the dear batches
    // go first and the chunks fill the gaps at the end. Every list is made
    // before the first batch moves a body, so that a step that runs out of
    // memory stops before any body moved.
    smallBatches_.clear();
    for (const std::int32_t b : batches)
        if (!alone(b))
            smallBatches_.push_back(b);
    const std::size_t freeChunks = (freeBodies + bodiesPerTask - 1) / bodiesPerTask;
    freeChunkTime_.assign(freeChunks, 0.0);
    for (const std::int32_t b : batches)
        if (alone(b))
            runTimed(b, true);
    pool.forEachInTurn(smallBatches_.size() + freeChunks, [&](std::size_t k) {
        if (k < smallBatches_.size())
            runTimed(smallBatches_[k], false);
        else
            freeChunkTime_[k - smallBatches_.size()] = moveChunk(k - smallBatches_.size());
    });
}

} // namespace Tolvane::Physics
