// The narrow phase and the contact cache: this step's work listed in key
// order beside last step's pairs, the candidates collided side by side, the
// pairs at rest carried over, and the pairs with manifolds kept.
#include "physics/solver/ContactCache.h"

#include "geometry/BodyHulls.h"
#include "geometry/HullMeshContact.h"
#include "physics/solver/SolverConstants.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Tolvane::Physics {

using Math::Vector3;

namespace {

/// A manifold's normal and points into piece, each point with the impulses
/// of last step's point with the same feature key (lastPiece, when any).
/// The impulses of the points of lastPiece with the same keys as piece's.
void carryImpulses(PieceContact& piece, const PieceContact& lastPiece)
{
    for (int k = 0; k < piece.pointCount; ++k) {
        PointState& state = piece.points[k];
        for (int l = 0; l < lastPiece.pointCount; ++l)
            if (lastPiece.points[l].point.key == state.point.key) {
                state.normalImpulse = lastPiece.points[l].normalImpulse;
                state.tangentImpulse = lastPiece.points[l].tangentImpulse;
            }
    }
}

void takeManifold(PieceContact& piece, const Collision::ContactManifold& manifold,
                  const PieceContact* lastPiece)
{
    piece.normal = manifold.normal;
    piece.pointCount = manifold.pointCount;
    for (int k = 0; k < manifold.pointCount; ++k)
        piece.points[k].point = manifold.points[k];
    if (lastPiece)
        carryImpulses(piece, *lastPiece);
}

/// The most any point of hull (of a body at pose from) can have moved for
/// the body to be at pose to: the shift of its origin plus its turn (the
/// largest change of a rotation matrix entry bounds the angle) times its reach.
float hullDrift(const Collision::ConvexHull& hull, const Collision::RelativePose& from,
                const Collision::HullPose& to)
{
    float turn = 0.0f;
    for (int c = 0; c < 3; ++c) {
        const Vector3 d = to.rotation.column[c] - from.rotation.column[c];
        turn = std::max(turn, std::max(std::fabs(d.x), std::max(std::fabs(d.y), std::fabs(d.z))));
    }
    const float reach = hull.sphereCentre.length() + hull.sphereRadius;
    return (to.position - from.translation).length() + 2.0f * turn * reach;
}

/// A mesh piece's points carried along with its hull's body from the pose it
/// was at (piece.axis.searchedPose) to pose to. Each point lies midway between
/// the hull's surface and the mesh's along the normal (from A to B): the
/// hull's side moves with the body, the mesh's stays, so the point moves by
/// half the hull's motion there and the separation by the motion along the
/// normal. hullIsA: the hull is body A's.
void moveWithHull(PieceContact& piece, const Collision::HullPose& to, bool hullIsA)
{
    const Collision::RelativePose& from = piece.axis.searchedPose;
    const float towardsMesh = hullIsA ? 1.0f : -1.0f;
    const Vector3 n = piece.normal * towardsMesh;
    for (int k = 0; k < piece.pointCount; ++k) {
        Collision::ContactPoint& point = piece.points[k].point;
        const Vector3 onHull = point.position - n * (0.5f * point.separation);
        const Vector3 moved =
            to.rotation * Math::transposeTimes(from.rotation, onHull - from.translation) + to.position;
        const Vector3 shift = moved - onHull;
        point.separation -= dot(shift, n);
        point.position += shift * 0.5f;
    }
    piece.axis.searchedPose = {to.rotation, to.position};
}

} // namespace

void ContactCache::clear()
{
    pairs_.clear();
    pieces_ = ScratchArray<PieceContact>();
    slots_.reset(0, 0);
}

void ContactCache::update(const BodyTable& bodies, const ContactBroadPhase& broadPhase, float dt,
                          WorkerPool& pool, ContactStepStatistics& statistics)
{
    listWork(bodies, broadPhase.sortedCandidates());
    // The candidates' manifolds, each pair on its own, and the kept pairs
    // checked: on the pool's threads. Each item writes its own slots only.
    pool.forEach(workCount_, pairsPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            if (work_[k].carried < 0)
                collidePair(work_[k], bodies, broadPhase, dt);
            else
                carryIfResting(work_[k], bodies);
        }
    });
    keepPairs(statistics);
}

