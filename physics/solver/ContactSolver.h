// The contact solver: soft contact constraints over flat arrays, solved with
// sequential impulses in substeps, with Coulomb friction, warm starting and
// restitution.
#pragma once

#include "math/Matrix3.h"
#include "math/Vector3.h"
#include "physics/solver/FreeRuns.h"
#include "physics/solver/ScratchArray.h"
#include "physics/solver/SharedCounter.h"
#include "physics/solver/WideLanes.h"
#include "physics/solver/WorkerPool.h"

#include <array>
#include <cstdint>
#include <vector>

namespace Tolvane::Physics {

/// A movable body as the solver moves it during one step. Fixed bodies have
/// no solver body: constraints name them by noSolverBody. A kinematic body
/// has one with no inverse mass and no inverse inertia, which the passes only
/// read (see kinematicSolverIndex).
struct SolverBody {
    /// The centre of mass as the step begins.
    Math::Vector3 centre;
    /// Velocity of the centre of mass, units per second.
    Math::Vector3 linearVelocity;
    /// Radians per second about world axes.
    Math::Vector3 angularVelocity;
    /// How far the centre of mass has moved since the step began.
    Math::Vector3 deltaPosition;
    /// The turn since the step began, as a rotation vector (small angles add up).
    Math::Vector3 deltaRotation;
    float inverseMass = 0.0f;
    /// World inverse inertia tensor, taken at the start of the step.
    Math::Matrix3 inverseInertia = Math::Matrix3::zero();
};

/// Constraints name a fixed body by this index.
constexpr std::int32_t noSolverBody = -1;

/// How constraints name the kinematic body at place k of the solver's bodies.
/// Such a body moves at its own velocities, untouched by impulses, and may
/// be shared by groups solved at once on several threads: no pass writes it,
/// and its motion within the step (deltaPosition and deltaRotation) is its
/// velocities times the time passed, not what is stored in it.
constexpr std::int32_t kinematicSolverIndex(std::int32_t k)
{
    return -2 - k;
}

/// One contact point handed to the solver, with the impulses it carried last step.
struct ContactPointInput {
    /// World point midway between the two surfaces.
    Math::Vector3 position;
    /// Distance between the surfaces along the normal; negative when they overlap.
    float separation = 0.0f;
    /// Impulses of last step (zero for a new point), to start from.
    float normalImpulse = 0.0f;
    Math::Vector3 tangentImpulse;
};

/// What the solver leaves at a contact point after the step.
struct ContactPointResult {
    float normalImpulse = 0.0f;
    /// Friction impulse as a world vector, so that it carries over to next
    /// step's tangents whatever they are.
    Math::Vector3 tangentImpulse;
    /// The largest normal impulse any pass of the step applied: zero when the
    /// point never touched.
    float maxNormalImpulse = 0.0f;
};

/// Where the solver reads the points of the constraints set without their
/// own (see ContactSolver::readPointsFrom): the caller's manifolds, left
/// where they are rather than copied, which must stay put until each group
/// is prepared.
class ContactPointSource {
  public:
    /// The points of constraint index, of group, with the impulses to start
    /// from, into points (as many as the constraint was set with).
    virtual void readPoints(std::size_t index, std::int32_t group, ContactPointInput* points) const = 0;

