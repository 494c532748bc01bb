// The solver response's step after the narrow phase: islands and waking, the
// awake bodies solved in groups that share no body (each group's whole step
// on one thread, or a big one spread over the threads), and the finish:
// poses back to the bodies, sleeping, and the pairs listeners hear of.
#include "physics/solver/ContactWorld.h"

#include "geometry/BodyHulls.h"
#include "math/Quaternion.h"
#include "physics/body/PhysicalModel.h"
#include "physics/solver/SolverConstants.h"
#include "physics/solver/WritePrefetch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

namespace Tolvane::Physics {

using Math::Matrix3;
using Math::Quaternion;
using Math::Vector3;

namespace {

using Clock = PhaseClock::Clock;

/// q turned by the rotation vector w h over a short time: q + ½ h (w, 0) q,
/// made unit length again.
Quaternion integrateOrientation(const Quaternion& q, const Vector3& w, float h)
{
    const float half = 0.5f * h;
    const Quaternion spin(0.0f, w.x * half, w.y * half, w.z * half);
    const Quaternion dq = spin * q;
    Quaternion r(q.w + dq.w, q.x + dq.x, q.y + dq.y, q.z + dq.z);
    const float length = std::sqrt(r.w * r.w + r.x * r.x + r.y * r.y + r.z * r.z);
    const float inverse = 1.0f / length;
    return {r.w * inverse, r.x * inverse, r.y * inverse, r.z * inverse};
}

} // namespace

void ContactWorld::solve(float dt, const ContactSettings& settings)
{
    // The awake bodies. They are solved in groups that share no body: bodies
    // joined by any contact with points (the islands join only those that
    // touch), numbered in the order of their first body.
    solverBodies_.clear();
    solverToBody_.clear();
    orientations_.clear();
    groupParent_.resize(bodies_.size());
    for (std::size_t i = 0; i < bodies_.size(); ++i)
        groupParent_[i] = static_cast<std::int32_t>(i);
    const auto root = [this](std::int32_t body) { return findRoot(groupParent_, body); };
    for (const PairContact& pair : contacts_.pairs()) {
        if (!bodies_.awake(pair.bodyA) || !bodies_.awake(pair.bodyB))
            continue;
        uniteRoots(groupParent_, pair.bodyA, pair.bodyB);
    }
    groupOfRoot_.assign(bodies_.size(), -1);
    std::int32_t groupCount = 0;
    solverIndexOf_.resize(bodies_.size());
    for (std::size_t i = 0; i < bodies_.size(); ++i) {
        if (!bodies_.awake(static_cast<std::int32_t>(i))) {
            solverIndexOf_[i] = noSolverBody;
            continue;
        }
        solverIndexOf_[i] = static_cast<std::int32_t>(solverToBody_.size());
        std::int32_t& group = groupOfRoot_[root(static_cast<std::int32_t>(i))];
        if (group < 0)
            group = groupCount++;
        solverToBody_.push_back(static_cast<std::int32_t>(i));
    }
    // The solver bodies themselves are started by the thread that solves them.
    solverBodies_.resize(solverToBody_.size());
    orientations_.resize(solverToBody_.size());
    stillTimes_.resize(solverToBody_.size());
    statistics_.awakeBodies = static_cast<int>(solverBodies_.size());

    // Islands are solved in batches of whole islands, so that small islands
    // fill the solver's four lanes together: an island alone may hold a single
    // contact. The batches follow the islands' order and nothing else, so the
    // results are the same for every number of threads. Islands without
    // contacts are no batch's: their bodies are only moved.
    const auto groupOf = [&](const PairContact& pair) {
        const bool solvedA = solverIndexOf_[pair.bodyA] != noSolverBody;
        return groupOfRoot_[root(solvedA ? pair.bodyA : pair.bodyB)];
    };
    // Each island's contacts, and the figures of every manifold.
    groupConstraints_.assign(static_cast<std::size_t>(groupCount), 0);
    std::int32_t constraintCount = 0;
    std::int32_t pointCount = 0;
    float deepest = 0.0f;
    for (PairContact& pair : contacts_.pairs()) {
        const bool solved =
            solverIndexOf_[pair.bodyA] != noSolverBody || solverIndexOf_[pair.bodyB] != noSolverBody;
        pair.island = solved ? groupOf(pair) : -1;
        statistics_.manifolds += pair.counts.manifolds;
        statistics_.contactPoints += pair.counts.points;
        deepest = std::min(deepest, pair.counts.deepest);
        if (!solved)
            continue;
        constraintCount += pair.counts.manifolds;
        pointCount += pair.counts.points;
        groupConstraints_[pair.island] += static_cast<std::size_t>(pair.counts.manifolds);
    }
    statistics_.deepestPairSeparation = deepest;
    batchOfGroup_.resize(static_cast<std::size_t>(groupCount));
    std::int32_t batchCount = 0;
    std::size_t filling = 0;
    for (std::int32_t g = 0; g < groupCount; ++g) {
        if (groupConstraints_[g] == 0) {
            batchOfGroup_[g] = -1;
            continue;
        }
        if (batchCount == 0 || filling >= batchConstraints) {
            ++batchCount;
            filling = 0;
        }
        batchOfGroup_[g] = batchCount - 1;
        filling += groupConstraints_[g];
    }

    // Each pair's place among the solver's constraints and their points: a
    // batch's together, batch after batch, in the pairs' order within each,
    // so that batches solved side by side share no cache line of them.
    // Pairs without contacts to solve have none.
    batchConstraintStart_.assign(static_cast<std::size_t>(batchCount) + 1, 0);
    batchPointStart_.assign(static_cast<std::size_t>(batchCount) + 1, 0);
    batchPairStart_.assign(static_cast<std::size_t>(batchCount) + 1, 0);
    const auto batchOf = [&](const PairContact& pair) {
        return pair.island < 0 ? -1 : batchOfGroup_[pair.island];
    };
    for (const PairContact& pair : contacts_.pairs()) {
        const std::int32_t batch = batchOf(pair);
        if (batch < 0)
            continue;
        batchConstraintStart_[batch + 1] += pair.counts.manifolds;
        batchPointStart_[batch + 1] += pair.counts.points;
        ++batchPairStart_[batch + 1];
    }
    for (std::int32_t b = 0; b < batchCount; ++b) {
        batchConstraintStart_[b + 1] += batchConstraintStart_[b];
        batchPointStart_[b + 1] += batchPointStart_[b];
        batchPairStart_[b + 1] += batchPairStart_[b];
    }
    // And each batch's pairs, in order, for the thread that fills its constraints.
    batchConstraintFill_.assign(batchConstraintStart_.begin(), batchConstraintStart_.end());
    batchPointFill_.assign(batchPointStart_.begin(), batchPointStart_.end());
    batchPairFill_.assign(batchPairStart_.begin(), batchPairStart_.end());
    batchPairs_.resize(static_cast<std::size_t>(batchPairStart_[batchCount]));
    for (std::size_t index = 0; index < contacts_.pairs().size(); ++index) {
        PairContact& pair = contacts_.pairs()[index];
        const std::int32_t batch = batchOf(pair);
        pair.firstConstraint = -1;
        if (batch < 0)
            continue;
        pair.firstConstraint = batchConstraintFill_[batch];
        pair.firstPoint = batchPointFill_[batch];
        batchConstraintFill_[batch] += pair.counts.manifolds;
        batchPointFill_[batch] += pair.counts.points;
        batchPairs_[batchPairFill_[batch]++] = static_cast<std::int32_t>(index);
    }

    // The solver's bodies numbered again, batch by batch, each batch's in body
    // order, and bodies touching nothing (a lattice in free fall) after them:
    // a batch's bodies then share no cache line with another batch's, which
    // another thread may be solving at the same time. Each body still sees
    // the same operations in the same order.
    groupBodyStart_.assign(static_cast<std::size_t>(batchCount) + 1, 0);
    std::int32_t freeCount = 0;
    for (std::size_t k = 0; k < solverToBody_.size(); ++k) {
        const std::int32_t batch = batchOfGroup_[groupOfRoot_[root(solverToBody_[k])]];
        if (batch < 0)
            ++freeCount;
        else
            ++groupBodyStart_[batch + 1];
    }
    for (std::int32_t b = 0; b < batchCount; ++b)
        groupBodyStart_[b + 1] += groupBodyStart_[b];
    groupFill_.assign(groupBodyStart_.begin(), groupBodyStart_.end());
    std::int32_t& freeFill = groupFill_.back();
    bodyOfSolverPlace_.resize(solverToBody_.size());
    for (std::size_t k = 0; k < solverToBody_.size(); ++k) {
        const std::int32_t body = solverToBody_[k];
        const std::int32_t batch = batchOfGroup_[groupOfRoot_[root(body)]];
        const std::int32_t place = batch < 0 ? freeFill++ : groupFill_[batch]++;
        bodyOfSolverPlace_[place] = body;
        solverIndexOf_[body] = place;
    }
    std::swap(solverToBody_, bodyOfSolverPlace_);
    groupBodies_.resize(solverBodies_.size());
    for (std::size_t k = 0; k < groupBodies_.size(); ++k)
        groupBodies_[k] = static_cast<std::int32_t>(k);
    freeBodies_.resize(static_cast<std::size_t>(freeCount));
    for (std::int32_t k = 0; k < freeCount; ++k)
        freeBodies_[k] = groupBodyStart_[batchCount] + k;

    // Room for the constraints; each batch's thread fills its own.
    solver_.setPool(&pool_);
    solver_.resize(static_cast<std::size_t>(constraintCount), static_cast<std::size_t>(pointCount));
    constraintPiece_.resize(static_cast<std::size_t>(constraintCount));

    const int substeps = std::max(1, settings.solverIterations);
    const float h = dt / static_cast<float>(substeps);
    const float hertz = std::min(contactHertz, maxContactHertzPerSubstepRate / h);
    ContactSolverSettings solverSettings;
    solverSettings.friction = settings.friction;
    solverSettings.restitution = settings.restitution;
    solverSettings.restitutionThreshold = settings.restitutionThreshold;
    solverSettings.allowedPenetration = settings.allowedPenetration;
    solverSettings.substep = h;
    solverSettings.softness = makeSoftness(hertz, contactDampingRatio, h);
    solverSettings.fixedSoftness = makeSoftness(fixedContactHertzFactor * hertz, contactDampingRatio, h);
    solver_.layOutGroups(solverSettings, solverBodies_.size(), batchConstraintStart_);
    islands_.startStillTimes(bodies_.size(), settings.sleeping);
    clock_.lap(statistics_.time.solver);

    // Batches share no body, so each runs its whole step on its own: small ones
    // side by side on the pool's threads, and a batch too big to share the
    // threads with others (a whole awake pile) alone, its passes spread over
    // the threads colour by colour. Either way every body sees the same
    // operations in the same order as on one thread.
    const std::size_t bigGroup = std::max<std::size_t>(
        bigGroupConstraints, solver_.constraintCount() / static_cast<std::size_t>(2 * pool_.threads()));
    smallGroups_.clear();
    groupIntegration_.assign(static_cast<std::size_t>(batchCount), 0.0);
    groupTotal_.assign(static_cast<std::size_t>(batchCount), 0.0);
    groupTouching_.assign(static_cast<std::size_t>(batchCount), 0);
    for (std::int32_t b = 0; b < batchCount; ++b) {
        const std::size_t constraints = solver_.groupConstraintCount(static_cast<std::size_t>(b));
        if (pool_.threads() > 1 && constraints > bigGroup)
            runGroup(b, substeps, h, dt, true);
        else
            smallGroups_.push_back(b);
    }
    // Bodies touching nothing (a lattice in free fall) are only moved, a
    // chunk at a time, handed out with the small groups in one loop: the
    // threads meet once, and the chunks fill their gaps at the end.
    const std::size_t freeChunks = (freeBodies_.size() + bodiesPerTask - 1) / bodiesPerTask;
    freeChunkTime_.assign(freeChunks, 0.0);
    // Chunks go to whichever thread is free, so on several threads a body's
    // lines were often last read or written by the other one: they are asked
    // for a few bodies ahead (see WritePrefetch.h).
    const bool shared = pool_.threads() > 1;
    const auto moveFreeBodies = [&](std::size_t chunk) {
        const Clock::time_point start = Clock::now();
        const std::size_t end = std::min(freeBodies_.size(), (chunk + 1) * bodiesPerTask);
        for (std::size_t k = chunk * bodiesPerTask; k < end; ++k) {
            if (shared && k + writeAheadBodies < end)
                prefetchFinish(freeBodies_[k + writeAheadBodies]);
            const std::int32_t body = freeBodies_[k];
            startBody(body);
            for (int substep = 0; substep < substeps; ++substep) {
                pushBody(body, h);
                moveBody(body, h);
            }
            finishBody(body, dt);
            if (!islands_.stillLongEnough(stillTimes_[body]))
                rememberBody(static_cast<std::size_t>(solverToBody_[body]), false);
        }
        freeChunkTime_[chunk] = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    };
    pool_.forEach(smallGroups_.size() + freeChunks, 1, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            if (k < smallGroups_.size())
                runGroup(smallGroups_[k], substeps, h, dt, false);
            else
                moveFreeBodies(k - smallGroups_.size());
        }
    });

    // The time of the groups and the free bodies, split between integration
    // and the solver as they spent it.
    double integration = 0.0;
    double total = 0.0;
    for (const double time : freeChunkTime_) {
        integration += time;
        total += time;
    }
    for (std::int32_t b = 0; b < batchCount; ++b) {
        integration += groupIntegration_[b];
        total += groupTotal_[b];
    }
    double groupsTime = 0.0;
    clock_.lap(groupsTime);
    const double integrationShare = total > 0.0 ? integration / total : 0.0;
    statistics_.time.integration += groupsTime * integrationShare;
    statistics_.time.solver += groupsTime * (1.0 - integrationShare);
}