// One walk lists the work in key order: last step's pairs at rest to keep,
// and this step's candidates, each with room for its hull pairs' manifolds.
void ContactCache::listWork(const BodyTable& bodies, const std::vector<KeyedCandidate>& candidates)
{
    // Every pair and candidate may hold slots at once, and be an item of work.
    const std::size_t most = pairs_.size() + candidates.size();
    slots_.reserve(most);
    work_ = reinterpret_cast<PairWork*>(pages().room(most * sizeof(PairWork)));
    workCount_ = 0;
    std::size_t previous = 0;
    const auto keep = [&](std::size_t index) {
        const PairContact& pair = pairs_[index];
        PairWork item;
        item.carried = static_cast<std::int32_t>(index);
        item.key = pair.key;
        item.i = pair.bodyA;
        item.j = pair.bodyB;
        item.firstSlot = pair.firstPiece;
        item.slotCount = pair.slotCount;
        item.firstConstraint = pair.firstConstraint;
        item.firstPoint = pair.firstPoint;
        item.island = pair.island;
        item.counts = pair.counts;
        item.linked = pair.linked;
        work_[workCount_++] = item;
    };
    for (const KeyedCandidate& candidate : candidates) {
        const std::uint64_t key = candidate.key;
        while (previous < pairs_.size() && pairs_[previous].key < key)
            keep(previous++);
        PairWork item;
        item.i = candidate.i;
        item.j = candidate.j;
        item.key = key;
        if (previous < pairs_.size() && pairs_[previous].key == key) {
            item.last = static_cast<std::int32_t>(previous++);
            item.lastFirstSlot = pairs_[item.last].firstPiece;
            item.lastSlotCount = pairs_[item.last].slotCount;
        }
        item.slotCount = bodies.hullCount(item.i) * bodies.hullCount(item.j);
        // One manifold is read before it is written again; of several, one
        // could be overwritten before a later hull pair reads it.
        const bool inPlace = item.last >= 0 && item.slotCount == 1 && pairs_[item.last].slotCount == 1;
        item.firstSlot = inPlace ? pairs_[item.last].firstPiece : takeSlots(item.slotCount);
        work_[workCount_++] = item;
    }
    while (previous < pairs_.size())
        keep(previous++);
    pages().used(workCount_ * sizeof(PairWork));
}

std::int32_t ContactCache::takeSlots(std::int32_t count)
{
    const auto wanted = static_cast<std::uint32_t>(count);
    std::uint32_t first = slots_.take(wanted);
    if (first == slots_.capacity() && wanted > 0) {
        pieces_.growKeeping(std::size_t{slots_.capacity()} + wanted);
        slots_.grow(static_cast<std::uint32_t>(pieces_.capacity()));
        first = slots_.take(wanted);
    }
    return static_cast<std::int32_t>(first);
}

// In key order, the pairs with manifolds become this step's pairs; their
// manifolds stay in their slots. The work holds what it needs of last step's
// pairs, which are let go of first: the pairs are stored once.
void ContactCache::keepPairs(ContactStepStatistics& statistics)
{
    if (pairs_.capacity() < workCount_) {
        const std::size_t capacity = std::max(workCount_, 2 * pairs_.capacity());
        pairs_ = PairList();
        pairs_.reserve(capacity);
    }
    pairs_.clear();
    for (std::size_t k = 0; k < workCount_; ++k) {
        const PairWork& item = work_[k];
        if (item.carried < 0)
            ++statistics.testedPairs;
        if (item.last >= 0 && item.lastFirstSlot != item.firstSlot)
            slots_.give(static_cast<std::uint32_t>(item.lastFirstSlot),
                        static_cast<std::uint32_t>(item.lastSlotCount));
        if (item.pieceCount == 0) {
            slots_.give(static_cast<std::uint32_t>(item.firstSlot),
                        static_cast<std::uint32_t>(item.slotCount));
            continue;
        }
        PairContact pair;
        pair.key = item.key;
        pair.bodyA = item.i;
        pair.bodyB = item.j;
        pair.linked = item.linked;
        pair.counts = item.counts;
        if (item.carried >= 0) {
            pair.firstConstraint = item.firstConstraint;
            pair.firstPoint = item.firstPoint;
            pair.island = item.island;
        }
        pair.firstPiece = item.firstSlot;
        pair.slotCount = item.slotCount;
        pair.pieceCount = item.pieceCount;
        pairs_.push_back(pair);
    }
}

