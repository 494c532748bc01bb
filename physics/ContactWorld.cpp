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
#include "physics/ContactWorld.h"

#include "math/Quaternion.h"
#include "physics/PhysicalModel.h"
#include "physics/SolverConstants.h"
#include "physics/collision/BodyHulls.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace Tolvane::Physics {

using Math::Matrix3;
using Math::Quaternion;
using Math::Vector3;

namespace {

using Clock = std::chrono::steady_clock;

/// Adds the time since the last lap to one of a step's phase times.
class PhaseClock {
  public:
    void lap(double& phase)
    {
        const Clock::time_point now = Clock::now();
        phase += std::chrono::duration<double, std::micro>(now - last_).count();
        last_ = now;
    }

  private:
    Clock::time_point last_ = Clock::now();
};

PhaseClock* stepClock = nullptr;

/// Charges the time since the last lap to phase, when a step is being timed.
void lap(double& phase)
{
    if (stepClock)
        stepClock->lap(phase);
}

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

bool sameState(const SolverMemory& memory, const PhysicalObject& body)
{
    const Quaternion& q = body.transform.orientation;
    return memory.stepped && memory.position == body.transform.position && memory.orientation == q &&
           memory.velocity == body.velocity && memory.angularVelocity == body.angularVelocity &&
           memory.fixed == body.fixed;
}

void remember(PhysicalObject& body)
{
    SolverMemory& memory = body.solverMemory;
    memory.stepped = true;
    memory.position = body.transform.position;
    memory.orientation = body.transform.orientation;
    memory.velocity = body.velocity;
    memory.angularVelocity = body.angularVelocity;
    memory.fixed = body.fixed;
}

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

void ContactWorld::clear()
{
    bodies_.clear();
    pairs_.clear();
    pieces_.clear();
    touching_.clear();
    statistics_ = ContactStepStatistics();
    broadPhase_ = GridBroadPhase();
    lastIds_.clear();
    stepped_ = false;
}

void ContactWorld::step(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt,
                        const Vector3& gravity, const ContactSettings& settings)
{
    statistics_ = ContactStepStatistics();
    const float weight = gravity.length();
    up_ = weight > 0.0f ? gravity * (-1.0f / weight) : Vector3();
    PhaseClock clock;
    stepClock = &clock;
    PhaseTimes& time = statistics_.time;
    if (gatherBodies(sets, dt, gravity, settings)) {
        // Everything sleeps and nothing disturbed it: nothing moves, no pair
        // changes, and the last step's figures still hold.
        statistics_ = lastStatistics_;
        statistics_.time = PhaseTimes();
        statistics_.awakeBodies = 0;
        statistics_.testedPairs = 0;
        lap(time.other);
        stepClock = nullptr;
        return;
    }
    lap(time.other);
    findContacts(dt);
    wakeIslands();
    lap(time.other);
    solve(dt, settings);
    finishBodies(settings);
    lap(time.integration);
    stepClock = nullptr;
    stepped_ = true;
    lastStatistics_ = statistics_;
}

bool ContactWorld::gatherBodies(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt,
                                const Vector3& gravity, const ContactSettings& settings)
{
    // The bodies in the sets' order, each once: a body in several sets is
    // stepped once. Models build their hulls on first use, so they are asked
    // here, on one thread; the rest of each body's gathering is its own, on
    // the pool's threads.
    bodies_.clear();
    ++gatherStamp_;
    for (const auto& set : sets) {
        for (const auto& handle : set->bodies) {
            PhysicalObject& body = *handle;
            if (body.solverMemory.gatherStamp == gatherStamp_)
                continue;
            body.solverMemory.gatherStamp = gatherStamp_;
            StepBody entry;
            entry.object = &body;
            entry.handle = &handle;
            entry.movable = !body.fixed;
            entry.hulls = body.model ? &body.model->hulls() : nullptr;
            bodies_.push_back(entry);
        }
    }
    const std::size_t count = bodies_.size();
    const bool sameBodies = settings.sleeping && stepped_ && count == lastIds_.size();
    bodyFlags_.resize(count);
    bodyMovedIsland_.resize(count);
    pool_.forEachEven(count, bodiesPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k)
            examineBody(k, gravity, settings, sameBodies);
    });

    // The same bodies in the same order as last step, none awake or disturbed:
    // the step has nothing to do.
    bool quiet = sameBodies;
    bool fixedBodyMoved = false;
    movedIslands_.clear();
    for (std::size_t k = 0; k < count; ++k) {
        quiet = quiet && (bodyFlags_[k] & stirred) == 0;
        fixedBodyMoved = fixedBodyMoved || (bodyFlags_[k] & fixedMoved) != 0;
        if (bodyMovedIsland_[k] != 0)
            movedIslands_.push_back(bodyMovedIsland_[k]);
    }
    if (quiet)
        return true;

    // A body moved by code wakes the island it slept in, also the bodies it was
    // taken away from. A fixed body moved by code may have moved into or away
    // from sleeping bodies: everything wakes and looks again.
    std::sort(movedIslands_.begin(), movedIslands_.end());
    lastIds_.resize(count);
    boxes_.resize(count);
    pool_.forEachEven(count, bodiesPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            StepBody& entry = bodies_[k];
            SolverMemory& memory = entry.object->solverMemory;
            if (entry.movable && memory.asleep &&
                (fixedBodyMoved ||
                 std::binary_search(movedIslands_.begin(), movedIslands_.end(), memory.island))) {
                entry.asleep = false;
                memory.asleep = false;
                memory.stillTime = 0.0f;
            }
            lastIds_[k] = entry.object->id;
            placeBody(k, dt);
        }
    });
    return false;
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
    const bool disturbed = !sameState(memory, body) ||
                           (entry.movable && (body.force != gravity * body.mass || !body.torque.isZero()));
    std::uint8_t flags = 0;
    bodyMovedIsland_[k] = 0;
    if (disturbed) {
        if (!entry.movable && memory.stepped)
            flags |= fixedMoved;
        if (memory.asleep && memory.island != 0)
            bodyMovedIsland_[k] = memory.island;
        memory.asleep = false;
        memory.stillTime = 0.0f;
    }
    if (!settings.sleeping || !entry.movable)
        memory.asleep = false;
    entry.asleep = memory.asleep;
    const bool still = sameBodies && lastIds_[k] == body.id && !disturbed && (!entry.movable || entry.asleep);
    if (!still)
        flags |= stirred;
    bodyFlags_[k] = flags;
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
    }
    float grow = speculativeDistance;
    if (entry.movable && !entry.asleep) {
        entry.velocity = predictedVelocity(body, dt);
        const Vector3 motion = entry.velocity * dt;
        box.min += Vector3(std::min(motion.x, 0.0f), std::min(motion.y, 0.0f), std::min(motion.z, 0.0f));
        box.max += Vector3(std::max(motion.x, 0.0f), std::max(motion.y, 0.0f), std::max(motion.z, 0.0f));
        grow += body.angularVelocity.length() * entry.radius * dt;
    }
    const Vector3 margin(grow, grow, grow);
    box.min -= margin;
    box.max += margin;
    entry.box = box;
    boxes_[k] = box;
}

