// One step of the solver response, stage by stage:
//  1. the body table gathers the bodies of the sets, with their centres of
//     mass, world boxes swept over the step, and whether code moved them
//     since the last step (BodyTable);
//  2. the joints find their bodies in the table (a joint of a body no longer
//     in the sets goes); the broad phase finds the candidate pairs, with the
//     boxes of struck bodies grown, less the joined pairs that do not collide
//     (ContactBroadPhase);
//  3. the narrow phase collides the hulls of every pair with an awake body;
//     pairs asleep together keep last step's manifolds; each new manifold
//     point takes the impulses of last step's point with the same features
//     (ContactCache);
//  4. islands through the manifolds and the joints: an island with one awake
//     body wakes (Islands);
//  5. the awake bodies in groups and batches (SolveBatches), run over the
//     threads (ThreadSplit), each batch's joints and contacts solved in
//     substeps (ConstraintSolve, JointSolver);
//  6. positions, orientations and velocities back to the bodies, and islands
//     that stayed still long enough fall asleep (ConstraintSolve, Islands).
#include "physics/solver/ContactWorld.h"

#include "physics/solver/SolverConstants.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics {

using Math::Vector3;

void ContactWorld::clear()
{
    bodies_.clear();
    contacts_.clear();
    touching_.clear();
    figures_.clear();
    broadPhase_.clear();
    stepped_ = false;
}

// Where a step can run out of memory: listing the bodies, growing the
// stages' buffers to the scene, the narrow phase's scratch, the solve's
// plan, and starting the pool's threads, all before the first body moves.
// Until then the step changes only the bodies' forces (their weights) and
// what the solver remembers of them, which a failed step puts right.
void ContactWorld::step(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt,
                        const Vector3& gravity, const ContactSettings& settings, bool clearingForces)
{
    try {
        runStages(sets, dt, gravity, settings, clearingForces);
    } catch (...) {
        forgetFailedStep(sets);
        throw;
    }
}

void ContactWorld::forgetFailedStep(const std::vector<std::shared_ptr<CollisionSet>>& sets)
{
    bodies_.restoreForces();
    // The contacts may be half made, and sleeping islands kept no contacts:
    // every body looks moved by code, so the next step wakes it and finds
    // its contacts again.
    for (const auto& set : sets)
        for (const auto& handle : set->bodies) {
            SolverMemory& memory = handle->solverMemory;
            memory.asleep = false;
            memory.stillTime = 0.0f;
            memory.stepped = false;
            memory.island = 0;
        }
    clear();
}

void ContactWorld::runStages(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt,
                             const Vector3& gravity, const ContactSettings& settings, bool clearingForces)
{
    // The threads slept since the last step: woken now, they are up by the
    // first loop over the bodies.
    pool_.wake();
    broadPhase_.sharePages(&stagePages_);
    contacts_.sharePages(&stagePages_);
    solve_.sharePages(&stagePages_);
    const float weight = gravity.length();
    const Vector3 up = weight > 0.0f ? gravity * (-1.0f / weight) : Vector3();
    figures_.start();
    if (bodies_.gather(sets, dt, gravity, settings, stepped_, pool_)) {
        // Everything sleeps and nothing disturbed it: nothing moves, no pair
        // changes, and the last step's figures still hold.
        figures_.repeatLast();
        if (clearingForces)
            clearForces(sets);
        figures_.lap(&PhaseTimes::other);
        return;
    }
    linkJoints(weight * dt / static_cast<float>(std::max(1, settings.solverIterations)));
    figures_.lap(&PhaseTimes::other);
    broadPhase_.findCandidates(bodies_, dt, pool_);
    figures_.lap(&PhaseTimes::broadPhase);
    // Last step's pairs are sorted by key; this step's candidates are put in
    // the same order, so that one walk matches them.
    broadPhase_.sortCandidates(bodies_, pool_);
    if (!keptApart_.empty())
        broadPhase_.dropPairs(keptApart_);
    contacts_.update(bodies_, broadPhase_, dt, pool_, figures_.statistics());
    figures_.lap(&PhaseTimes::narrowPhase);
    islands_.wake(bodies_, contacts_.pairs(), jointLinks_);
    figures_.lap(&PhaseTimes::other);
    solve(dt, weight, up, settings, clearingForces);
    figures_.lap(&PhaseTimes::integration);
    stepped_ = true;
    figures_.finish();
}