// Asleep together, or asleep on a fixed body: nothing moved, so last step's
// manifolds still hold. The pair's bodies are found at last step's places;
// when the sets changed since, the pair is dropped, and found again if it is
// needed once its bodies wake.
void ContactCache::carryIfResting(PairWork& work, const BodyTable& bodies)
{
    const PairContact& last = pairs_[work.carried];
    work.pieceCount = 0;
    const auto count = static_cast<std::int32_t>(bodies.size());
    if (last.bodyA >= count || last.bodyB >= count || bodies.pairKey(last.bodyA, last.bodyB) != last.key)
        return;
    if (bodies.moving(last.bodyA) || bodies.moving(last.bodyB))
        return;
    work.pieceCount = last.pieceCount;
}

// Reads the bodies and last step's pairs, writes only its own work item and
// slots: pairs can be collided side by side.
void ContactCache::collidePair(PairWork& work, const BodyTable& bodies, const ContactBroadPhase& broadPhase,
                               float dt)
{
    const StepBody& a = bodies[work.i];
    const StepBody& b = bodies[work.j];
    const PairContact* last = work.last >= 0 ? &pairs_[work.last] : nullptr;
    const PhysicalObject& bodyA = *a.object;
    const PhysicalObject& bodyB = *b.object;
    const bool movingA = bodies.moving(work.i);
    const bool movingB = bodies.moving(work.j);

    // Room for whatever the two bodies' motion can close in the step, so that
    // fast bodies meet their contacts before they pass through each other.
    const float spinA = movingA ? bodyA.angularVelocity.length() * a.radius : 0.0f;
    const float spinB = movingB ? bodyB.angularVelocity.length() * b.radius : 0.0f;
    const float jolts = (bodies.movable(work.i) ? broadPhase.jolt(work.i) : 0.0f) +
                        (bodies.movable(work.j) ? broadPhase.jolt(work.j) : 0.0f);
    const float margin =
        speculativeDistance +
        ((bodies.velocity(work.j) - bodies.velocity(work.i)).length() + spinA + spinB + jolts) * dt;

    const Collision::HullPose poseA{bodyA.transform.position, a.rotation};
    const Collision::HullPose poseB{bodyB.transform.position, b.rotation};
    const auto& hullsA = a.hulls->hulls;
    const auto& hullsB = b.hulls->hulls;

    PieceContact* const out = pieces_.data() + work.firstSlot;
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

            const Collision::TriangleMesh* meshA = bodies.movable(work.i) ? nullptr : a.hulls->meshOfHull(pa);
            const Collision::TriangleMesh* meshB = bodies.movable(work.j) ? nullptr : b.hulls->meshOfHull(pb);
            if (meshA || meshB) {
                // A hull struck harder than the speculative distance covers
                // may be driven into triangles it was not near.
                const bool steady = jolts * dt <= 0.5f * speculativeDistance && !(meshA ? movingA : movingB);
                collideMeshPiece(work, {pa, pb, hullA, hullB, meshA, meshB, poseA, poseB, margin, steady},
                                 last, out);
                continue;
            }

            // Made aside: a pair with one slot writes it in place, over last
            // step's manifold, which gives the new one its axis and impulses.
            PieceContact piece;
            piece.pieceA = static_cast<std::int32_t>(pa);
            piece.pieceB = static_cast<std::int32_t>(pb);
            const PieceContact* matched = lastPiece(last, piece.pieceA, piece.pieceB);
            if (matched)
                piece.axis = matched->axis;
            Collision::ContactManifold manifold;
            Collision::collideHulls(hullA, poseA, hullB, poseB, margin, piece.axis, manifold);
            takeManifold(piece, manifold, matched);
            // Kept even without points: its separating axis makes next step's test quick.
            out[work.pieceCount++] = piece;
        }
    }
    // The bodies' own velocities, not the ones gravity would give them: two
    // resting bodies close on each other only as fast as they really move.
    const float linkDistance =
        speculativeDistance +
        ((movingB ? bodyB.velocity : Vector3()) - (movingA ? bodyA.velocity : Vector3())).length() * dt;
    countManifolds(work, out, linkDistance, bodies.movable(work.i) && bodies.movable(work.j));
    work.counts.lift = carriedLift(work, out, bodies, last);
    work.counts.substepScale = last ? last->counts.substepScale : 1;
}