void ContactWorld::findContacts(float dt)
{
    // Pairs with no awake body are not looked for: pairs asleep together, or
    // asleep on a fixed body, are carried over from last step below.
    const auto wanted = [this](std::int32_t i, std::int32_t j) {
        const bool awakeI = bodies_[i].movable && !bodies_[i].asleep;
        const bool awakeJ = bodies_[j].movable && !bodies_[j].asleep;
        return (awakeI || awakeJ) && bodies_[i].hulls && bodies_[j].hulls;
    };
    broadPhase_.setPool(&pool_);
    queries_.resize(bodies_.size());
    for (std::size_t i = 0; i < bodies_.size(); ++i)
        queries_[i] = bodies_[i].movable && !bodies_[i].asleep;
    broadPhase_.findPairs(boxes_, queries_, wanted, candidates_);
    lap(statistics_.time.broadPhase);

    // A body struck in this step changes its velocity by up to the speed it
    // is struck with, in the direction it is struck, and may be driven into a
    // third body that its own motion would never reach: a block hit from above
    // while it rests on another. Such bodies get their boxes grown by that
    // change, towards where the strike pushes them, and their margins by its
    // size, and the pairs are found again with the grown boxes. Changes the
    // speculative distance already covers (a resting body's one step of
    // gravity) grow nothing.
    for (const auto& [i, j] : candidates_) {
        const Vector3 change = bodies_[j].velocity - bodies_[i].velocity;
        const float size = change.length();
        bodies_[i].jolt = std::max(bodies_[i].jolt, size);
        bodies_[j].jolt = std::max(bodies_[j].jolt, size);
        // i is pushed along -change (towards j's motion relative to it), j along +change.
        bodies_[i].pushLow = componentMin(bodies_[i].pushLow, -change);
        bodies_[i].pushHigh = componentMax(bodies_[i].pushHigh, -change);
        bodies_[j].pushLow = componentMin(bodies_[j].pushLow, change);
        bodies_[j].pushHigh = componentMax(bodies_[j].pushHigh, change);
    }
    // Only the grown boxes look again, for the pairs their growth added: a
    // pair whose boxes met before growing was found above.
    bool grown = false;
    grownQueries_.assign(bodies_.size(), 0);
    for (std::size_t i = 0; i < bodies_.size(); ++i) {
        StepBody& body = bodies_[i];
        if (!body.movable || body.jolt * dt <= 0.5f * speculativeDistance)
            continue;
        boxes_[i].min += body.pushLow * dt;
        boxes_[i].max += body.pushHigh * dt;
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
        candidates_.insert(candidates_.end(), addedCandidates_.begin(), addedCandidates_.end());
        grownBodies_.clear();
        grownBoxes_.clear();
        for (std::size_t i = 0; i < bodies_.size(); ++i)
            if (grownQueries_[i]) {
                grownBodies_.push_back(static_cast<std::int32_t>(i));
                grownBoxes_.push_back(boxes_[i]);
            }
        everyGrown_.assign(grownBodies_.size(), 1);
        grownGrid_.setPool(&pool_);
        grownGrid_.findPairs(
            grownBoxes_, everyGrown_,
            [&](std::int32_t a, std::int32_t b) { return added(grownBodies_[a], grownBodies_[b]); },
            addedCandidates_);
        for (const auto& [a, b] : addedCandidates_)
            candidates_.emplace_back(grownBodies_[a], grownBodies_[b]);
    }
    lap(statistics_.time.broadPhase);

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
    for (const auto& [key, c] : candidateOrder_) {
        while (previous < pairs_.size() && pairs_[previous].key < key)
            keep(previous++);
        PairWork item;
        item.i = candidates_[c].first;
        item.j = candidates_[c].second;
        item.key = key;
        if (previous < pairs_.size() && pairs_[previous].key == key)
            item.last = static_cast<std::int32_t>(previous++);
        item.firstSlot = slots;
        slots += static_cast<std::int32_t>(bodies_[item.i].hulls->hulls.size() *
                                           bodies_[item.j].hulls->hulls.size());
        work_.push_back(item);
    }
    while (previous < pairs_.size())
        keep(previous++);

    // The candidates' manifolds, each pair on its own, and the kept pairs'
    // manifolds copied over: on the pool's threads.
    slots_.resize(static_cast<std::size_t>(slots));
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
    lap(statistics_.time.narrowPhase);
}

