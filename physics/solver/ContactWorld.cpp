// One step of the solver response, stage by stage:
//  1. gather the bodies of the sets, with their centres of mass, world boxes
//     swept over the step, and whether code moved them since the last step;
//  2. broad phase over the boxes, then the hull narrow phase for every pair
//     with an awake body; pairs asleep together keep last step's manifolds;
//     each new manifold point takes the impulses of last step's point with the
//     same features (warm starting);
//  3. islands through the manifolds: an island with one awake body wakes;
//  4. the substepped soft solve of every awake island's contacts;
//  5. positions, orientations and velocities back to the bodies, and islands
//     that stayed still long enough fall asleep.
// This file holds the step and stages 1 and 2; ContactWorldSolve.cpp the rest.
#include "physics/solver/ContactWorld.h"

#include "geometry/BodyHulls.h"
#include "math/Quaternion.h"
#include "physics/body/PhysicalModel.h"
#include "physics/solver/SolverConstants.h"
#include "physics/solver/WritePrefetch.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace Tolvane::Physics {

using Math::Matrix3;
using Math::Quaternion;
using Math::Vector3;

namespace {

/// |R| e: the half size along the world axes of a box of half size e turned by R.
Vector3 turnedHalfSize(const Matrix3& r, const Vector3& e)
{
    Vector3 result;
    for (int row = 0; row < 3; ++row) {
        const float value =
            std::fabs(r(row, 0)) * e.x + std::fabs(r(row, 1)) * e.y + std::fabs(r(row, 2)) * e.z;
        (row == 0 ? result.x : row == 1 ? result.y : result.z) = value;
    }
    return result;
}

Vector3 componentMin(const Vector3& a, const Vector3& b)
{
    return {std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z)};
}

Vector3 componentMax(const Vector3& a, const Vector3& b)
{
    return {std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z)};
}

/// The velocity a body will have after this step's forces, which is the one
/// the step moves it with.
Vector3 predictedVelocity(const PhysicalObject& body, float dt)
{
    return body.velocity + body.force * (dt / body.mass);
}

std::int32_t countHulls(const Collision::BodyHulls* hulls)
{
    return hulls ? static_cast<std::int32_t>(hulls->hulls.size()) : 0;
}

bool sameState(const SolverMemory& memory, const PhysicalObject& body)
{
    const Quaternion& q = body.transform.orientation;
    return memory.stepped && memory.position == body.transform.position && memory.orientation == q &&
           memory.velocity == body.velocity && memory.angularVelocity == body.angularVelocity &&
           memory.fixed == body.fixed && memory.model == body.model.get();
}

} // namespace

void ContactWorld::clear()
{
    bodies_.clear();
    hullCounts_.clear();
    pairs_.clear();
    pieces_ = ScratchArray<PieceContact>();
    touching_.clear();
    statistics_ = ContactStepStatistics();
    broadPhase_ = GridBroadPhase();
    lastIds_.clear();
    listedHandles_.clear();
    listedModels_.clear();
    stepped_ = false;
}

void ContactWorld::step(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt,
                        const Vector3& gravity, const ContactSettings& settings, bool clearingForces)
{
    // The threads slept since the last step: woken now, they are up by the
    // first loop over the bodies.
    pool_.wake();
    statistics_ = ContactStepStatistics();
    const float weight = gravity.length();
    up_ = weight > 0.0f ? gravity * (-1.0f / weight) : Vector3();
    clock_.restart();
    PhaseTimes& time = statistics_.time;
    if (gatherBodies(sets, dt, gravity, settings)) {
        // Everything sleeps and nothing disturbed it: nothing moves, no pair
        // changes, and the last step's figures still hold.
        statistics_ = lastStatistics_;
        statistics_.time = PhaseTimes();
        statistics_.awakeBodies = 0;
        statistics_.testedPairs = 0;
        if (clearingForces)
            clearForces(sets);
        clock_.lap(time.other);
        return;
    }
    clock_.lap(time.other);
    findContacts(dt);
    wakeIslands();
    clock_.lap(time.other);
    clearingForces_ = clearingForces;
    sleeping_ = settings.sleeping;
    solve(dt, settings);
    finishBodies();
    clock_.lap(time.integration);
    stepped_ = true;
    lastStatistics_ = statistics_;
}