// A pair's manifolds with points, as constraints of the batch its island is in.
void ContactWorld::addConstraints(const PairContact& pair)
{
    if (pair.firstConstraint < 0)
        return;
    const std::int32_t batch = batchOfGroup_[pair.island];
    auto constraint = static_cast<std::size_t>(pair.firstConstraint);
    auto point = static_cast<std::size_t>(pair.firstPoint);
    const std::int32_t a = solverIndexOf_[pair.bodyA];
    const std::int32_t b = solverIndexOf_[pair.bodyB];
    for (std::int32_t k = 0; k < pair.pieceCount; ++k) {
        const PieceContact& piece = contacts_.piece(static_cast<std::size_t>(pair.firstPiece + k));
        if (piece.pointCount == 0)
            continue;
        ContactPointInput inputs[Collision::maxManifoldPoints];
        for (int p = 0; p < piece.pointCount; ++p) {
            inputs[p].position = piece.points[p].point.position;
            inputs[p].separation = piece.points[p].point.separation;
            inputs[p].normalImpulse = piece.points[p].normalImpulse;
            inputs[p].tangentImpulse = piece.points[p].tangentImpulse;
        }
        float height = 0.0f;
        for (int p = 0; p < piece.pointCount; ++p)
            height += dot(inputs[p].position, up_);
        constraintPiece_[constraint] = pair.firstPiece + k;
        solver_.set(constraint++, point,
                    {a, b, piece.normal, inputs, piece.pointCount, batch,
                     height / static_cast<float>(piece.pointCount)});
        point += static_cast<std::size_t>(piece.pointCount);
    }
}