// Keys are unique, so the order is the same however the work is split: the
// two halves are sorted side by side and then merged.
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
                                     static_cast<std::int32_t>(c)};
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
    return (static_cast<std::uint64_t>(bodies_[i].object->id) << 32) | bodies_[j].object->id;
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
    const StepBody& a = bodies_[last.bodyA];
    const StepBody& b = bodies_[last.bodyB];
    if ((a.movable && !a.asleep) || (b.movable && !b.asleep))
        return;
    std::copy(pieces_.begin() + last.firstPiece, pieces_.begin() + last.firstPiece + last.pieceCount,
              slots_.begin() + work.firstSlot);
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
    const bool awakeA = a.movable && !a.asleep;
    const bool awakeB = b.movable && !b.asleep;

    // Room for whatever the two bodies' motion can close in the step, so that
    // fast bodies meet their contacts before they pass through each other.
    const float spinA = awakeA ? bodyA.angularVelocity.length() * a.radius : 0.0f;
    const float spinB = awakeB ? bodyB.angularVelocity.length() * b.radius : 0.0f;
    const float jolts = (a.movable ? a.jolt : 0.0f) + (b.movable ? b.jolt : 0.0f);
    const float margin =
        speculativeDistance + ((b.velocity - a.velocity).length() + spinA + spinB + jolts) * dt;

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
            if (a.movable && b.movable)
                work.counts.deepest = std::min(work.counts.deepest, separation);
        }
    }
}