// A fixed body's concave part collides by its triangles: up to
// maxMeshManifolds pieces, told apart by their number in pieceB's high bits.
// Each point takes last step's impulses from the point with its key among all
// of last step's pieces of the same two parts, as the pieces may come in
// another order. Two such meshes (two fixed bodies) never collide.
void ContactCache::collideMeshPiece(PairWork& work, const MeshPiece& mesh, const PairContact* last,
                                    PieceContact* out) const
{
    if (mesh.meshA && mesh.meshB)
        return;
    const auto pieceA = static_cast<std::int32_t>(mesh.pa);
    const auto pieceB = static_cast<std::int32_t>(mesh.pb);
    Collision::KeptKeys kept;
    if (last)
        for (std::int32_t l = 0; l < last->pieceCount; ++l) {
            const PieceContact& before = pieces_[last->firstPiece + l];
            if (before.pieceA == pieceA && (before.pieceB & meshPieceMask) == pieceB) {
                for (int p = 0; p < before.pointCount; ++p)
                    kept.add(before.points[p].point.key);
                kept.addNormal(mesh.meshB ? before.normal : -before.normal);
            }
        }
    if (mesh.steady && reuseMeshPieces(work, mesh, last, out))
        return;
    Collision::ContactManifold manifolds[Collision::maxMeshManifolds];
    int count = 0;
    if (mesh.meshB) {
        count = Collision::collideHullMesh(mesh.hullA, mesh.poseA, *mesh.meshB, mesh.poseB, mesh.margin, kept,
                                           manifolds);
    } else {
        count = Collision::collideHullMesh(mesh.hullB, mesh.poseB, *mesh.meshA, mesh.poseA, mesh.margin, kept,
                                           manifolds);
        for (int k = 0; k < count; ++k)
            manifolds[k].normal = -manifolds[k].normal;
    }
    for (int k = 0; k < count; ++k) {
        PieceContact piece;
        piece.pieceA = pieceA;
        piece.pieceB = pieceB | k << meshPieceShift;
        takeManifold(piece, manifolds[k], nullptr);
        const Collision::HullPose& hullPose = mesh.meshB ? mesh.poseA : mesh.poseB;
        piece.axis.searchedPose = {hullPose.rotation, hullPose.position};
        piece.axis.searched = true;
        if (last)
            for (std::int32_t l = 0; l < last->pieceCount; ++l) {
                const PieceContact& before = pieces_[last->firstPiece + l];
                if (before.pieceA == pieceA && (before.pieceB & meshPieceMask) == pieceB)
                    carryImpulses(piece, before);
            }
        out[work.pieceCount++] = piece;
    }
}