void ContactWorld::clearForces(const std::vector<std::shared_ptr<CollisionSet>>& sets)
{
    // The bodies split as they are examined at the step's start, so that each
    // thread finds its bodies in its own cache.
    if (stepped_ && sameSets(sets)) {
        pool_.forEachEven(bodies_.size(), bodiesPerTask, [&](std::size_t from, std::size_t to) {
            for (std::size_t k = from; k < to; ++k)
                bodies_[k].object->force = Vector3();
        });
        return;
    }
    for (const auto& set : sets)
        for (const auto& body : set->bodies)
            body->force = Vector3();
}

bool ContactWorld::sameSets(const std::vector<std::shared_ptr<CollisionSet>>& sets) const
{
    std::size_t n = 0;
    for (const auto& set : sets)
        for (const auto& handle : set->bodies) {
            if (n == listedHandles_.size() || listedHandles_[n].first != &handle ||
                listedHandles_[n].second != handle.get())
                return false;
            ++n;
        }
    return n == listedHandles_.size();
}

// The bodies in the sets' order, each once: a body in several sets is
// stepped once. Models build their hulls on first use, so they are asked
// here, on one thread.
void ContactWorld::listBodies(const std::vector<std::shared_ptr<CollisionSet>>& sets)
{
    bodies_.clear();
    hullCounts_.clear();
    listedHandles_.clear();
    listedModels_.clear();
    ++gatherStamp_;
    for (const auto& set : sets) {
        for (const auto& handle : set->bodies) {
            listedHandles_.emplace_back(&handle, handle.get());
            PhysicalObject& body = *handle;
            if (body.solverMemory.gatherStamp == gatherStamp_) {
                ++bodies_[body.solverMemory.listIndex].places;
                continue;
            }
            body.solverMemory.gatherStamp = gatherStamp_;
            body.solverMemory.listIndex = static_cast<std::int32_t>(bodies_.size());
            StepBody entry;
            entry.object = &body;
            entry.handle = &handle;
            entry.model = body.model.get();
            entry.hulls = body.model ? &body.model->hulls() : nullptr;
            if (body.model && (listedModels_.empty() || listedModels_.back() != body.model))
                listedModels_.push_back(body.model);
            bodies_.push_back(entry);
            hullCounts_.push_back(countHulls(entry.hulls));
        }
    }
}