std::int32_t ContactWorld::findIsland(std::int32_t body)
{
    while (islandParent_[body] != body) {
        islandParent_[body] = islandParent_[islandParent_[body]];
        body = islandParent_[body];
    }
    return body;
}

void ContactWorld::joinIslands()
{
    islandParent_.resize(bodies_.size());
    for (std::size_t i = 0; i < bodies_.size(); ++i)
        islandParent_[i] = static_cast<std::int32_t>(i);
    // Fixed bodies join no island: a floor would otherwise make every pile on it one.
    for (const PairContact& pair : pairs_) {
        if (!bodies_[pair.bodyA].movable || !bodies_[pair.bodyB].movable || !pair.linked)
            continue;
        const std::int32_t rootA = findIsland(pair.bodyA);
        const std::int32_t rootB = findIsland(pair.bodyB);
        if (rootA != rootB)
            islandParent_[std::max(rootA, rootB)] = std::min(rootA, rootB);
    }
}

void ContactWorld::wakeIslands()
{
    joinIslands();
    islandFlag_.assign(bodies_.size(), 0);
    for (std::size_t i = 0; i < bodies_.size(); ++i)
        if (bodies_[i].movable && !bodies_[i].asleep)
            islandFlag_[findIsland(static_cast<std::int32_t>(i))] = 1;
    for (std::size_t i = 0; i < bodies_.size(); ++i) {
        StepBody& entry = bodies_[i];
        if (entry.movable && entry.asleep && islandFlag_[findIsland(static_cast<std::int32_t>(i))]) {
            entry.asleep = false;
            entry.object->solverMemory.asleep = false;
            entry.object->solverMemory.stillTime = 0.0f;
        }
    }
}

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
    const auto root = [this](std::int32_t body) {
        while (groupParent_[body] != body) {
            groupParent_[body] = groupParent_[groupParent_[body]];
            body = groupParent_[body];
        }
        return body;
    };
    for (const PairContact& pair : pairs_) {
        const StepBody& a = bodies_[pair.bodyA];
        const StepBody& b = bodies_[pair.bodyB];
        if (!a.movable || a.asleep || !b.movable || b.asleep)
            continue;
        const std::int32_t rootA = root(pair.bodyA);
        const std::int32_t rootB = root(pair.bodyB);
        if (rootA != rootB)
            groupParent_[std::max(rootA, rootB)] = std::min(rootA, rootB);
    }
    groupOfRoot_.assign(bodies_.size(), -1);
    std::int32_t groupCount = 0;
    for (std::size_t i = 0; i < bodies_.size(); ++i) {
        StepBody& entry = bodies_[i];
        if (!entry.movable || entry.asleep) {
            entry.solverIndex = noSolverBody;
            continue;
        }
        entry.solverIndex = static_cast<std::int32_t>(solverToBody_.size());
        std::int32_t& group = groupOfRoot_[root(static_cast<std::int32_t>(i))];
        if (group < 0)
            group = groupCount++;
        solverToBody_.push_back(static_cast<std::int32_t>(i));
    }
    // The solver bodies themselves are started by the thread that solves them.
    solverBodies_.resize(solverToBody_.size());
    orientations_.resize(solverToBody_.size());
    statistics_.awakeBodies = static_cast<int>(solverBodies_.size());

    // Islands are solved in batches of whole islands, so that small islands
    // fill the solver's four lanes together: an island alone may hold a single
    // contact. The batches follow the islands' order and nothing else, so the
    // results are the same for every number of threads. Islands without
    // contacts are no batch's: their bodies are only moved.
    const auto groupOf = [&](const PairContact& pair) {
        const bool solvedA = bodies_[pair.bodyA].solverIndex != noSolverBody;
        return groupOfRoot_[root(solvedA ? pair.bodyA : pair.bodyB)];
    };
    // Each pair's place among the solver's constraints and their points, and
    // the figures of every manifold.
    groupConstraints_.assign(static_cast<std::size_t>(groupCount), 0);
    std::int32_t constraintCount = 0;
    std::int32_t pointCount = 0;
    float deepest = 0.0f;
    for (PairContact& pair : pairs_) {
        const StepBody& a = bodies_[pair.bodyA];
        const StepBody& b = bodies_[pair.bodyB];
        const bool solved = a.solverIndex != noSolverBody || b.solverIndex != noSolverBody;
        pair.firstConstraint = solved ? constraintCount : -1;
        pair.firstPoint = pointCount;
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

    // Each batch's bodies, in body order; bodies touching nothing (a lattice
    // in free fall) apart.
    freeBodies_.clear();
    groupBodyStart_.assign(static_cast<std::size_t>(batchCount) + 1, 0);
    for (std::size_t k = 0; k < solverToBody_.size(); ++k) {
        const std::int32_t batch = batchOfGroup_[groupOfRoot_[root(solverToBody_[k])]];
        if (batch < 0)
            freeBodies_.push_back(static_cast<std::int32_t>(k));
        else
            ++groupBodyStart_[batch + 1];
    }
    for (std::int32_t b = 0; b < batchCount; ++b)
        groupBodyStart_[b + 1] += groupBodyStart_[b];
    groupBodies_.resize(solverBodies_.size());
    groupFill_.assign(groupBodyStart_.begin(), groupBodyStart_.end() - 1);
    for (std::size_t k = 0; k < solverToBody_.size(); ++k) {
        const std::int32_t batch = batchOfGroup_[groupOfRoot_[root(solverToBody_[k])]];
        if (batch >= 0)
            groupBodies_[groupFill_[batch]++] = static_cast<std::int32_t>(k);
    }

    // The constraints, each pair's at its own place: on the pool's threads.
    solver_.setPool(&pool_);
    solver_.resize(static_cast<std::size_t>(constraintCount), static_cast<std::size_t>(pointCount));
    constraintPiece_.resize(static_cast<std::size_t>(constraintCount));
    pool_.forEachEven(pairs_.size(), pairsPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t index = from; index < to; ++index)
            addConstraints(pairs_[index]);
    });

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
    solver_.arrange(solverSettings, solverBodies_.size(), static_cast<std::size_t>(batchCount));
    lap(statistics_.time.solver);

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
    for (std::int32_t b = 0; b < batchCount; ++b) {
        const std::size_t constraints = solver_.groupConstraintCount(static_cast<std::size_t>(b));
        if (pool_.threads() > 1 && constraints > bigGroup)
            runGroup(b, substeps, h, dt, true);
        else
            smallGroups_.push_back(b);
    }
    // Bodies touching nothing (a lattice in free fall) are only moved.
    pool_.forEachEven(freeBodies_.size(), bodiesPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            const std::int32_t body = freeBodies_[k];
            startBody(body);
            for (int substep = 0; substep < substeps; ++substep) {
                pushBody(body, h);
                moveBody(body, h);
            }
            finishBody(body, dt);
        }
    });
    lap(statistics_.time.integration);
    pool_.forEach(smallGroups_.size(), 1, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k)
            runGroup(smallGroups_[k], substeps, h, dt, false);
    });

    // The groups' time, split between integration and the solver as the
    // groups spent it.
    double integration = 0.0;
    double total = 0.0;
    for (std::int32_t b = 0; b < batchCount; ++b) {
        integration += groupIntegration_[b];
        total += groupTotal_[b];
    }
    double groupsTime = 0.0;
    lap(groupsTime);
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
    const StepBody& a = bodies_[pair.bodyA];
    const StepBody& b = bodies_[pair.bodyB];
    for (std::int32_t k = 0; k < pair.pieceCount; ++k) {
        const PieceContact& piece = pieces_[pair.firstPiece + k];
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
        solver_.set(constraint++, point, a.solverIndex, b.solverIndex, piece.normal, inputs, piece.pointCount,
                    batch, height / static_cast<float>(piece.pointCount));
        point += static_cast<std::size_t>(piece.pointCount);
    }
}

