// The solver response's world: everything it keeps between steps (contact
// manifolds with their impulses, the broad phase's order, which bodies sleep)
// and the step that runs the stages in order.
#pragma once

#include "math/Quaternion.h"
#include "physics/body/CollisionSet.h"
#include "physics/body/PhysicalObject.h"
#include "physics/solver/BodyTable.h"
#include "physics/solver/ContactBroadPhase.h"
#include "physics/solver/ContactCache.h"
#include "physics/solver/ContactSettings.h"
#include "physics/solver/ContactSolver.h"
#include "physics/solver/ContactStepStatistics.h"
#include "physics/solver/Islands.h"
#include "physics/solver/PhaseClock.h"
#include "physics/solver/ScratchArray.h"
#include "physics/solver/WorkerPool.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace Tolvane::Physics {

class ContactWorld {
  public:
    /// Moves every movable body of the sets over dt with the solver response:
    /// broad phase, narrow phase on the convex hulls, islands and waking,
    /// the substepped soft contact solve, and sleeping. Each body's weight
    /// (gravity times its mass) is first added to its force, once for every
    /// place the body has in the sets, as a pass over the sets would add it;
    /// the forces then accelerate the bodies. The caller clears the forces,
    /// with clearForces, unless it asks the step to (clearingForces): each
    /// body's force is then set to zero where its step finishes.
    void step(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt, const Math::Vector3& gravity,
              const ContactSettings& settings, bool clearingForces = false);

    /// Sets the force of every body of the sets to zero: on the pool's threads
    /// while the sets hold the bodies the last step listed.
    void clearForces(const std::vector<std::shared_ptr<CollisionSet>>& sets);

    /// Forgets every contact and sleeping island.
    void clear();

    /// The threads the narrow phase and the solver run on (below 1: the
    /// machine's cores). Every result is the same for every number of threads.
    void setThreads(int threads) { pool_.setThreads(threads); }
    int threads() const { return pool_.threads(); }

    /// Finds the pairs in contact (pressing, or asleep on each other) after the
    /// last step, in pair order: only listeners need them, so only they pay.
    void gatherTouchingPairs();
    /// What gatherTouchingPairs found. The body pointers stay valid until the sets change.
    const std::vector<TouchingPair>& touchingPairs() const { return touching_; }
    const ContactStepStatistics& statistics() const { return statistics_; }

  private:
    BodyTable bodies_;
    ContactBroadPhase broadPhase_;
    ContactCache contacts_;
    Islands islands_;
    void solve(float dt, const ContactSettings& settings);
    void runGroup(std::int32_t group, int substeps, float h, float dt, bool parallel);
    void startBody(std::int32_t k);
    void pushBody(std::int32_t k, float h);
    void moveBody(std::int32_t k, float h);
    void addConstraints(const PairContact& pair);
    void storeImpulses(std::size_t constraint);
    void finishBody(std::size_t k, float dt);
    /// Asks for the lines finishBody(k) will write, ahead of moving solver body k.
    void prefetchFinish(std::int32_t k) const;
    /// After the groups: the islands of the free bodies fall asleep, and the
    /// bodies the groups did not finish remember the step.
    void finishBodies();
    /// The end of the step for solver bodies [first, last) that hold whole
    /// islands: the islands still long enough fall asleep, and each body
    /// remembers the step (rememberBody).
    void finishIslands(const std::int32_t* first, const std::int32_t* last, bool parallel);
    void rememberBody(std::size_t i, bool sleeps)
    {
        bodies_.remember(i, sleeps, islands_.root(i), clearingForces_);
    }
    /// Each body's place among solverBodies_, or noSolverBody for fixed and sleeping bodies.
    std::vector<std::int32_t> solverIndexOf_;
    std::vector<SolverBody> solverBodies_;
    /// The manifold (in pieces_) of each of the solver's constraints.
    std::vector<std::int32_t> constraintPiece_;
    std::vector<std::int32_t> solverToBody_;
    /// What the step was asked: whether it clears the forces as each body's
    /// step finishes.
    bool clearingForces_ = false;
    /// Each awake body's still time after the step, in the solver's order.
    std::vector<float> stillTimes_;
    /// Each island's group number (by its root body), its bodies, and the time
    /// its step took, all in integration.
    std::vector<std::int32_t> groupParent_;
    /// Each island's contacts, and the batch it is solved in (-1: none).
    std::vector<std::size_t> groupConstraints_;
    std::vector<std::int32_t> batchOfGroup_;
    /// Scratch of numbering the constraints and their points batch by batch.
    std::vector<std::int32_t> batchConstraintStart_;
    std::vector<std::int32_t> batchPointStart_;
    std::vector<std::int32_t> batchConstraintFill_;
    std::vector<std::int32_t> batchPointFill_;
    std::vector<std::int32_t> batchPairFill_;
    /// Each batch's pairs (indices into pairs_), batch after batch.
    std::vector<std::int32_t> batchPairStart_;
    std::vector<std::int32_t> batchPairs_;
    std::vector<std::int32_t> groupOfRoot_;
    std::vector<std::int32_t> groupBodyStart_;
    std::vector<std::int32_t> groupBodies_;
    /// Scratch of numbering the solver's bodies batch by batch.
    std::vector<std::int32_t> bodyOfSolverPlace_;
    std::vector<std::int32_t> groupFill_;
    std::vector<std::int32_t> smallGroups_;
    /// Awake bodies without contacts, moved without the solver.
    std::vector<std::int32_t> freeBodies_;
    std::vector<double> groupIntegration_;
    std::vector<double> groupTotal_;
    /// Each batch's pairs pressed together once it is solved.
    std::vector<int> groupTouching_;
    std::vector<double> freeChunkTime_;
    /// The awake bodies' orientations as the substeps turn them.
    std::vector<Math::Quaternion> orientations_;
    /// Against gravity: contacts are coloured from the lowest up.
    Math::Vector3 up_;
    /// The figures of the last step that did something, which a quiet step repeats.
    ContactStepStatistics lastStatistics_;
    /// A step ran since the world was made or cleared.
    bool stepped_ = false;
    ContactSolver solver_;
    WorkerPool pool_{0};
    /// Splits the step's time between its stages.
    PhaseClock clock_;
    std::vector<TouchingPair> touching_;
    ContactStepStatistics statistics_;
};

} // namespace Tolvane::Physics