bool ContactWorld::gatherBodies(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt,
                                const Vector3& gravity, const ContactSettings& settings)
{
    // Listing the bodies reads every body on one thread; while the sets stay
    // the same the list stands: what an entry holds of the step is written
    // afresh when its body is placed.
    const bool listed = stepped_ && sameSets(sets);
    if (!listed)
        listBodies(sets);
    const std::size_t count = bodies_.size();
    const bool sameBodies = settings.sleeping && stepped_ && count == lastIds_.size();
    bodyFlags_.resize(count);
    bodyMovedIsland_.resize(count);
    motion_.resize(count);
    lastIds_.resize(count);
    boxes_.resize(count);
    velocities_.resize(count);
    placedStill_.resize(count);
    // Each body is examined and placed in one go, so that its lines are read
    // once. On several threads the lines each body writes were read by
    // another thread since: they are asked for ahead (see WritePrefetch.h).
    const bool shared = pool_.threads() > 1;
    pool_.forEachEven(count, bodiesPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            if (shared && k + writeAheadBodies < to) {
                prefetchExamination(k + writeAheadBodies);
                prefetchPlacement(k + writeAheadBodies);
            }
            StepBody& entry = bodies_[k];
            PhysicalObject& body = *entry.object;
            for (std::int32_t place = 0; place < entry.places; ++place)
                body.force += gravity * body.mass;
            examineBody(k, gravity, settings, sameBodies);
            if (bodyFlags_[k] & remodelled) {
                entry.model = body.model.get();
                entry.hulls = body.model ? &body.model->hulls() : nullptr;
                hullCounts_[k] = countHulls(entry.hulls);
            }
            placeIfStirred(k, listed, dt);
        }
    });

    // The same bodies in the same order as last step, none awake or disturbed:
    // the step has nothing to do.
    bool quiet = sameBodies;
    bool fixedBodyMoved = false;
    movedIslands_.clear();
    for (std::size_t k = 0; k < count; ++k) {
        if ((bodyFlags_[k] & remodelled) && bodies_[k].object->model)
            listedModels_.push_back(bodies_[k].object->model);
        quiet = quiet && (bodyFlags_[k] & stirred) == 0;
        fixedBodyMoved = fixedBodyMoved || (bodyFlags_[k] & fixedMoved) != 0;
        if (bodyMovedIsland_[k] != 0)
            movedIslands_.push_back(bodyMovedIsland_[k]);
    }
    // Models swapped every step would pile up here: listing again lets go of them.
    if (listedModels_.size() > 2 * count + 16)
        listedHandles_.clear();
    if (quiet)
        return true;

    // A body moved by code wakes the island it slept in, also the bodies it was
    // taken away from. A fixed body moved by code may have moved into or away
    // from sleeping bodies: everything wakes and looks again. The bodies woken
    // are placed again, now moving; it happens only when code moved a body.
    if (!fixedBodyMoved && movedIslands_.empty())
        return false;
    std::sort(movedIslands_.begin(), movedIslands_.end());
    pool_.forEachEven(count, bodiesPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            SolverMemory& memory = bodies_[k].object->solverMemory;
            if (!memory.asleep || !(fixedBodyMoved || std::binary_search(movedIslands_.begin(),
                                                                         movedIslands_.end(), memory.island)))
                continue;
            motion_[k] = movableBit;
            memory.asleep = false;
            memory.stillTime = 0.0f;
            placeIfStirred(k, listed, dt);
        }
    });
    return false;
}

// Places body k unless it was placed still, still sleeps or is fixed, and
// nothing changed it since: its pose and box then stand.
void ContactWorld::placeIfStirred(std::size_t k, bool listed, float dt)
{
    if (listed && placedStill_[k] && !awake(static_cast<std::int32_t>(k)) &&
        (bodyFlags_[k] & (changed | remodelled)) == 0)
        return;
    lastIds_[k] = bodies_[k].object->id;
    placeBody(k, dt);
}

// Whether code moved, pushed or changed one body since the last step, or a
// force of its own (beyond gravity) or a torque pushes it: such a body is
// awake. Marks what the step as a whole must know of it in bodyFlags_ and
// bodyMovedIsland_.
void ContactWorld::examineBody(std::size_t k, const Vector3& gravity, const ContactSettings& settings,
                               bool sameBodies)
{
    StepBody& entry = bodies_[k];
    PhysicalObject& body = *entry.object;
    SolverMemory& memory = body.solverMemory;
    const bool movable = !body.fixed;
    const bool disturbed =
        !sameState(memory, body) || (movable && (body.force != gravity * body.mass || !body.torque.isZero()));
    std::uint8_t flags = entry.model != body.model.get() ? remodelled : 0;
    bodyMovedIsland_[k] = 0;
    if (disturbed) {
        flags |= changed;
        if (!movable && memory.stepped)
            flags |= fixedMoved;
        if (memory.asleep && memory.island != 0)
            bodyMovedIsland_[k] = memory.island;
        memory.asleep = false;
        memory.stillTime = 0.0f;
    }
    if (!settings.sleeping || !movable)
        memory.asleep = false;
    motion_[k] = static_cast<std::uint8_t>((movable ? movableBit : 0) | (memory.asleep ? asleepBit : 0));
    const bool still = sameBodies && lastIds_[k] == body.id && !disturbed && (!movable || memory.asleep);
    if (!still)
        flags |= stirred;
    bodyFlags_[k] = flags;
}