  protected:
    ~ContactPointSource() = default;
};

/// One manifold handed to the solver: its two bodies (noSolverBody for a
/// fixed one), the unit normal from A to B its points share, and its points
/// with the impulses they carried last step.
struct ContactManifoldInput {
    std::int32_t indexA = noSolverBody;
    std::int32_t indexB = noSolverBody;
    Math::Vector3 normal;
    const ContactPointInput* points = nullptr;
    int pointCount = 0;
    /// The island, or batch of whole islands, the bodies belong to.
    std::int32_t group = 0;
    /// Orders the contacts of a group for colouring (lower ones first).
    float height = 0.0f;
    /// Penetration this contact leaves alone; negative for its group's.
    float allowedPenetration = -1.0f;
    /// The pair's friction and restitution; negative for the settings'.
    float friction = -1.0f;
    float restitution = -1.0f;
};

/// How soft a constraint is for one substep length (Catto, "Soft Constraints",
/// GDC 2011): the share of the position error removed per second, and how the
/// mass and the accumulated impulse enter the impulse.
struct Softness {
    float biasRate = 0.0f;
    float massScale = 1.0f;
    float impulseScale = 0.0f;
};

/// A spring of the given frequency and damping ratio over substeps of length h.
Softness makeSoftness(float hertz, float dampingRatio, float h);

/// How stiff one group's contacts are: its substep length and the softness
/// of its contacts for that length.
struct ContactStiffness {
    float substep = 0.0f;
    Softness softness;
    /// Softness of contacts with a fixed body.
    Softness fixedSoftness;
    /// Penetration left alone.
    float allowedPenetration = 0.0f;
};

struct ContactSolverSettings {
    float friction = 0.5f;
    float restitution = 0.5f;
    float restitutionThreshold = 1.0f;
    float allowedPenetration = 0.005f;
    /// Whether a constraint may have a friction or restitution of its own
    /// (otherwise every one has the settings').
    bool ownMaterials = false;
    /// Length of one substep.
    float substep = 0.0f;
    Softness softness;
    /// Softness of contacts with a fixed body.
    Softness fixedSoftness;
};

/// One direction of a contact point (the normal or a tangent): the velocity
/// along it is d · (vB − vA) + ωB · angularB − ωA · angularA, and an impulse λ
/// along it turns the bodies by λ turnA and λ turnB. Worked out once per step.
struct ContactSolverRow {
    /// rA × d and rB × d.
    Math::Vector3 angularA;
    Math::Vector3 angularB;
    /// IA⁻¹ (rA × d) and IB⁻¹ (rB × d): zero for a fixed body.
    Math::Vector3 turnA;
    Math::Vector3 turnB;
    /// The mass the pair shows to an impulse along d at the point.
    float mass = 0.0f;
};

class ContactSolver {
  public:
    /// Runs the passes on this pool's threads (null: on the calling thread).
    /// The results are the same for every number of threads.
    void setPool(WorkerPool* pool) { pool_ = pool; }
    /// Keeps the bundles in pages (null: pages of its own) that other stages
    /// of the step may use before the next laying out: what the solver
    /// leaves in the bundles is read only until then.
    void sharePages(StagePages* pages) { sharedPages_ = pages; }

    /// Adds one manifold between bodies manifold.indexA and manifold.indexB
    /// (noSolverBody for a fixed body), its points sharing the unit normal
    /// from A to B. Its group is the island, or batch of whole islands, the
    /// bodies belong to: groups share no movable body and are solved
    /// independently, possibly at once on several threads. Its height orders
    /// the contacts of a group for colouring: lower ones take the earlier
    /// colours, so each pass works from the ground up.
    void add(const ContactManifoldInput& manifold);

    /// add() for callers that know where each constraint goes: resize makes
    /// room for count constraints with points points in all (keeping the
    /// memory from step to step), and set fills constraint index, its points
    /// from firstPoint on. Constraints set side by side on several threads
    /// end as if added in index order.
    void resize(std::size_t count, std::size_t points);
    void set(std::size_t index, std::size_t firstPoint, const ContactManifoldInput& manifold);

    /// With a source, set() keeps no copy of the manifolds' points (their
    /// pointers may be null): prepare reads each constraint's from the
    /// source instead. Null: set() copies them. Chosen before resize.
    void readPointsFrom(const ContactPointSource* source) { pointSource_ = source; }

    /// Effective masses, tangents and the normal velocity before the solve,
    /// from the bodies as the step begins, and the order the passes take
    /// within each of the groupCount groups: arrange, then prepareGroup for
    /// every group.
    void prepare(const std::vector<SolverBody>& bodies, const ContactSolverSettings& settings,
                 std::size_t groupCount = 1);