// Last step's pieces come back in their order, with their impulses, as the
// narrow phase would have found them again: with the same keys, and the
// separations their hull's small motion gives.
bool ContactCache::reuseMeshPieces(PairWork& work, const MeshPiece& mesh, const PairContact* last,
                                   PieceContact* out) const
{
    if (!last)
        return false;
    const auto pieceA = static_cast<std::int32_t>(mesh.pa);
    const auto pieceB = static_cast<std::int32_t>(mesh.pb);
    const bool hullIsA = mesh.meshB != nullptr;
    const Collision::ConvexHull& hull = hullIsA ? mesh.hullA : mesh.hullB;
    const Collision::HullPose& hullPose = hullIsA ? mesh.poseA : mesh.poseB;
    const std::int32_t first = work.pieceCount;
    for (std::int32_t l = 0; l < last->pieceCount; ++l) {
        const PieceContact& before = pieces_[last->firstPiece + l];
        if (before.pieceA != pieceA || (before.pieceB & meshPieceMask) != pieceB)
            continue;
        const float drift = before.meshDrift + hullDrift(hull, before.axis.searchedPose, hullPose);
        if (!before.axis.searched || !(drift <= meshReuseDrift)) {
            work.pieceCount = first;
            return false;
        }
        PieceContact& piece = out[work.pieceCount++];
        piece = before;
        moveWithHull(piece, hullPose, hullIsA);
        piece.meshDrift = drift;
    }
    return work.pieceCount != first;
}

// The load follows what the carried impulses show, slowly: a blow, or the
// push of a contact just made stiffer, lasts a step or two and barely moves
// it, while a stack's weight, borne step after step, sets it.
float ContactCache::carriedLift(const PairWork& work, const PieceContact* out, const BodyTable& bodies,
                                const PairContact* last)
{
    const PhysicalObject& bodyA = *bodies[work.i].object;
    const PhysicalObject& bodyB = *bodies[work.j].object;
    const bool movingA = bodies.moving(work.i);
    const bool movingB = bodies.moving(work.j);
    float lift = 0.0f;
    const Vector3 relative = (movingB ? bodyB.velocity : Vector3()) - (movingA ? bodyA.velocity : Vector3());
    if (relative.squaredLength() < loadedContactSpeed * loadedContactSpeed) {
        float carried = 0.0f;
        for (std::int32_t k = 0; k < work.pieceCount; ++k)
            for (int p = 0; p < out[k].pointCount; ++p)
                carried += out[k].points[p].normalImpulse;
        const float inverseMassA = bodies.movable(work.i) ? 1.0f / bodyA.mass : 0.0f;
        const float inverseMassB = bodies.movable(work.j) ? 1.0f / bodyB.mass : 0.0f;
        lift = carried * std::max(inverseMassA, inverseMassB);
    }
    const float before = last ? last->counts.lift : 0.0f;
    return before + loadFollowRate * (lift - before);
}

const PieceContact* ContactCache::lastPiece(const PairContact* last, std::int32_t pieceA,
                                            std::int32_t pieceB) const
{
    const PieceContact* found = nullptr;
    if (last)
        for (std::int32_t k = 0; k < last->pieceCount; ++k) {
            const PieceContact& candidate = pieces_[last->firstPiece + k];
            if (candidate.pieceA == pieceA && candidate.pieceB == pieceB)
                found = &candidate;
        }
    return found;
}

void ContactCache::countManifolds(PairWork& work, const PieceContact* out, float linkDistance,
                                  bool bothMovable)
{
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
            float& deepest = bothMovable ? work.counts.deepest : work.counts.deepestOnFixed;
            deepest = std::min(deepest, separation);
        }
    }
}

bool ContactCache::pressed(const PairContact& pair) const
{
    for (std::int32_t k = pair.firstPiece; k < pair.firstPiece + pair.pieceCount; ++k)
        for (int p = 0; p < pieces_[k].pointCount; ++p)
            if (pieces_[k].points[p].normalImpulse > 0.0f)
                return true;
    return false;
}

void ContactCache::gatherTouchingPairs(const BodyTable& bodies, std::vector<TouchingPair>& out) const
{
    out.clear();
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
        touching.bodyA = bodies[pair.bodyA].handle;
        touching.bodyB = bodies[pair.bodyB].handle;
        touching.indexA = pair.bodyA;
        touching.indexB = pair.bodyB;
        touching.depth = std::max(0.0f, -deepest);
        out.push_back(touching);
    }
    // Pairs are kept in the order of the bodies' ids; listeners hear them in
    // the order of the bodies in the sets.
    std::sort(out.begin(), out.end(), [](const TouchingPair& x, const TouchingPair& y) {
        return x.indexA < y.indexA || (x.indexA == y.indexA && x.indexB < y.indexB);
    });
}

} // namespace Tolvane::Physics