// The lines examining body k writes: its force, which shares a line with the
// velocity an application reads between steps, and what the solver remembers.
void ContactWorld::prefetchExamination(std::size_t k) const
{
    const PhysicalObject& body = *bodies_[k].object;
    prefetchForWrite(&body.force);
    prefetchForWrite(&body.solverMemory);
}

// The lines placing body k writes: the narrow phase, the solver and the grid
// read them on every thread since they were last written.
void ContactWorld::prefetchPlacement(std::size_t k) const
{
    prefetchObjectForWrite(&bodies_[k], sizeof(StepBody));
    prefetchForWrite(&boxes_[k]);
    prefetchForWrite(&velocities_[k]);
}

// One body's pose for this step and its box over the hulls, swept along the
// step's motion and grown by the speculative distance.
void ContactWorld::placeBody(std::size_t k, float dt)
{
    StepBody& entry = bodies_[k];
    const PhysicalObject& body = *entry.object;
    entry.rotation = Math::toMatrix3(body.transform.orientation);
    const Vector3 localCentre = entry.hulls ? entry.hulls->centreOfMass : Vector3();
    entry.centre = localCentre == Vector3() ? body.transform.position
                                            : body.transform.position + entry.rotation * localCentre;

    WorldBox box;
    if (entry.hulls && !entry.hulls->hulls.empty()) {
        const Vector3 localMiddle = (entry.hulls->boxMin + entry.hulls->boxMax) * 0.5f;
        const Vector3 half =
            turnedHalfSize(entry.rotation, (entry.hulls->boxMax - entry.hulls->boxMin) * 0.5f);
        const Vector3 middle = body.transform.position + entry.rotation * localMiddle;
        box = {middle - half, middle + half};
        entry.radius = entry.hulls->radius;
    } else {
        // Nothing to collide with: an empty box far from everything.
        const float nowhere = std::numeric_limits<float>::quiet_NaN();
        box = {{nowhere, nowhere, nowhere}, {nowhere, nowhere, nowhere}};
        entry.radius = 0.0f;
    }
    float grow = speculativeDistance;
    velocities_[k] = Vector3();
    const bool moving = awake(static_cast<std::int32_t>(k));
    if (moving) {
        velocities_[k] = predictedVelocity(body, dt);
        const Vector3 motion = velocities_[k] * dt;
        box.min += Vector3(std::min(motion.x, 0.0f), std::min(motion.y, 0.0f), std::min(motion.z, 0.0f));
        box.max += Vector3(std::max(motion.x, 0.0f), std::max(motion.y, 0.0f), std::max(motion.z, 0.0f));
        grow += body.angularVelocity.length() * entry.radius * dt;
    }
    const Vector3 margin(grow, grow, grow);
    box.min -= margin;
    box.max += margin;
    entry.box = box;
    boxes_[k] = box;
    placedStill_[k] = !moving;
}

