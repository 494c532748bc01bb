// The solver response's narrow phase and contact cache: the pairs of bodies
// with manifolds, kept sorted by the bodies' ids from step to step, each
// manifold point with the impulses it carries into the next step.
#pragma once

#include "geometry/ContactManifold.h"
#include "geometry/HullPose.h"
#include "geometry/HullSeparation.h"
#include "geometry/TriangleMesh.h"
#include "physics/solver/BodyTable.h"
#include "physics/solver/ContactBroadPhase.h"
#include "physics/solver/ContactStepStatistics.h"
#include "physics/solver/FreeRuns.h"
#include "physics/solver/ScratchArray.h"
#include "physics/solver/WorkerPool.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Tolvane::Physics {

/// One pair of bodies in contact at the end of a step, for listeners.
struct TouchingPair {
    /// The body that comes first in the collision sets.
    const std::shared_ptr<PhysicalObject>* bodyA = nullptr;
    const std::shared_ptr<PhysicalObject>* bodyB = nullptr;
    /// Unit normal from A to B of the deepest point.
    Math::Vector3 normal;
    /// The deepest point, midway between the surfaces, at the step's start.
    Math::Vector3 point;
    /// Overlap at that point at the step's start (0 when apart).
    float depth = 0.0f;
    /// Sum of the normal impulses of the pair's points.
    float impulse = 0.0f;
    /// The bodies' places among the step's bodies, which is the order of the sets.
    std::int32_t indexA = 0;
    std::int32_t indexB = 0;
};

/// A contact point with the impulses it carries to the next step.
struct PointState {
    Collision::ContactPoint point;
    float normalImpulse = 0.0f;
    Math::Vector3 tangentImpulse;
};

/// The manifold of one hull of A against one hull of B.
struct PieceContact {
    std::int32_t pieceA = 0;
    std::int32_t pieceB = 0;
    /// A hull pair's separating axis. A mesh piece has none: its searchedPose
    /// holds instead the hull's world pose (rotation and position) that its
    /// points were found or last moved at.
    Collision::SeparatingAxisCache axis;
    /// For a mesh piece, how far its hull may have moved against the mesh
    /// since the narrow phase found its points.
    float meshDrift = 0.0f;
    Math::Vector3 normal;
    std::int32_t pointCount = 0;
    PointState points[Collision::maxManifoldPoints];
};

/// A mesh piece's number among its part's pieces sits above this bit of pieceB.
constexpr int meshPieceShift = 24;
constexpr std::int32_t meshPieceMask = (1 << meshPieceShift) - 1;

/// What a pair's manifolds hold, counted where they are made.
struct ManifoldCounts {
    /// Manifolds with points, and their points.
    std::int32_t manifolds = 0;
    std::int32_t points = 0;
    /// The most negative separation of any point when both bodies are
    /// movable, else 0.
    float deepest = 0.0f;
    /// The same when one of them is fixed (a floor, a terrain), else 0.
    float deepestOnFixed = 0.0f;
    /// How heavily the pair is loaded while its bodies rest on each other:
    /// the speed its carried normal impulses give its lighter movable body in
    /// one of the settings' substeps, followed slowly from step to step (what
    /// bodies closing or parting faster than loadedContactSpeed carry counts
    /// as no load).
    float lift = 0.0f;
    /// The substeps the pair's load or its sunk contacts call for, as a
    /// multiple of the settings' (1, 2, 4 or 8): last step's until the solve
    /// plans this one's.
    std::int32_t substepScale = 1;
};

/// A pair of bodies with manifolds, kept sorted by key from step to step.
struct PairContact {
    /// The two bodies' ids, the first body's in the high half.
    std::uint64_t key = 0;
    std::int32_t bodyA = 0;
    std::int32_t bodyB = 0;
    std::int32_t firstPiece = 0;
    std::int32_t pieceCount = 0;
    /// The room for manifolds the pair holds from firstPiece on (its
    /// manifolds may fill less of it).
    std::int32_t slotCount = 0;
    ManifoldCounts counts;
    /// Index of this pair's first constraint in the solver, -1 when not
    /// solved, of its first point among the solver's, and the number of
    /// the island it is solved with.
    std::int32_t firstConstraint = -1;
    std::int32_t firstPoint = 0;
    std::int32_t island = -1;
    /// The bodies touch, or close on each other fast enough to touch within
    /// the step: they belong to one island. Points that are only kept in
    /// case (a neighbour a few hundredths away, both at rest) do not join
    /// islands, or two still neighbours could keep waking each other.
    bool linked = false;
};

/// The pairs of a step, in page-backed storage: room past the pairs a step
/// has costs nothing until a step fills it.
using PairList = StepVector<PairContact>;

/// Keeps between steps: the pairs with manifolds, sorted by key, and the
/// manifolds themselves with their points' impulses (warm starting is a walk
/// in key order, not a search) and their separating axes.
class ContactCache {
  public:
    /// This step's pairs: the candidates' manifolds, each new point taking
    /// the impulses of last step's point with the same features, and last
    /// step's pairs of bodies asleep together (or asleep on a fixed body)
    /// kept untested. Counts the pairs tested into statistics.
    void update(const BodyTable& bodies, const ContactBroadPhase& broadPhase, float dt, WorkerPool& pool,
                ContactStepStatistics& statistics);