void ContactWorld::solve(float dt, float weight, const Vector3& up, const ContactSettings& settings,
                         bool clearingForces)
{
    const float substep = dt / static_cast<float>(std::max(1, settings.solverIterations));
    batches_.setSunkDepth(std::max(sunkContactAllowances * settings.allowedPenetration, leastSunkDepth));
    batches_.plan(bodies_, contacts_.pairs(), jointLinks_, figures_.statistics(), weight * substep, pool_);
    solve_.prepare(settings, dt, weight, up, clearingForces);
    jointSolver_.start();
    islands_.startStillTimes(bodies_.size(), settings.sleeping);
    figures_.lap(&PhaseTimes::solver);
    threadSplit_.run(
        pool_, solve_.solver(), batches_.batchesByCost(), batches_.freeBodies().size(),
        [this](std::int32_t batch, bool parallel) { return solve_.runBatch(batch, parallel); },
        [this](std::size_t chunk) { return solve_.moveFreeChunk(chunk); });
    // The time of the batches and the free bodies, split between integration
    // and the solver as they spent it.
    figures_.splitSolveTime(threadSplit_.integrationShare());
    solve_.finishBodies(figures_.statistics());
}

namespace {

/// The impulse a joint carried along its bodies' anchors in one of the
/// settings' substeps.
float carriedImpulse(const Joint& joint)
{
    const float along = joint.impulses.spring + joint.impulses.lower - joint.impulses.upper;
    if (joint.type == JointType::Distance)
        return std::fabs(joint.impulses.linear.x + along);
    if (joint.type == JointType::Slider)
        return joint.impulses.linear.length() + std::fabs(joint.impulses.motor + along);
    return joint.impulses.linear.length();
}

/// One over the mass of the lighter of the joint's movable bodies.
float lighterInverseMass(const Joint& joint)
{
    const auto inverseMass = [](const std::shared_ptr<PhysicalObject>& body) {
        return body && !body->fixed && body->mass > 0.0f ? 1.0f / body->mass : 0.0f;
    };
    return std::max(inverseMass(joint.bodyA), inverseMass(joint.bodyB));
}

} // namespace

void ContactWorld::linkJoints(float weightPerSubstep)
{
    jointLinks_.clear();
    keptApart_.clear();
    if (joints_.empty())
        return;
    // A joint whose body left the sets goes with it: nothing holds a body
    // that is no longer simulated.
    joints_.keepIf([&](const Joint& joint) {
        return bodies_.indexOf(*joint.bodyA) >= 0 && (!joint.bodyB || bodies_.indexOf(*joint.bodyB) >= 0);
    });
    for (std::size_t k = 0; k < joints_.size(); ++k) {
        Joint& joint = joints_[k];
        JointLink link;
        link.bodyA = bodies_.indexOf(*joint.bodyA);
        link.bodyB = joint.bodyB ? bodies_.indexOf(*joint.bodyB) : -1;
        // The load in weights of the lighter body, as a contact's.
        const float load = weightPerSubstep > 0.0f
                               ? carriedImpulse(joint) * lighterInverseMass(joint) / weightPerSubstep
                               : 0.0f;
        joint.substepScale = SolveBatches::jointSubstepScale(load, joint.substepScale);
        link.substepScale = joint.substepScale;
        jointLinks_.push_back(link);
        if (!joint.collide && link.bodyB >= 0)
            keptApart_.emplace_back(std::min(link.bodyA, link.bodyB), std::max(link.bodyA, link.bodyB));
    }
    std::sort(keptApart_.begin(), keptApart_.end());
}

void ContactWorld::clearForces(const std::vector<std::shared_ptr<CollisionSet>>& sets)
{
    // The bodies split as they are examined at the step's start, so that each
    // thread finds its bodies in its own cache.
    if (stepped_ && bodies_.sameSets(sets)) {
        pool_.forEachEven(bodies_.size(), bodiesPerTask, [&](std::size_t from, std::size_t to) {
            for (std::size_t k = from; k < to; ++k)
                bodies_[k].object->force = Vector3();
        });
        return;
    }
    for (const auto& set : sets)
        for (const auto& handle : set->bodies)
            handle->force = Vector3();
}

void ContactWorld::gatherTouchingPairs()
{
    contacts_.gatherTouchingPairs(bodies_, touching_);
}

} // namespace Tolvane::Physics