// What the solver left at a constraint's points, kept for next step's warm start.
void ContactWorld::storeImpulses(std::size_t constraint)
{
    PieceContact& piece = contacts_.piece(static_cast<std::size_t>(constraintPiece_[constraint]));
    for (int p = 0; p < piece.pointCount; ++p) {
        const ContactPointResult result = solver_.result(constraint, p);
        piece.points[p].normalImpulse = result.normalImpulse;
        piece.points[p].tangentImpulse = result.tangentImpulse;
    }
}

// An awake body's start of the step.
void ContactWorld::startBody(std::int32_t k)
{
    const StepBody& entry = bodies_[solverToBody_[k]];
    const PhysicalObject& body = *entry.object;
    SolverBody& solverBody = solverBodies_[k];
    solverBody = SolverBody();
    solverBody.centre = entry.centre;
    solverBody.linearVelocity = body.velocity;
    solverBody.angularVelocity = body.angularVelocity;
    solverBody.inverseMass = 1.0f / body.mass;
    const Matrix3 localInverse = entry.hulls ? entry.hulls->inverseInertiaPerMass : Matrix3::identity();
    solverBody.inverseInertia =
        entry.rotation * localInverse * Math::transpose(entry.rotation) * (1.0f / body.mass);
    orientations_[k] = body.transform.orientation;
}

