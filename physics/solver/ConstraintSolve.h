// The solver response's constraint solve: each batch's contacts handed to the
// contact solver and solved in substeps, the impulses kept for the next step,
// and the awake bodies started, moved and finished.
#pragma once

#include "math/Quaternion.h"
#include "physics/solver/BodyTable.h"
#include "physics/solver/ContactCache.h"
#include "physics/solver/ContactSettings.h"
#include "physics/solver/ContactSolver.h"
#include "physics/solver/ContactStepStatistics.h"
#include "physics/solver/Islands.h"
#include "physics/solver/JointSolver.h"
#include "physics/solver/SolveBatches.h"
#include "physics/solver/ThreadSplit.h"
#include "physics/solver/WorkerPool.h"

#include <cstdint>
#include <vector>

namespace Tolvane::Physics {

/// Keeps between steps: the contact solver's memory (its bundles and
/// scratch only grow). The awake bodies as the solver moves them, their
/// orientations and still times are the step's own; the impulses the solve
/// leaves go back into the contact cache.
class ConstraintSolve final : private ContactPointSource {
  public:
    /// Microseconds a batch took, and the part of them spent moving bodies.
    struct BatchTimes {
        double integration = 0.0;
        double total = 0.0;
    };

    /// The stages the solve reads and writes; they outlive it.
    ConstraintSolve(BodyTable& bodies, ContactCache& contacts, const SolveBatches& batches, Islands& islands,
                    JointSolver& joints, WorkerPool& pool)
        : bodies_(bodies), contacts_(contacts), batches_(batches), islands_(islands), joints_(joints),
          pool_(pool)
    {
    }

    /// Makes room for the step's constraints and awake bodies and lays the
    /// batches out in the contact solver, once the batches are planned. up
    /// is against gravity (contacts are coloured from the lowest up);
    /// clearingForces clears each body's force where its step finishes.
    void prepare(const ContactSettings& settings, float dt, float weight, const Math::Vector3& up,
                 bool clearingForces);

    /// One batch's whole step: its constraints filled from its pairs'
    /// manifolds and ordered, its bodies started, its contacts prepared, the
    /// substeps, restitution, the impulses kept for the next step, the
    /// bodies' new poses, and its islands put to sleep. The thread that
    /// starts a batch's bodies and prepares its contacts solves them, while
    /// they are in its cache; with parallel, each pass is spread over the
    /// threads.
    BatchTimes runBatch(std::int32_t batch, bool parallel);

    /// Moves the chunk-th run of bodiesPerTask free bodies (touching
    /// nothing) over the step; gives the microseconds it took.
    double moveFreeChunk(std::size_t chunk);

    /// After the batches: the islands of the free bodies fall asleep, the
    /// bodies no batch finished remember the step, and the sleeping bodies
    /// and touching pairs are counted into statistics.
    void finishBodies(ContactStepStatistics& statistics);

    const ContactSolver& solver() const { return solver_; }
    /// Keeps the solver's bundles in pages that other stages share.
    void sharePages(StagePages* pages) { solver_.sharePages(pages); }

  private:
    using BodyRange = SolveBatches::BodyRange;

    /// work(first, last) for runs of the solver bodies of range that cover
    /// it, spread over the threads with parallel.
    template <class RunWork> void forBodyRuns(BodyRange range, bool parallel, const RunWork& work);
    /// work(k) for every solver body k of range, spread over the threads with parallel.
    template <class Work> void forBodies(BodyRange range, bool parallel, const Work& work);
    /// forBodyRuns, giving the microseconds it took.
    template <class RunWork> double timed(BodyRange range, bool parallel, const RunWork& work);
    /// The batch's constraints from its pairs' manifolds.
    void fillConstraints(std::int32_t batch, bool parallel);
    void addConstraints(const PairContact& pair);
    /// The penetration a pair's contacts leave alone, by the load they bear.
    float allowedPenetrationOf(const PairContact& pair, std::int32_t batch) const;
    /// The points of the solver's constraint index, of batch group, read
    /// from its piece of the cache.
    void readPoints(std::size_t index, std::int32_t group, ContactPointInput* points) const override;
    /// What the solver left at the batch's points, kept for next step's warm start.
    void storeImpulses(std::size_t batch, bool parallel, float scale);
    void storeImpulses(std::size_t constraint, float scale);
    /// The batch's pairs pressed together once it is solved.
    int countPressed(std::int32_t batch) const;
    /// Body i's index among the solver's: an awake body's place, a moving
    /// kinematic body's kinematicSolverIndex, or noSolverBody.
    std::int32_t solverIndexOf(std::int32_t i) const;
    /// The moving kinematic bodies carried to their poses at the step's end.
    void moveKinematicBodies();
    void startBody(std::int32_t k);
    void pushBody(std::int32_t k, float h);
    void moveBody(std::int32_t k, float h);
    /// moveBody for the solver bodies first to last.
    void moveBodies(const std::int32_t* first, const std::int32_t* last, float h);
    /// The orientations of the eight solver bodies k[0..7] turned by their
    /// angular velocities over h.
    void turnOrientations(const std::int32_t* k, const Math::Vector3* angular, float h);
    void finishBody(std::int32_t k);
    /// Asks for the lines finishBody(k) will write, ahead of moving solver body k.
    void prefetchFinish(std::int32_t k) const;
    /// The end of the step for the solver bodies of range, which hold whole
    /// islands: the islands still long enough fall asleep, and each body
    /// remembers the step.
    void finishIslands(BodyRange range, bool parallel);
    void rememberBody(std::size_t i, bool sleeps)
    {
        bodies_.remember(i, sleeps, islands_.root(i), clearingForces_);
    }

    BodyTable& bodies_;
    ContactCache& contacts_;
    const SolveBatches& batches_;
    Islands& islands_;
    JointSolver& joints_;
    WorkerPool& pool_;

    ContactSolver solver_;
    /// The awake bodies as the solver moves them, in the solver's order, their
    /// orientations as the substeps turn them, and their still times after the step.
    std::vector<SolverBody> solverBodies_;
    std::vector<Math::Quaternion> orientations_;
    std::vector<float> stillTimes_;
    /// Each moving kinematic body's index among the solver's bodies (kept
    /// only for those; the others' entries are stale).
    std::vector<std::int32_t> kinematicIndex_;
    /// Each moving kinematic body's half turn over the step, in their order.
    std::vector<Math::Matrix3> kinematicTurns_;
    /// The step's settings: the world's friction and restitution and how
    /// bodies' own values combine.
    ContactSettings settings_;
    /// The manifold (a piece of the cache) of each of the solver's constraints.
    std::vector<std::int32_t> constraintPiece_;
    /// Each batch's pairs pressed together once it is solved.
    std::vector<int> batchTouching_;
    /// The settings' substeps and their length (a heavily loaded batch takes
    /// more, shorter ones), and the step's length.
    int substeps_ = 1;
    float allowedPenetration_ = 0.0f;
    /// The speed gravity gives a body in one of the settings' substeps.
    float weightPerSubstep_ = 0.0f;
    float h_ = 0.0f;
    float dt_ = 0.0f;
    /// Against gravity: contacts are coloured from the lowest up.
    Math::Vector3 up_;
    /// Whether each body's force is cleared where its step finishes.
    bool clearingForces_ = false;
};

} // namespace Tolvane::Physics