void ContactWorld::findContacts(float dt)
{
    // Pairs with no awake body are not looked for: pairs asleep together, or
    // asleep on a fixed body, are carried over from last step below.
    const auto wanted = [this](std::int32_t i, std::int32_t j) {
        return (awake(i) || awake(j)) && hullCounts_[i] != 0 && hullCounts_[j] != 0;
    };
    broadPhase_.setPool(&pool_);
    queries_.resize(bodies_.size());
    for (std::size_t i = 0; i < bodies_.size(); ++i)
        queries_[i] = awake(static_cast<std::int32_t>(i));
    broadPhase_.findPairs(boxes_, queries_, wanted, candidates_);
    clock_.lap(statistics_.time.broadPhase);

    // A body struck in this step changes its velocity by up to the speed it
    // is struck with, in the direction it is struck, and may be driven into a
    // third body that its own motion would never reach: a block hit from above
    // while it rests on another. Such bodies get their boxes grown by that
    // change, towards where the strike pushes them, and their margins by its
    // size, and the pairs are found again with the grown boxes. Changes the
    // speculative distance already covers (a resting body's one step of
    // gravity) grow nothing.
    strikes_.assign(bodies_.size(), Strike());
    for (const auto& [i, j] : candidates_) {
        const Vector3 change = velocities_[j] - velocities_[i];
        const float size = change.length();
        Strike& onI = strikes_[i];
        Strike& onJ = strikes_[j];
        onI.jolt = std::max(onI.jolt, size);
        onJ.jolt = std::max(onJ.jolt, size);
        // i is pushed along -change (towards j's motion relative to it), j along +change.
        onI.pushLow = componentMin(onI.pushLow, -change);
        onI.pushHigh = componentMax(onI.pushHigh, -change);
        onJ.pushLow = componentMin(onJ.pushLow, change);
        onJ.pushHigh = componentMax(onJ.pushHigh, change);
    }
    // Only the grown boxes look again, for the pairs their growth added: a
    // pair whose boxes met before growing was found above.
    bool grown = false;
    grownQueries_.assign(bodies_.size(), 0);
    for (std::size_t i = 0; i < bodies_.size(); ++i) {
        const Strike& strike = strikes_[i];
        if (!movable(static_cast<std::int32_t>(i)) || strike.jolt * dt <= 0.5f * speculativeDistance)
            continue;
        boxes_[i].min += strike.pushLow * dt;
        boxes_[i].max += strike.pushHigh * dt;
        // The grown box is for this step only: the body is placed afresh.
        placedStill_[i] = 0;
        grownQueries_[i] = 1;
        grown = true;
    }
    if (grown) {
        const auto added = [&](std::int32_t i, std::int32_t j) {
            return wanted(i, j) && !boxesOverlap(bodies_[i].box, bodies_[j].box);
        };
        // Grown boxes against the others, in the grid as it is; grown boxes
        // against each other in a grid of their own.
        broadPhase_.findPairsOfGrown(boxes_, grownQueries_, added, addedCandidates_);
        grownBodies_.clear();
        grownBoxes_.clear();
        for (std::size_t i = 0; i < bodies_.size(); ++i)
            if (grownQueries_[i]) {
                grownBodies_.push_back(static_cast<std::int32_t>(i));
                grownBoxes_.push_back(boxes_[i]);
            }
        everyGrown_.assign(grownBodies_.size(), 1);
        grownGrid_.setPool(&pool_);
        candidates_.insert(candidates_.end(), addedCandidates_.begin(), addedCandidates_.end());
        grownGrid_.findPairs(
            grownBoxes_, everyGrown_,
            [&](std::int32_t a, std::int32_t b) { return added(grownBodies_[a], grownBodies_[b]); },
            addedCandidates_);
        for (const auto& [a, b] : addedCandidates_)
            candidates_.emplace_back(grownBodies_[a], grownBodies_[b]);
    }
    clock_.lap(statistics_.time.broadPhase);

    // Last step's pairs are sorted by key; this step's candidates are put in
    // the same order, so that one walk matches them.
    sortCandidates();

    // One walk lists the work in key order: last step's pairs at rest to keep,
    // and this step's candidates, each with room for its hull pairs' manifolds.
    work_.clear();
    std::size_t previous = 0;
    std::int32_t slots = 0;
    const auto keep = [&](std::size_t index) {
        PairWork item;
        item.carried = static_cast<std::int32_t>(index);
        item.firstSlot = slots;
        slots += pairs_[index].pieceCount;
        work_.push_back(item);
    };
    for (const KeyedCandidate& candidate : candidateOrder_) {
        const std::uint64_t key = candidate.key;
        while (previous < pairs_.size() && pairs_[previous].key < key)
            keep(previous++);
        PairWork item;
        item.i = candidate.i;
        item.j = candidate.j;
        item.key = key;
        if (previous < pairs_.size() && pairs_[previous].key == key)
            item.last = static_cast<std::int32_t>(previous++);
        item.firstSlot = slots;
        slots += hullCounts_[item.i] * hullCounts_[item.j];
        work_.push_back(item);
    }
    while (previous < pairs_.size())
        keep(previous++);

    // The candidates' manifolds, each pair on its own, and the kept pairs'
    // manifolds copied over: on the pool's threads.
    // A pair writes every slot it uses: growing keeps nothing and clears nothing.
    slots_.makeRoom(static_cast<std::size_t>(slots));
    pool_.forEach(work_.size(), pairsPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            if (work_[k].carried < 0)
                collidePair(work_[k], dt);
            else
                carryIfResting(work_[k]);
        }
    });

    // Then, in key order, the pairs with manifolds become this step's pairs;
    // their manifolds stay in their slots.
    nextPairs_.clear();
    for (const PairWork& item : work_) {
        if (item.carried < 0)
            ++statistics_.testedPairs;
        if (item.pieceCount == 0)
            continue;
        PairContact pair;
        if (item.carried >= 0) {
            pair = pairs_[item.carried];
        } else {
            pair.key = item.key;
            pair.bodyA = item.i;
            pair.bodyB = item.j;
            pair.linked = item.linked;
            pair.counts = item.counts;
        }
        pair.firstPiece = item.firstSlot;
        pair.pieceCount = item.pieceCount;
        nextPairs_.push_back(pair);
    }
    std::swap(pairs_, nextPairs_);
    std::swap(pieces_, slots_);
    clock_.lap(statistics_.time.narrowPhase);
}

