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
// This file holds the step and stage 2; BodyTable.cpp stage 1 and
// ContactWorldSolve.cpp the rest.
#include "physics/solver/ContactWorld.h"

#include "geometry/BodyHulls.h"
#include "physics/solver/SolverConstants.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace Tolvane::Physics {

using Math::Vector3;

void ContactWorld::clear()
{
    bodies_.clear();
    pairs_.clear();
    pieces_ = ScratchArray<PieceContact>();
    touching_.clear();
    statistics_ = ContactStepStatistics();
    broadPhase_.clear();
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
    if (bodies_.gather(sets, dt, gravity, settings, stepped_, pool_)) {
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

void ContactWorld::findContacts(float dt)
{
    broadPhase_.findCandidates(bodies_, dt, pool_);
    clock_.lap(statistics_.time.broadPhase);

    // Last step's pairs are sorted by key; this step's candidates are put in
    // the same order, so that one walk matches them.
    broadPhase_.sortCandidates(bodies_, pool_);

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
    for (const KeyedCandidate& candidate : broadPhase_.sortedCandidates()) {
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
        slots += bodies_.hullCount(item.i) * bodies_.hullCount(item.j);
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

// Asleep together, or asleep on a fixed body: nothing moved, so last step's
// manifolds still hold. The pair's bodies are found at last step's places;
// when the sets changed since, the pair is dropped, and found again if it is
// needed once its bodies wake.
void ContactWorld::carryIfResting(PairWork& work)
{
    const PairContact& last = pairs_[work.carried];
    work.pieceCount = 0;
    const auto count = static_cast<std::int32_t>(bodies_.size());
    if (last.bodyA >= count || last.bodyB >= count || bodies_.pairKey(last.bodyA, last.bodyB) != last.key)
        return;
    if (bodies_.awake(last.bodyA) || bodies_.awake(last.bodyB))
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
    const bool awakeA = bodies_.awake(work.i);
    const bool awakeB = bodies_.awake(work.j);

    // Room for whatever the two bodies' motion can close in the step, so that
    // fast bodies meet their contacts before they pass through each other.
    const float spinA = awakeA ? bodyA.angularVelocity.length() * a.radius : 0.0f;
    const float spinB = awakeB ? bodyB.angularVelocity.length() * b.radius : 0.0f;
    const float jolts = (bodies_.movable(work.i) ? broadPhase_.jolt(work.i) : 0.0f) +
                        (bodies_.movable(work.j) ? broadPhase_.jolt(work.j) : 0.0f);
    const float margin =
        speculativeDistance +
        ((bodies_.velocity(work.j) - bodies_.velocity(work.i)).length() + spinA + spinB + jolts) * dt;

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
            if (bodies_.movable(work.i) && bodies_.movable(work.j))
                work.counts.deepest = std::min(work.counts.deepest, separation);
        }
    }
}

} // namespace Tolvane::Physics