// What the solver left at a constraint's points, kept for next step's warm start.
void ContactWorld::storeImpulses(std::size_t constraint)
{
    PieceContact& piece = pieces_[constraintPiece_[constraint]];
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
    groupTotal_[g] = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// One awake body's pose and velocities back from the solver, and its still time.
void ContactWorld::finishBody(std::size_t k, float dt)
{
    const SolverBody& solved = solverBodies_[k];
    StepBody& entry = bodies_[solverToBody_[k]];
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
}

void ContactWorld::finishBodies(const ContactSettings& settings)
{
    // An island sleeps once every one of its bodies has been still long enough;
    // its bodies stop, so that sleeping leaves nothing moving.
    if (settings.sleeping) {
        islandStillTime_.assign(bodies_.size(), std::numeric_limits<float>::infinity());
        for (std::size_t i = 0; i < bodies_.size(); ++i)
            if (bodies_[i].solverIndex != noSolverBody) {
                float& least = islandStillTime_[findIsland(static_cast<std::int32_t>(i))];
                least = std::min(least, bodies_[i].object->solverMemory.stillTime);
            }
        for (std::size_t i = 0; i < bodies_.size(); ++i) {
            StepBody& entry = bodies_[i];
            if (entry.solverIndex == noSolverBody ||
                islandStillTime_[findIsland(static_cast<std::int32_t>(i))] < timeToSleep)
                continue;
            PhysicalObject& body = *entry.object;
            entry.asleep = true;
            body.solverMemory.asleep = true;
            body.velocity = Vector3();
            body.angularVelocity = Vector3();
        }
    }

    for (const PairContact& pair : pairs_) {
        bool pressing = false;
        for (std::int32_t k = pair.firstPiece; k < pair.firstPiece + pair.pieceCount; ++k)
            for (int p = 0; p < pieces_[k].pointCount; ++p)
                pressing = pressing || pieces_[k].points[p].normalImpulse > 0.0f;
        statistics_.touchingPairs += pressing ? 1 : 0;
    }

    for (std::size_t i = 0; i < bodies_.size(); ++i) {
        StepBody& entry = bodies_[i];
        remember(*entry.object);
        entry.object->solverMemory.island =
            entry.movable ? bodies_[findIsland(static_cast<std::int32_t>(i))].object->id : 0;
        if (entry.movable && entry.asleep)
            ++statistics_.sleepingBodies;
    }
}

void ContactWorld::gatherTouchingPairs()
{
    touching_.clear();
    for (const PairContact& pair : pairs_) {
        TouchingPair touching;
        float deepest = std::numeric_limits<float>::infinity();
        for (std::int32_t k = 0; k < pair.pieceCount; ++k) {
            const PieceContact& piece = pieces_[pair.firstPiece + k];
            for (int p = 0; p < piece.pointCount; ++p) {
                const PointState& state = piece.points[p];
                touching.impulse += state.normalImpulse;
                if (state.point.separation < deepest) {
                    deepest = state.point.separation;
                    touching.point = state.point.position;
                    touching.normal = piece.normal;
                }
            }
        }
        if (!(touching.impulse > 0.0f))
            continue;
        touching.bodyA = bodies_[pair.bodyA].handle;
        touching.bodyB = bodies_[pair.bodyB].handle;
        touching.indexA = pair.bodyA;
        touching.indexB = pair.bodyB;
        touching.depth = std::max(0.0f, -deepest);
        touching_.push_back(touching);
    }
    // Pairs are kept in the order of the bodies' ids; listeners hear them in
    // the order of the bodies in the sets.
    std::sort(touching_.begin(), touching_.end(), [](const TouchingPair& x, const TouchingPair& y) {
        return x.indexA < y.indexA || (x.indexA == y.indexA && x.indexB < y.indexB);
    });
}

} // namespace Tolvane::Physics