// The order is total, so it is the same however the work is split: the two
// halves are sorted side by side and then merged.
void ContactWorld::sortCandidates()
{
    const std::size_t count = candidates_.size();
    candidateOrder_.resize(count);
    unmergedOrder_.resize(count);
    const std::size_t half = count / 2;
    const auto sortHalf = [&](std::size_t from, std::size_t to) {
        for (std::size_t part = from; part < to; ++part) {
            const std::size_t first = part == 0 ? 0 : half;
            const std::size_t last = part == 0 ? half : count;
            for (std::size_t c = first; c < last; ++c)
                unmergedOrder_[c] = {pairKey(candidates_[c].first, candidates_[c].second),
                                     candidates_[c].first, candidates_[c].second};
            std::sort(unmergedOrder_.begin() + static_cast<std::ptrdiff_t>(first),
                      unmergedOrder_.begin() + static_cast<std::ptrdiff_t>(last));
        }
    };
    if (count >= sortedCandidatesPerTask)
        pool_.forEachEven(2, 1, sortHalf);
    else
        sortHalf(0, 2);
    std::merge(unmergedOrder_.begin(), unmergedOrder_.begin() + static_cast<std::ptrdiff_t>(half),
               unmergedOrder_.begin() + static_cast<std::ptrdiff_t>(half), unmergedOrder_.end(),
               candidateOrder_.begin());
}

std::uint64_t ContactWorld::pairKey(std::int32_t i, std::int32_t j) const
{
    // The ids from the compact list placing wrote, not from the bodies themselves.
    return (static_cast<std::uint64_t>(lastIds_[i]) << 32) | lastIds_[j];
}

// Asleep together, or asleep on a fixed body: nothing moved, so last step's
// manifolds still hold. The pair's bodies are found at last step's places;
// when the sets changed since, the pair is dropped, and found again if it is
// needed once its bodies wake.
void ContactWorld::carryIfResting(PairWork& work)
{
    const PairContact& last = pairs_[work.carried];
    work.pieceCount = 0;
    const auto count = static_cast<std::int32_t>(bodies_.size());
    if (last.bodyA >= count || last.bodyB >= count || pairKey(last.bodyA, last.bodyB) != last.key)
        return;
    if (awake(last.bodyA) || awake(last.bodyB))
        return;
    std::copy(pieces_.data() + last.firstPiece, pieces_.data() + last.firstPiece + last.pieceCount,
              slots_.data() + work.firstSlot);
    work.pieceCount = last.pieceCount;
}