// A substep's forces (gravity included) into an awake body's velocities.
void ContactWorld::pushBody(std::int32_t k, float h)
{
    SolverBody& body = solverBodies_[k];
    const PhysicalObject& object = *bodies_[solverToBody_[k]].object;
    body.linearVelocity += object.force * (h * body.inverseMass);
    if (!object.torque.isZero())
        body.angularVelocity += body.inverseInertia * (object.torque * h);
}

// A substep's motion of an awake body: symplectic Euler, the new velocities move it.
void ContactWorld::moveBody(std::int32_t k, float h)
{
    SolverBody& body = solverBodies_[k];
    body.deltaPosition += body.linearVelocity * h;
    body.deltaRotation += body.angularVelocity * h;
    orientations_[k] = integrateOrientation(orientations_[k], body.angularVelocity, h);
}

// One group's whole step: its bodies started, its contacts prepared, the
// substeps (gravity and forces, warm start, the pass that pushes out, the
// move, the relax pass), restitution, the impulses kept for the next step and
// the bodies' new poses. The thread that starts a group's bodies and prepares
// its contacts solves them, while they are in its cache.
void ContactWorld::runGroup(std::int32_t group, int substeps, float h, float dt, bool parallel)
{
    const Clock::time_point start = Clock::now();
    double integration = 0.0;
    const std::int32_t* first = groupBodies_.data() + groupBodyStart_[group];
    const std::int32_t* last = groupBodies_.data() + groupBodyStart_[group + 1];
    const auto forBodies = [&](auto work) {
        if (parallel)
            pool_.forEachEven(static_cast<std::size_t>(last - first), bodiesPerTask,
                              [&](std::size_t from, std::size_t to) {
                                  for (std::size_t k = from; k < to; ++k)
                                      work(first[k]);
                              });
        else
            for (const std::int32_t* k = first; k != last; ++k)
                work(*k);
    };
    const auto integrate = [&](auto move) {
        const Clock::time_point before = Clock::now();
        forBodies(move);
        integration += std::chrono::duration<double, std::micro>(Clock::now() - before).count();
    };
    const auto g = static_cast<std::size_t>(group);
    // The batch's constraints filled from its pairs' manifolds, and ordered.
    const std::int32_t* firstPair = batchPairs_.data() + batchPairStart_[group];
    const auto pairCount = static_cast<std::size_t>(batchPairStart_[group + 1] - batchPairStart_[group]);
    const auto fill = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k)
            addConstraints(contacts_.pairs()[firstPair[k]]);
    };
    if (parallel)
        pool_.forEachEven(pairCount, pairsPerTask, fill);
    else
        fill(0, pairCount);
    solver_.orderGroup(g);
    forBodies([&](std::int32_t k) { startBody(k); });
    solver_.prepareGroup(solverBodies_, g, parallel);
    const auto pushed = [&](std::int32_t k) { pushBody(k, h); };
    const auto moved = [&](std::int32_t k) { moveBody(k, h); };
    for (int substep = 0; substep < substeps; ++substep) {
        integrate(pushed);
        solver_.warmStart(solverBodies_, g, parallel);
        solver_.solve(solverBodies_, true, g, parallel);
        integrate(moved);
        solver_.solve(solverBodies_, false, g, parallel);
    }
    solver_.applyRestitution(solverBodies_, g, parallel);

    const ContactSolver::ConstraintList constraints = solver_.groupConstraints(g);
    const auto store = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k)
            storeImpulses(constraints.first[k]);
    };
    const auto constraintCount = static_cast<std::size_t>(constraints.last - constraints.first);
    if (parallel)
        pool_.forEachEven(constraintCount, bundlesPerTask, store);
    else
        store(0, constraintCount);
    integrate([&](std::int32_t k) { finishBody(static_cast<std::size_t>(k), dt); });
    groupIntegration_[g] = integration;
    int touching = 0;
    for (std::size_t k = 0; k < pairCount; ++k)
        touching += contacts_.pressed(contacts_.pairs()[firstPair[k]]) ? 1 : 0;
    groupTouching_[g] = touching;
    // The batch holds its islands whole (an island's bodies share contacts,
    // and so a group): they fall asleep here, while the bodies are in cache.
    finishIslands(first, last, parallel);
    groupTotal_[g] = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The lines of the body that finishBody(k) writes: its velocities, its pose