    /// prepare() in two halves, so that each group can be prepared by the
    /// thread that goes on to solve it, while its data is at hand: arrange
    /// sorts the constraints into their groups and orders each group's, then
    /// each group's prepareGroup prepares its own (groups side by side, or one
    /// spread over the threads with parallel).
    void arrange(const ContactSolverSettings& settings, std::size_t bodyCount, std::size_t groupCount);
    void prepareGroup(const std::vector<SolverBody>& bodies, std::size_t group, bool parallel);

    /// arrange() for callers that number each group's constraints together,
    /// group g's from groupStart[g] up to groupStart[g + 1], and size the
    /// solver with resize: lays the groups out before any constraint is set.
    /// Then each group's constraints are set, orderGroup orders them and
    /// prepareGroup prepares them, all on the thread that goes on to solve
    /// the group, groups side by side.
    void layOutGroups(const ContactSolverSettings& settings, std::size_t bodyCount,
                      const std::vector<std::int32_t>& groupStart);
    void orderGroup(std::size_t group);
    /// Gives group's bundles back, for groups ordered after it to take: once
    /// its passes have run and its results have been read. Groups given back
    /// as they finish need about as many bundles as they hold at once, not
    /// as all of them together.
    void releaseGroup(std::size_t group);
    /// The kinematic bodies among the solver's, from place first on, each
    /// with the turn its anchors take before its velocity at them is worked
    /// out: half its turn over the step. A body it carries then moves along
    /// the chord of the circle its contact point runs on over the step, not
    /// along the circle's tangent, which would carry it a little outward at
    /// every step, off a turning platform in the end. Set before the groups
    /// are prepared.
    /// Over the substeps the velocity of a point turning with the body
    /// turns too, and a body it carries is given that turn substep by
    /// substep, within the reach of its friction: the velocity the passes
    /// see of the kinematic body at a contact is the one at the contact's
    /// middle at the middle of each substep (dt is the step's length).
    void setKinematicTurns(std::size_t first, const std::vector<Math::Matrix3>& turns, float dt)
    {
        kinematicFrom_ = first;
        kinematicTurns_.assign(turns.begin(), turns.end());
        stepMiddle_ = 0.5f * dt;
    }
    /// Gives group its own substep length and contact softness, in place of
    /// the settings' (which every group starts with once laid out); set
    /// before the group is prepared.
    void setGroupStiffness(std::size_t group, const ContactStiffness& stiffness)
    {
        groupStiffness_[group] = stiffness;
    }

    /// The passes below work on one group's constraints. With parallel, each
    /// pass spreads the group's independent constraints over the pool's
    /// threads; without, it runs on the calling thread (which may be one of
    /// several solving other groups). The results are the same either way.

    /// Applies every point's carried impulses again (once per substep).
    void warmStart(std::vector<SolverBody>& bodies, std::size_t group = 0, bool parallel = false);

    /// One pass over every constraint. With useBias, overlaps are pushed out
    /// softly; without, the pass only removes approach velocity (the relax pass
    /// that takes back the push-out's speed). Points still apart are allowed to
    /// close exactly their gap in the substep, either way. elapsed is the time
    /// since the step began, which kinematic bodies have moved for.
    void solve(std::vector<SolverBody>& bodies, bool useBias, std::size_t group = 0, bool parallel = false,
               float elapsed = 0.0f);

    /// After the substeps: points that touched and approached faster than the
    /// threshold before the step get restitution times that speed back, and
    /// their manifolds' friction is solved again within the cone of the
    /// impact's larger normal impulses.
    void applyRestitution(std::vector<SolverBody>& bodies, std::size_t group = 0, bool parallel = false);