// Reads the bodies and last step's pairs, writes only its own work item and
// slots: pairs can be collided side by side.
void ContactWorld::collidePair(PairWork& work, float dt)
{
    const StepBody& a = bodies_[work.i];
    const StepBody& b = bodies_[work.j];
    const PairContact* last = work.last >= 0 ? &pairs_[work.last] : nullptr;
    const PhysicalObject& bodyA = *a.object;
    const PhysicalObject& bodyB = *b.object;
    const bool awakeA = awake(work.i);
    const bool awakeB = awake(work.j);

    // Room for whatever the two bodies' motion can close in the step, so that
    // fast bodies meet their contacts before they pass through each other.
    const float spinA = awakeA ? bodyA.angularVelocity.length() * a.radius : 0.0f;
    const float spinB = awakeB ? bodyB.angularVelocity.length() * b.radius : 0.0f;
    const float jolts =
        (movable(work.i) ? strikes_[work.i].jolt : 0.0f) + (movable(work.j) ? strikes_[work.j].jolt : 0.0f);
    const float margin = speculativeDistance +
                         ((velocities_[work.j] - velocities_[work.i]).length() + spinA + spinB + jolts) * dt;

    const Collision::HullPose poseA{bodyA.transform.position, a.rotation};
    const Collision::HullPose poseB{bodyB.transform.position, b.rotation};
    const auto& hullsA = a.hulls->hulls;
    const auto& hullsB = b.hulls->hulls;

    PieceContact* const out = slots_.data() + work.firstSlot;
    work.pieceCount = 0;
    for (std::size_t pa = 0; pa < hullsA.size(); ++pa) {
        for (std::size_t pb = 0; pb < hullsB.size(); ++pb) {
            const Collision::ConvexHull& hullA = hullsA[pa];
            const Collision::ConvexHull& hullB = hullsB[pb];
            const Vector3 sphereA = poseA.position + a.rotation * hullA.sphereCentre;
            const Vector3 sphereB = poseB.position + b.rotation * hullB.sphereCentre;
            const float reach = hullA.sphereRadius + hullB.sphereRadius + margin;
            if ((sphereB - sphereA).squaredLength() > reach * reach)
                continue;

            const PieceContact* lastPiece = nullptr;
            if (last)
                for (std::int32_t k = 0; k < last->pieceCount; ++k) {
                    const PieceContact& candidate = pieces_[last->firstPiece + k];
                    if (candidate.pieceA == static_cast<std::int32_t>(pa) &&
                        candidate.pieceB == static_cast<std::int32_t>(pb))
                        lastPiece = &candidate;
                }

            PieceContact piece;
            piece.pieceA = static_cast<std::int32_t>(pa);
            piece.pieceB = static_cast<std::int32_t>(pb);
            if (lastPiece)
                piece.axis = lastPiece->axis;
            Collision::ContactManifold manifold;
            Collision::collideHulls(hullA, poseA, hullB, poseB, margin, piece.axis, manifold);
            piece.normal = manifold.normal;
            piece.pointCount = manifold.pointCount;
            for (int k = 0; k < manifold.pointCount; ++k) {
                PointState& state = piece.points[k];
                state.point = manifold.points[k];
                if (!lastPiece)
                    continue;
                for (int l = 0; l < lastPiece->pointCount; ++l)
                    if (lastPiece->points[l].point.key == state.point.key) {
                        state.normalImpulse = lastPiece->points[l].normalImpulse;
                        state.tangentImpulse = lastPiece->points[l].tangentImpulse;
                    }
            }
            // Kept even without points: its separating axis makes next step's test quick.
            out[work.pieceCount++] = piece;
        }
    }
    // The bodies' own velocities, not the ones gravity would give them: two
    // resting bodies close on each other only as fast as they really move.
    const float linkDistance =
        speculativeDistance +
        ((awakeB ? bodyB.velocity : Vector3()) - (awakeA ? bodyA.velocity : Vector3())).length() * dt;
    work.linked = false;
    work.counts = ManifoldCounts();
    for (std::int32_t k = 0; k < work.pieceCount; ++k) {
        if (out[k].pointCount == 0)
            continue;
        ++work.counts.manifolds;
        work.counts.points += out[k].pointCount;
        for (int p = 0; p < out[k].pointCount; ++p) {
            const float separation = out[k].points[p].point.separation;
            work.linked = work.linked || separation <= linkDistance;
            if (movable(work.i) && movable(work.j))
                work.counts.deepest = std::min(work.counts.deepest, separation);
        }
    }
}

} // namespace Tolvane::Physics