// and its still time.
void ContactWorld::prefetchFinish(std::int32_t k) const
{
    const PhysicalObject& body = *bodies_[solverToBody_[k]].object;
    prefetchForWrite(&body.velocity);
    prefetchForWrite(&body.transform.position);
    prefetchForWrite(&body.transform.dirty);
    prefetchForWrite(&body.solverMemory.stillTime);
}

// One awake body's pose and velocities back from the solver, and its still time.
void ContactWorld::finishBody(std::size_t k, float dt)
{
    const SolverBody& solved = solverBodies_[k];
    const StepBody& entry = bodies_[solverToBody_[k]];
    PhysicalObject& body = *entry.object;
    const Vector3 localCentre = entry.hulls ? entry.hulls->centreOfMass : Vector3();
    const Vector3 centre = entry.centre + solved.deltaPosition;
    body.transform.orientation = orientations_[k];
    body.transform.position =
        localCentre == Vector3() ? centre : centre - Math::toMatrix3(orientations_[k]) * localCentre;
    body.transform.dirty = true;
    body.velocity = solved.linearVelocity;
    body.angularVelocity = solved.angularVelocity;
    const bool still = body.velocity.squaredLength() < sleepLinearSpeed * sleepLinearSpeed &&
                       body.angularVelocity.squaredLength() < sleepAngularSpeed * sleepAngularSpeed;
    body.solverMemory.stillTime = still ? body.solverMemory.stillTime + dt : 0.0f;
    stillTimes_[k] = body.solverMemory.stillTime;
}