    std::size_t constraintCount() const { return constraints_.size(); }
    /// The constraints of one group, after arrange().
    std::size_t groupConstraintCount(std::size_t group) const
    {
        return groupStart_[group + 1] - groupStart_[group];
    }
    /// The indices of one group's constraints, after arrange().
    struct ConstraintList {
        const std::uint32_t* first;
        const std::uint32_t* last;
    };
    ConstraintList groupConstraints(std::size_t group) const
    {
        return {order_.data() + groupStart_[group], order_.data() + groupStart_[group + 1]};
    }
    /// What the step left at point j of constraint i (points in the order they were added).
    ContactPointResult result(std::size_t i, int j) const;

  private:
    /// One point of one lane as prepare() starts it: where it is on each
    /// body, its gap and its carried impulses along its constraint's normal
    /// and tangents. Its rows are then worked out in the lanes.
    struct Point {
        Math::Vector3 anchorA;
        Math::Vector3 anchorB;
        float separation = 0.0f;
        float normalImpulse = 0.0f;
        float tangentImpulse[2] = {0.0f, 0.0f};
    };

    struct Constraint {
        std::int32_t indexA = noSolverBody;
        std::int32_t indexB = noSolverBody;
        Math::Vector3 normal;
        std::int32_t firstPoint = 0;
        std::int32_t pointCount = 0;
        std::int32_t group = 0;
        float height = 0.0f;
        float allowedPenetration = -1.0f;
        float friction = -1.0f;
        float restitution = -1.0f;
        /// Where the passes keep it: bundle × lanesPerBundle + lane.
        std::int32_t slot = 0;
    };

    /// A ContactSolverRow of each lane but its angular parts, rA × d and
    /// rB × d: the passes work those out from the point's anchors, once per
    /// bundle they visit, which keeps the bundles a quarter smaller.
    struct RowLanes {
        Vector3WideLanes turnA;
        Vector3WideLanes turnB;
        WideLanes mass;
    };

    /// Point j of each lane's constraint.
    struct PointLanes {
        /// Where the point is on each body (rA and rB), zero in lanes without it.
        Vector3WideLanes anchorA;
        Vector3WideLanes anchorB;
        RowLanes normal;
        RowLanes tangent[2];
        WideLanes separation;
        WideLanes relativeVelocity;
        WideLanes normalImpulse;
        WideLanes tangentImpulse[2];
        WideLanes maxNormalImpulse;
    };

    static constexpr int lanesPerBundle = WideLanes::width;
    static constexpr int maxPoints = 4;

    /// Up to eight constraints that share no movable body, solved at once, one
    /// per lane. A lane without a constraint has no points and fixed bodies.
    struct Bundle {
        Vector3WideLanes normal;
        Vector3WideLanes tangent[2];
        WideLanes biasRate;
        WideLanes massScale;
        WideLanes impulseScale;
        WideLanes allowedPenetration;
        WideLanes friction;
        WideLanes restitution;
        /// Each lane's number of points, as a float to compare lanes with.
        WideLanes pointCount;
        std::int32_t indexA[lanesPerBundle];
        std::int32_t indexB[lanesPerBundle];
        /// The most points of any lane.
        int points = 0;
        /// Whether a lane has a kinematic body (see kinematicRates_).
        bool kinematic = false;
        PointLanes point[maxPoints];
    };

    /// Colours of one group, solved one after another, each in parallel;
    /// constraints that find no free colour are solved after them on one thread.
    static constexpr int maxColours = 63;
    /// The group's bundles, taken and filled with its constraints in order_,
    /// colour after colour, sizes[c] of colour c.
    void fillBundles(std::size_t group, int colours, const std::array<std::uint32_t, maxColours + 1>& sizes);