    /// The pairs in key order; the solve numbers them into its constraints.
    PairList& pairs() { return pairs_; }
    const PairList& pairs() const { return pairs_; }
    /// Manifold k of the pairs' (a pair's from firstPiece on).
    PieceContact& piece(std::size_t k) { return pieces_[k]; }
    const PieceContact& piece(std::size_t k) const { return pieces_[k]; }

    /// Whether a pair's bodies press on each other: a point of its manifolds
    /// holds a normal impulse.
    bool pressed(const PairContact& pair) const;

    /// The pairs pressing on each other (or asleep on each other), in the
    /// order of the bodies in the sets.
    void gatherTouchingPairs(const BodyTable& bodies, std::vector<TouchingPair>& out) const;

    /// Forgets every pair and manifold.
    void clear();

    /// Lists the step's work in pages (null: pages of its own) that other
    /// stages take before and after the narrow phase.
    void sharePages(StagePages* pages) { sharedPages_ = pages; }

  private:
    /// One pair for the narrow phase: a candidate of this step, or last step's
    /// pair at rest (carried) to keep.
    struct PairWork {
        std::uint64_t key = 0;
        std::int32_t carried = -1;
        std::int32_t i = 0;
        std::int32_t j = 0;
        /// Last step's pair of the same bodies, or -1.
        std::int32_t last = -1;
        /// Where among the pieces this pair's manifolds go: one slot per pair
        /// of hulls, maxMeshManifolds for a hull against a fixed body's
        /// concave part. A pair that holds one slot and needs one keeps its
        /// own, written in place; any other takes new ones.
        std::int32_t firstSlot = 0;
        std::int32_t slotCount = 0;
        std::int32_t pieceCount = 0;
        /// The slots of last step's pair of the same bodies.
        std::int32_t lastFirstSlot = 0;
        std::int32_t lastSlotCount = 0;
        /// A carried pair's solve numbers, kept as they were.
        std::int32_t firstConstraint = -1;
        std::int32_t firstPoint = 0;
        std::int32_t island = -1;
        ManifoldCounts counts;
        bool linked = false;
    };

    /// Lists the work in key order, each item with its slots.
    void listWork(const BodyTable& bodies, const std::vector<KeyedCandidate>& candidates);
    /// The first of count free slots in a row, taken; the pieces grow when
    /// no free run is long enough.
    std::int32_t takeSlots(std::int32_t count);
    /// The pairs with manifolds become this step's pairs, written over last
    /// step's (the work holds all it needs of them); the slots of the
    /// others, and those that pairs moved from, are freed.
    void keepPairs(ContactStepStatistics& statistics);
    void collidePair(PairWork& work, const BodyTable& bodies, const ContactBroadPhase& broadPhase, float dt);
    /// One hull of a pair against a fixed body's concave part.
    struct MeshPiece {
        std::size_t pa;
        std::size_t pb;
        const Collision::ConvexHull& hullA;
        const Collision::ConvexHull& hullB;
        /// The part's mesh on the fixed side, null on the other.
        const Collision::TriangleMesh* meshA;
        const Collision::TriangleMesh* meshB;
        const Collision::HullPose& poseA;
        const Collision::HullPose& poseB;
        float margin;
        /// Neither struck this step nor on a moving mesh: the hull may keep
        /// last step's manifolds while it has barely moved (meshReuseDrift).
        bool steady;
    };
    /// A mesh piece's pieces into out, after the work's others.
    void collideMeshPiece(PairWork& work, const MeshPiece& mesh, const PairContact* last,
                          PieceContact* out) const;
    /// Last step's pieces of the mesh piece, with their points moved along
    /// with the hull, into out, when they are all found (searched) and the
    /// hull has moved by less than meshReuseDrift since; false otherwise.
    bool reuseMeshPieces(PairWork& work, const MeshPiece& mesh, const PairContact* last,
                         PieceContact* out) const;
    /// The pair's load (ManifoldCounts::lift) from its points' carried
    /// impulses and last step's load.
    static float carriedLift(const PairWork& work, const PieceContact* out, const BodyTable& bodies,
                             const PairContact* last);
    /// Last step's manifold of hulls pieceA and pieceB of a pair, or null.
    const PieceContact* lastPiece(const PairContact* last, std::int32_t pieceA, std::int32_t pieceB) const;
    /// Whether the work's pair is linked, and its figures, from its manifolds at out.
    static void countManifolds(PairWork& work, const PieceContact* out, float linkDistance, bool bothMovable);
    /// Keeps last step's pair (work.carried) as it was when neither of its
    /// bodies is awake now: its manifolds stay in its slots.
    void carryIfResting(PairWork& work, const BodyTable& bodies);

    /// This step's work (in the stage pages, read only within update), and
    /// the pairs: last step's until the work is done, then this step's,
    /// in the same storage, so that the two are never held at once. The manifolds of
    /// every pair lie in pieces_, each pair's in slots of its own that it
    /// keeps from step to step (a pair's slots may hold fewer manifolds than
    /// there are slots): one copy of the manifolds, which each pair updates
    /// in place. slots_ knows which slots are free.
    PairWork* work_ = nullptr;
    std::size_t workCount_ = 0;
    StagePages& pages() { return sharedPages_ ? *sharedPages_ : ownPages_; }
    StagePages ownPages_;
    StagePages* sharedPages_ = nullptr;
    PairList pairs_;
    ScratchArray<PieceContact> pieces_;
    FreeRuns slots_;
};

} // namespace Tolvane::Physics