void ContactWorld::finishIslands(const std::int32_t* first, const std::int32_t* last, bool parallel)
{
    // An island sleeps once every one of its bodies has been still long enough;
    // its bodies stop, so that sleeping leaves nothing moving. The still times
    // are read from the solver's compact list, not from the bodies. Islands
    // share no body, so their least still times are found on one thread.
    if (islands_.sleeping())
        for (const std::int32_t* k = first; k != last; ++k)
            islands_.addStillTime(solverToBody_[*k], stillTimes_[*k]);
    const auto finish = [&](std::size_t from, std::size_t to) {
        for (std::size_t n = from; n < to; ++n) {
            const auto i = static_cast<std::size_t>(solverToBody_[first[n]]);
            rememberBody(i, islands_.fallsAsleep(i));
        }
    };
    const auto count = static_cast<std::size_t>(last - first);
    if (parallel)
        pool_.forEachEven(count, bodiesPerTask, finish);
    else
        finish(0, count);
}

void ContactWorld::finishBodies()
{
    // The groups finished their own bodies. Bodies touching nothing were only
    // moved, and those not still long enough to sleep finished as they moved:
    // the others' islands fall asleep here, as the groups' do.
    const std::int32_t grouped = groupBodyStart_.empty() ? 0 : groupBodyStart_.back();
    if (islands_.sleeping()) {
        const std::int32_t solved = static_cast<std::int32_t>(solverToBody_.size());
        for (std::int32_t k = grouped; k < solved; ++k)
            islands_.addStillTime(solverToBody_[k], stillTimes_[k]);
    }

    // Then every other body on the pool's threads, in the split that examines
    // them at the next step's start: the free bodies and those that did not
    // move (asleep, or fixed) remember the step.
    std::atomic<int> sleeping{0};
    const std::size_t count = bodies_.size();
    const auto finishedHere = [&](std::size_t i) {
        const std::int32_t k = solverIndexOf_[i];
        return k == noSolverBody || (k >= grouped && islands_.stillLongEnough(stillTimes_[k]));
    };
    // On several threads the lines of a body were last written by another
    // thread: they are asked for a few bodies ahead (see WritePrefetch.h).
    const bool shared = pool_.threads() > 1;
    pool_.forEachEven(count, bodiesPerTask, [&](std::size_t from, std::size_t to) {
        int sleepers = 0;
        for (std::size_t i = from; i < to; ++i) {
            if (shared && i + writeAheadBodies < to && finishedHere(i + writeAheadBodies))
                bodies_.prefetchRemembering(i + writeAheadBodies, clearingForces_);
            if (finishedHere(i))
                rememberBody(i, solverIndexOf_[i] != noSolverBody && islands_.fallsAsleep(i));
            sleepers += bodies_.asleep(static_cast<std::int32_t>(i)) ? 1 : 0;
        }
        sleeping += sleepers;
    });
    statistics_.sleepingBodies = sleeping;

    // The pairs pressed together: the batches counted theirs; the pairs of no
    // batch (at rest, or of bodies touching nothing) are counted here.
    int touching = 0;
    for (const int batchTouching : groupTouching_)
        touching += batchTouching;
    for (const PairContact& pair : contacts_.pairs())
        if (pair.firstConstraint < 0 && contacts_.pressed(pair))
            ++touching;
    statistics_.touchingPairs = touching;
}

} // namespace Tolvane::Physics