    /// Sizes the ordering's scratch and places each group's bundles, once
    /// groupStart_ holds the groups.
    void layOut(std::size_t bodyCount);
    /// The first of count bundles in a row for a group to take.
    std::uint32_t takeBundles(std::uint32_t count);
    /// One past the last bundle the groups of the last step took.
    std::size_t bundlesUsed() const;
    /// Constraint index's points as the step begins, into points.
    void readPoints(std::size_t index, ContactPointInput* points) const;
    /// Prepares bundle k from the lanes listed at its place.
    void prepareBundle(std::size_t k, const std::vector<SolverBody>& bodies,
                       const ContactStiffness& stiffness);
    /// One pass over count bundles in a row (one, or two of one colour).
    void solveBundles(Bundle* bundles, int count, std::vector<SolverBody>& bodies, bool useBias,
                      const ContactStiffness& stiffness, float elapsed) const;
    /// work(bundle) for every bundle of group, colour by colour.
    template <class Work> void forEachInGroup(std::size_t group, bool parallel, Work work);
    /// work(first, count) for the bundles of group, colour by colour, two
    /// in a row at a time where a colour has them (they share no movable
    /// body), the overflow colour's one at a time, as they go in order.
    template <class Work> void forPairsInGroup(std::size_t group, bool parallel, Work work);

    StepVector<Constraint> constraints_;
    WorkerPool* pool_ = nullptr;
    /// Constraints by group, then by colour within the group.
    StepVector<std::uint32_t> order_;
    std::vector<std::uint32_t> groupStart_;
    /// Each group's number of colours.
    std::vector<std::uint32_t> groupColours_;
    /// Each colour's first bundle counted from its group's first, and one
    /// past the last colour's: a group's from its first constraint's place
    /// plus its index on.
    StepVector<std::uint32_t> colourBundleStart_;
    /// Each group's first bundle, taken when the group is ordered.
    std::vector<std::uint32_t> groupBundleStart_;
    /// The bundles free for the groups to take, among the first as many as
    /// there are constraints; when none of those runs is long enough, a group
    /// takes the next ones past them (bundlesBeyond_ counts them), which
    /// groups never give back within the step.
    FreeRuns bundleRuns_;
    SharedCounter bundlesBeyond_;
    // Scratch of the ordering.
    std::vector<std::uint32_t> groupFill_;
    /// The colours each body's constraints took so far.
    StepVector<std::uint64_t> bodyColours_;
    /// Each constraint's colour, times maxPoints, plus its place by point
    /// count within the colour.
    StepVector<std::uint16_t> colourOf_;
    /// Height and index of each constraint, in group order.
    StepVector<std::uint64_t> sortKeys_;
    /// Each bundle's constraints by lane (-1: none), at the bundle's place,
    /// apart from the bundles themselves so that ordering touches little
    /// memory. Written by the ordering before prepare() reads them.
    ScratchArray<std::array<std::int32_t, lanesPerBundle>> bundleLanes_;
    /// In the stage pages: prepare() fills every field of the bundles in use.
    Bundle* bundles_ = nullptr;
    StagePages& pages() { return sharedPages_ ? *sharedPages_ : ownPages_; }
    StagePages ownPages_;
    StagePages* sharedPages_ = nullptr;
    /// For each bundle with a kinematic lane, at the bundle's place: how fast
    /// the velocity of each lane's kinematic body (on side A, then B) at the
    /// middle of the contact turns, ω × (ω × r), zero for other lanes. Apart
    /// from the bundles, which it would make larger for every scene.
    struct KinematicRates {
        Vector3WideLanes a;
        Vector3WideLanes b;
    };
    ScratchArray<KinematicRates> kinematicRates_;
    /// The carried impulses of every point as added, until prepare() reads
    /// them; empty with a point source.
    StepVector<ContactPointInput> inputs_;
    const ContactPointSource* pointSource_ = nullptr;
    ContactSolverSettings settings_;
    /// Each group's substep and softness.
    std::vector<ContactStiffness> groupStiffness_;
    /// The kinematic bodies' half turns, from solver body kinematicFrom_ on.
    std::size_t kinematicFrom_ = 0;
    std::vector<Math::Matrix3> kinematicTurns_;
    float stepMiddle_ = 0.0f;
};

} // namespace Tolvane::Physics
