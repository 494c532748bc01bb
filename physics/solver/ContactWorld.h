// The solver response's world: the front that runs its stages in order, each
// stage with what it keeps between steps (the bodies' list, the contact
// cache with its impulses, the solver's memory, the last step's figures).
#pragma once

#include "physics/body/CollisionSet.h"
#include "physics/body/PhysicalObject.h"
#include "physics/joint/JointList.h"
#include "physics/solver/BodyTable.h"
#include "physics/solver/ConstraintSolve.h"
#include "physics/solver/ContactBroadPhase.h"
#include "physics/solver/ContactCache.h"
#include "physics/solver/ContactSettings.h"
#include "physics/solver/ContactStepStatistics.h"
#include "physics/solver/Islands.h"
#include "physics/solver/JointLink.h"
#include "physics/solver/JointSolver.h"
#include "physics/solver/SolveBatches.h"
#include "physics/solver/StepFigures.h"
#include "physics/solver/ThreadSplit.h"
#include "physics/solver/WorkerPool.h"

#include <memory>
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
    ///
    /// A step that throws (std::bad_alloc when memory runs out) has moved no
    /// body: it leaves every body's pose, velocities and force as they were
    /// before it, forgets every contact and sleeping island, and makes every
    /// body awake and seen as moved by code, so that the next step starts
    /// afresh.
    void step(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt, const Math::Vector3& gravity,
              const ContactSettings& settings, bool clearingForces = false);

    /// Sets the force of every body of the sets to zero: on the pool's threads
    /// while the sets hold the bodies the last step listed.
    void clearForces(const std::vector<std::shared_ptr<CollisionSet>>& sets);

    /// Forgets every contact and sleeping island; the joints stay.
    void clear();

    /// The joints the steps solve with the contacts. Add and remove them
    /// between steps; a step drops the joints of bodies in no set.
    JointList& joints() { return joints_; }
    const JointList& joints() const { return joints_; }

    /// The threads the narrow phase and the solver run on (below 1: the
    /// machine's cores; at most WorkerPool::threadLimit()). Every result is
    /// the same for every number of threads, so the loops run on no more of
    /// them than the machine has cores. Starts no thread: the next step does.
    void setThreads(int threads) { pool_.setThreads(threads); }
    /// The number of threads asked for, as clamped.
    int threads() const { return pool_.askedThreads(); }
    /// Starts the threads now instead of in the next step, which then runs as
    /// fast as any other: for programs that time their steps.
    void startThreads() { pool_.wake(); }

    /// Finds the pairs in contact (pressing, or asleep on each other) after the
    /// last step, in pair order: only listeners need them, so only they pay.
    void gatherTouchingPairs();
    /// What gatherTouchingPairs found. The body pointers stay valid until the sets change.
    const std::vector<TouchingPair>& touchingPairs() const { return touching_; }
    const ContactStepStatistics& statistics() const { return figures_.statistics(); }
    /// The last step's pairs and their manifolds (world points and normals as
    /// the step found them at its start), for programs that draw contacts.
    const ContactCache& contacts() const { return contacts_; }

  private:
    /// The step's stages, in order.
    void runStages(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt,
                   const Math::Vector3& gravity, const ContactSettings& settings, bool clearingForces);
    /// After a step that threw: the forces put back, what the solver
    /// remembers of every body forgotten, and the contacts forgotten.
    void forgetFailedStep(const std::vector<std::shared_ptr<CollisionSet>>& sets);
    /// The solve of the awake bodies: groups and batches planned, the batches
    /// and free bodies run over the threads, and the bodies finished.
    /// weight is gravity's strength, up the direction against it.
    void solve(float dt, float weight, const Math::Vector3& up, const ContactSettings& settings,
               bool clearingForces);
    /// Drops the joints of bodies no longer in the sets, finds each joint's
    /// bodies in the table, lists the joined pairs that do not collide, and
    /// weighs each joint's load (weightPerSubstep: the speed gravity gives a
    /// body in one of the settings' substeps) for its substeps.
    void linkJoints(float weightPerSubstep);

    WorkerPool pool_{0};
    /// The broad phase's grids, the narrow phase's work, then the solver's
    /// bundles: they are never needed at once, so the step holds the
    /// largest, not all.
    StagePages stagePages_;
    BodyTable bodies_;
    ContactBroadPhase broadPhase_;
    ContactCache contacts_;
    Islands islands_;
    SolveBatches batches_;
    JointList joints_;
    /// Each joint's bodies in the table, and the joined pairs kept apart
    /// (lower place first, sorted), for this step.
    std::vector<JointLink> jointLinks_;
    std::vector<std::pair<std::int32_t, std::int32_t>> keptApart_;
    JointSolver jointSolver_{joints_, jointLinks_};
    ConstraintSolve solve_{bodies_, contacts_, batches_, islands_, jointSolver_, pool_};
    ThreadSplit threadSplit_;
    StepFigures figures_;
    /// A step ran since the world was made or cleared.
    bool stepped_ = false;
    std::vector<TouchingPair> touching_;
};

} // namespace Tolvane::Physics
