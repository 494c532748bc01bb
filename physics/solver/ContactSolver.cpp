// Soft contact constraints solved with sequential impulses (Catto, "Solver2D"
// and "Soft Constraints", GDC 2011; Macklin et al., "Small Steps in Physics
// Simulation", 2019).
#include "physics/solver/ContactSolver.h"

#include "physics/solver/SolverConstants.h"
#include "physics/solver/WritePrefetch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

namespace Tolvane::Physics {

using Math::cross;
using Math::dot;
using Math::Vector3;

namespace {

constexpr float pi = 3.14159265358979f;

/// Two unit tangents completing the normal to a right-handed frame. The first
/// is built from the world axis least aligned with the normal, so that nearly
/// equal normals get nearly equal tangents.
void tangentsOf(const Vector3& n, Vector3& t1, Vector3& t2)
{
    const Vector3 axis = std::fabs(n.x) < 0.57735f ? Vector3(1.0f, 0.0f, 0.0f) : Vector3(0.0f, 1.0f, 0.0f);
    t1 = cross(n, axis);
    t1 = t1 * (1.0f / t1.length());
    t2 = cross(n, t1);
}

} // namespace

Softness makeSoftness(float hertz, float dampingRatio, float h)
{
    if (hertz == 0.0f)
        return {0.0f, 1.0f, 0.0f};
    const float omega = 2.0f * pi * hertz;
    const float a1 = 2.0f * dampingRatio + h * omega;
    const float a2 = h * omega * a1;
    const float a3 = 1.0f / (1.0f + a2);
    return {omega / a1, a2 * a3, a3};
}

namespace {

/// A fixed body as the passes see it: no mass, no motion. Shared, read only,
/// so that no pass builds one per constraint.
const SolverBody& bodyAt(const std::vector<SolverBody>& bodies, std::int32_t index)
{
    static const SolverBody fixedBody;
    if (index >= 0)
        return bodies[index];
    return index == noSolverBody ? fixedBody : bodies[-2 - index];
}

/// How many constraints the passes work on at once, one per lane.
constexpr int laneCount = WideLanes::width;

/// Lanes of floats, lane l holding pick(l).
template <class Pick> WideLanes floatLanes(Pick pick)
{
    float values[laneCount];
    for (int lane = 0; lane < laneCount; ++lane)
        values[lane] = pick(lane);
    return WideLanes::load(values);
}

/// Lanes of vectors, lane l holding pick(l).
template <class Pick> Vector3WideLanes vectorLanes(Pick pick)
{
    float x[laneCount], y[laneCount], z[laneCount];
    for (int lane = 0; lane < laneCount; ++lane) {
        const Vector3 v = pick(lane);
        x[lane] = v.x;
        y[lane] = v.y;
        z[lane] = v.z;
    }
    return {WideLanes::load(x), WideLanes::load(y), WideLanes::load(z)};
}

/// Each lane of a vector, out of the lanes.
struct Vector3Values {
    float x[laneCount], y[laneCount], z[laneCount];

    explicit Vector3Values(const Vector3WideLanes& lanes)
    {
        lanes.x.store(x);
        lanes.y.store(y);
        lanes.z.store(z);
    }
    Vector3 operator[](int lane) const { return {x[lane], y[lane], z[lane]}; }
};

/// One side of each lane's constraint, copied out of the bodies for the
/// length of a bundle's work: held in locals, they need no reloading after
/// every impulse.
struct BodyLanes {
    Vector3WideLanes linearVelocity;
    Vector3WideLanes angularVelocity;
    WideLanes inverseMass;

    BodyLanes() = default;
    BodyLanes(const std::vector<SolverBody>& bodies, const std::int32_t (&index)[laneCount])
    {
        const SolverBody* body[laneCount];
        for (int lane = 0; lane < laneCount; ++lane)
            body[lane] = &bodyAt(bodies, index[lane]);
        linearVelocity = vectorLanes([&](int lane) { return body[lane]->linearVelocity; });
        angularVelocity = vectorLanes([&](int lane) { return body[lane]->angularVelocity; });
        inverseMass = floatLanes([&](int lane) { return body[lane]->inverseMass; });
    }

    void storeInto(std::vector<SolverBody>& bodies, const std::int32_t (&index)[laneCount]) const
    {
        const Vector3Values linear(linearVelocity);
        const Vector3Values angular(angularVelocity);
        for (int lane = 0; lane < laneCount; ++lane)
            if (index[lane] >= 0) {
                bodies[index[lane]].linearVelocity = linear[lane];
                bodies[index[lane]].angularVelocity = angular[lane];
            }
    }
};

/// Both bodies of every lane, with the same sums in the same order as one
/// constraint's work on plain floats.
struct PairLanes {
    BodyLanes a;
    BodyLanes b;

    WideLanes along(const Vector3WideLanes& angularA, const Vector3WideLanes& angularB,
                    const Vector3WideLanes& d) const
    {
        return dot(d, b.linearVelocity - a.linearVelocity) + dot(b.angularVelocity, angularB) -
               dot(a.angularVelocity, angularA);
    }

    /// An impulse along d at a row's point. Lanes that must not change get a
    /// zero impulse, which leaves their velocities as they are (up to the
    /// sign of a zero).
    void apply(const Vector3WideLanes& turnA, const Vector3WideLanes& turnB, const Vector3WideLanes& d,
               WideLanes impulse)
    {
        a.linearVelocity = a.linearVelocity - d * (impulse * a.inverseMass);
        a.angularVelocity = a.angularVelocity - turnA * impulse;
        b.linearVelocity = addTo(b.linearVelocity, d * (impulse * b.inverseMass));
        b.angularVelocity = addTo(b.angularVelocity, turnB * impulse);
    }

    static Vector3WideLanes addTo(const Vector3WideLanes& v, const Vector3WideLanes& w)
    {
        return {v.x + w.x, v.y + w.y, v.z + w.z};
    }
};

/// A float's place in the order of floats, as an unsigned integer: negative
/// numbers flipped below the positive ones, both zeros alike, NaN above all.
std::uint32_t orderedBits(float value)
{
    if (std::isnan(value))
        value = std::numeric_limits<float>::infinity();
    if (value == 0.0f)
        value = 0.0f;
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

/// A constraint's key among its group's: lowest first, equal heights in the
/// order added (the height and the index make one integer, so that the sort
/// is quick and its order total even for a NaN height, taken as the highest).
std::uint64_t sortKey(float height, std::size_t index)
{
    return std::uint64_t{orderedBits(height)} << 32 | index;
}

/// The index of the lowest set bit of a non-zero word.
int lowestSetBit(std::uint64_t word)
{
    int index = 0;
    while ((word & 1) == 0) {
        word >>= 1;
        ++index;
    }
    return index;
}

/// Every lane set.
WideLanes everyLane()
{
    return WideLanes(0.0f) <= WideLanes(0.0f);
}

/// Lanes whose index is below count.
WideLanes lanesBelow(int index, WideLanes count)
{
    return WideLanes(static_cast<float>(index)) < count;
}

/// The most bundles a pass works on side by side.
constexpr int sideBySide = 2;

/// Sweeps the points of the manifolds of count bundles (at most sideBySide)
/// side by side, in the lanes of lanes[s] of bundle s: sweepPoint(s, j,
/// live, largestChange, largestImpulse) works point j of bundle s in the
/// lanes of live. A lane with one point is swept once; a manifold until a
/// sweep changed no impulse by more than settledSweepShare of the largest,
/// or manifoldSweeps times. The bundles share no movable body, and each
/// gets the calls it would get alone, in the same order: working their
/// points in turn only gives the core two chains of impulses to overlap.
template <class Pass, class SweepPoint>
void sweepManifolds(const Pass* passes, const WideLanes* lanes, int count, SweepPoint sweepPoint)
{
    const WideLanes zero(0.0f);
    const WideLanes settledShare(settledSweepShare);
    WideLanes several[sideBySide];
    WideLanes sweeping[sideBySide];
    for (int s = 0; s < count; ++s) {
        several[s] = WideLanes(1.0f) < passes[s].bundle->pointCount;
        sweeping[s] = lanes[s] & (zero < passes[s].bundle->pointCount);
    }
    for (int sweep = 0; sweep < manifoldSweeps; ++sweep) {
        bool going[sideBySide] = {};
        int points = 0;
        for (int s = 0; s < count; ++s) {
            going[s] = anyOf(sweeping[s]);
            points = going[s] ? std::max(points, passes[s].bundle->points) : points;
        }
        if (points == 0)
            return;
        WideLanes largestChange[sideBySide];
        WideLanes largestImpulse[sideBySide];
        for (int j = 0; j < points; ++j)
            for (int s = 0; s < count; ++s)
                if (going[s] && j < passes[s].bundle->points)
                    sweepPoint(s, j, sweeping[s] & lanesBelow(j, passes[s].bundle->pointCount),
                               largestChange[s], largestImpulse[s]);
        for (int s = 0; s < count; ++s)
            if (going[s])
                sweeping[s] =
                    andNot(sweeping[s] & several[s], largestChange[s] <= settledShare * largestImpulse[s]);
    }
}

} // namespace

void ContactSolver::add(const ContactManifoldInput& manifold)
{
    const std::size_t index = constraints_.size();
    const std::size_t firstPoint = inputs_.size();
    resize(index + 1, firstPoint + static_cast<std::size_t>(manifold.pointCount));
    set(index, firstPoint, manifold);
}

void ContactSolver::resize(std::size_t count, std::size_t points)
{
    constraints_.resize(count);
    inputs_.resize(pointSource_ ? 0 : points);
    sortKeys_.resize(count);
}

void ContactSolver::set(std::size_t index, std::size_t firstPoint, const ContactManifoldInput& manifold)
{
    Constraint& constraint = constraints_[index];
    constraint.group = manifold.group;
    constraint.height = manifold.height;
    constraint.allowedPenetration = manifold.allowedPenetration;
    constraint.friction = manifold.friction;
    constraint.restitution = manifold.restitution;
    constraint.indexA = manifold.indexA;
    constraint.indexB = manifold.indexB;
    constraint.normal = manifold.normal;
    constraint.firstPoint = static_cast<std::int32_t>(firstPoint);
    constraint.pointCount = manifold.pointCount;
    if (!pointSource_)
        std::copy(manifold.points, manifold.points + manifold.pointCount,
                  inputs_.begin() + static_cast<std::ptrdiff_t>(firstPoint));
    // Where the constraint's sort key goes when its group's constraints are
    // numbered together; arrange() places the keys itself otherwise.
    sortKeys_[index] = sortKey(manifold.height, index);
}

void ContactSolver::prepare(const std::vector<SolverBody>& bodies, const ContactSolverSettings& settings,
                            std::size_t groupCount)
{
    arrange(settings, bodies.size(), groupCount);
    for (std::size_t g = 0; g < groupCount; ++g)
        prepareGroup(bodies, g, true);
}

void ContactSolver::prepareGroup(const std::vector<SolverBody>& bodies, std::size_t group, bool parallel)
{
    const std::uint32_t bundlesFrom = groupBundleStart_[group];
    // On several threads another thread may have written a bundle's lines
    // last (the bundles go to other groups from step to step): the next
    // bundle's are asked for while this one is prepared.
    const bool shared = pool_ && pool_->threads() > 1;
    const auto run = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            if (shared && k + 1 < to)
                prefetchObjectForWrite(&bundles_[bundlesFrom + k + 1], sizeof(Bundle));
            prepareBundle(bundlesFrom + k, bodies, groupStiffness_[group]);
        }
    };
    const std::size_t count = colourBundleStart_[groupStart_[group] + group + groupColours_[group]];
    if (parallel && pool_)
        pool_->forEachEven(count, bundlesPerTask, run);
    else
        run(0, count);
}

namespace {

/// The middle of a constraint's points.
template <class Constraint> Vector3 middleOf(const Constraint& c, const ContactPointInput* inputs)
{
    Vector3 middle;
    for (int j = 0; j < c.pointCount; ++j)
        middle += inputs[j].position;
    return c.pointCount > 0 ? middle * (1.0f / static_cast<float>(c.pointCount)) : middle;
}

/// What a lane's constraint starts the step with besides its points: the
/// softness of its kind of contact and its tangents.
struct LaneStart {
    Softness softness;
    Vector3 tangent[2];
};

/// One constraint's tangents and its points' anchors and carried impulses
/// (into points) as the step begins, and the softness of its kind of contact.
template <class Constraint, class Point, std::size_t maxPoints, class AnchorOf>
LaneStart prepareConstraint(Constraint& c, const std::vector<SolverBody>& bodies,
                            const ContactPointInput* inputs, const ContactStiffness& stiffness,
                            const AnchorOf& anchorOf, Point (&points)[maxPoints])
{
    const bool fixedA = c.indexA == noSolverBody;
    const bool fixedB = c.indexB == noSolverBody;
    const SolverBody& a = bodyAt(bodies, c.indexA);
    const SolverBody& b = bodyAt(bodies, c.indexB);
    LaneStart start;
    tangentsOf(c.normal, start.tangent[0], start.tangent[1]);
    const bool kinematic = c.indexA < noSolverBody || c.indexB < noSolverBody;
    const Vector3 middle = kinematic ? middleOf(c, inputs) : Vector3();
    for (int j = 0; j < c.pointCount; ++j) {
        const ContactPointInput& in = inputs[j];
        Point& p = points[j];
        // A fixed body never turns, so its anchor only has to be finite.
        p.anchorA = fixedA ? Vector3() : anchorOf(c.indexA, in.position - a.centre, middle - a.centre);
        p.anchorB = fixedB ? Vector3() : anchorOf(c.indexB, in.position - b.centre, middle - b.centre);
        p.separation = in.separation;
        p.normalImpulse = in.normalImpulse;
        p.tangentImpulse[0] = dot(in.tangentImpulse, start.tangent[0]);
        p.tangentImpulse[1] = dot(in.tangentImpulse, start.tangent[1]);
    }
    // A kinematic body gives way no more than a fixed one.
    start.softness = c.indexA < 0 || c.indexB < 0 ? stiffness.fixedSoftness : stiffness.softness;
    return start;
}

/// The lanes' constraints (empty ones for lanes without), their softness
/// and tangents into the bundle's own fields.
template <class Bundle, class Constraint>
void packConstraints(Bundle& bundle, const Constraint* const* lanes, const LaneStart* starts,
                     float groupAllowedPenetration, const ContactSolverSettings& settings)
{
    const auto vectors = [&](auto field) {
        return vectorLanes([&](int lane) { return field(*lanes[lane]); });
    };
    const auto floats = [&](auto field) { return floatLanes([&](int lane) { return field(*lanes[lane]); }); };
    const auto soft = [&](auto field) {
        return floatLanes([&](int lane) { return field(starts[lane].softness); });
    };
    for (int lane = 0; lane < laneCount; ++lane) {
        bundle.indexA[lane] = lanes[lane]->indexA;
        bundle.indexB[lane] = lanes[lane]->indexB;
    }
    bundle.normal = vectors([](const Constraint& c) { return c.normal; });
    bundle.tangent[0] = vectorLanes([&](int lane) { return starts[lane].tangent[0]; });
    bundle.tangent[1] = vectorLanes([&](int lane) { return starts[lane].tangent[1]; });
    bundle.biasRate = soft([](const Softness& s) { return s.biasRate; });
    bundle.massScale = soft([](const Softness& s) { return s.massScale; });
    bundle.impulseScale = soft([](const Softness& s) { return s.impulseScale; });
    bundle.allowedPenetration = floats([&](const Constraint& c) {
        return c.allowedPenetration < 0.0f ? groupAllowedPenetration : c.allowedPenetration;
    });
    bundle.friction =
        floats([&](const Constraint& c) { return c.friction < 0.0f ? settings.friction : c.friction; });
    bundle.restitution = floats(
        [&](const Constraint& c) { return c.restitution < 0.0f ? settings.restitution : c.restitution; });
    bundle.kinematic = false;
    for (int lane = 0; lane < laneCount; ++lane)
        bundle.kinematic =
            bundle.kinematic || lanes[lane]->indexA < noSolverBody || lanes[lane]->indexB < noSolverBody;
    bundle.pointCount = floats([](const Constraint& c) { return static_cast<float>(c.pointCount); });
}

/// What prepare() reads of each lane's body on one side: what the passes
/// read, and the world inverse inertia.
struct PreparedBodyLanes : BodyLanes {
    /// The world inverse inertia's columns.
    Vector3WideLanes inverseInertia[3];

    PreparedBodyLanes(const std::vector<SolverBody>& bodies, const std::int32_t (&index)[laneCount])
        : BodyLanes(bodies, index)
    {
        for (int column = 0; column < 3; ++column)
            inverseInertia[column] = vectorLanes(
                [&](int lane) { return bodyAt(bodies, index[lane]).inverseInertia.column[column]; });
    }

    /// The inverse inertia times v, with Matrix3's sums in Matrix3's order.
    Vector3WideLanes turn(const Vector3WideLanes& v) const
    {
        const Vector3WideLanes(&m)[3] = inverseInertia;
        return {m[0].x * v.x + m[1].x * v.y + m[2].x * v.z, m[0].y * v.x + m[1].y * v.y + m[2].y * v.z,
                m[0].z * v.x + m[1].z * v.y + m[2].z * v.z};
    }
};

/// a × b in every lane, as Math::cross.
Vector3WideLanes crossOf(const Vector3WideLanes& a, const Vector3WideLanes& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Vector3WideLanes maskedBy(const Vector3WideLanes& v, WideLanes mask)
{
    return {v.x & mask, v.y & mask, v.z & mask};
}

/// One row of every lane along d at anchors rA and rB, zero in the lanes
/// outside has: the sums and their order are those of one row on plain floats.
template <class RowLanes>
RowLanes rowLanes(const PreparedBodyLanes& a, const PreparedBodyLanes& b, const Vector3WideLanes& rA,
                  const Vector3WideLanes& rB, const Vector3WideLanes& d, WideLanes has)
{
    const Vector3WideLanes angularA = crossOf(rA, d);
    const Vector3WideLanes angularB = crossOf(rB, d);
    const Vector3WideLanes turnA = a.turn(angularA);
    const Vector3WideLanes turnB = b.turn(angularB);
    const WideLanes zero(0.0f);
    const WideLanes k = a.inverseMass + b.inverseMass + dot(angularA, turnA) + dot(angularB, turnB);
    const WideLanes positive = k > zero;
    const WideLanes mass = select(positive, WideLanes(1.0f) / select(positive, k, WideLanes(1.0f)), zero);
    return {maskedBy(turnA, has), maskedBy(turnB, has), mass & has};
}

/// The angular parts of one row in every lane, rA × d and rB × d, zero in
/// the lanes outside has: the values the row's preparation worked with.
struct RowAngulars {
    Vector3WideLanes a;
    Vector3WideLanes b;
};
RowAngulars rowAngulars(const Vector3WideLanes& rA, const Vector3WideLanes& rB, const Vector3WideLanes& d,
                        WideLanes has)
{
    return {maskedBy(crossOf(rA, d), has), maskedBy(crossOf(rB, d), has)};
}

/// The angular parts of the rows of a bundle's points, worked out from their
/// anchors when a pass takes the bundle.
template <int points> struct BundleAngulars {
    RowAngulars normal[points];
    RowAngulars tangent[2][points];
};
template <class Bundle, int points> void normalAngulars(const Bundle& bundle, BundleAngulars<points>& out)
{
    for (int j = 0; j < bundle.points; ++j) {
        const auto& p = bundle.point[j];
        out.normal[j] = rowAngulars(p.anchorA, p.anchorB, bundle.normal, lanesBelow(j, bundle.pointCount));
    }
}
template <class Bundle, int points> void tangentAngulars(const Bundle& bundle, BundleAngulars<points>& out)
{
    for (int j = 0; j < bundle.points; ++j) {
        const auto& p = bundle.point[j];
        const WideLanes has = lanesBelow(j, bundle.pointCount);
        out.tangent[0][j] = rowAngulars(p.anchorA, p.anchorB, bundle.tangent[0], has);
        out.tangent[1][j] = rowAngulars(p.anchorA, p.anchorB, bundle.tangent[1], has);
    }
}

/// Point j of every lane (points[lane][j]) into the bundle's point j: its
/// rows, worked out in the lanes, and what it carried. Lanes without a point
/// j get zeros.
template <class Bundle, class Point, std::size_t maxPoints>
void packPoint(Bundle& bundle, const PreparedBodyLanes& a, const PreparedBodyLanes& b,
               const Point (*points)[maxPoints], int j)
{
    auto& out = bundle.point[j];
    const WideLanes has = lanesBelow(j, bundle.pointCount);
    const auto floats = [&](auto field) {
        return floatLanes([&](int lane) { return field(points[lane][j]); }) & has;
    };
    const Vector3WideLanes rA = vectorLanes([&](int lane) { return points[lane][j].anchorA; });
    const Vector3WideLanes rB = vectorLanes([&](int lane) { return points[lane][j].anchorB; });
    using Row = decltype(out.normal);
    out.anchorA = maskedBy(rA, has);
    out.anchorB = maskedBy(rB, has);
    out.normal = rowLanes<Row>(a, b, rA, rB, bundle.normal, has);
    out.tangent[0] = rowLanes<Row>(a, b, rA, rB, bundle.tangent[0], has);
    out.tangent[1] = rowLanes<Row>(a, b, rA, rB, bundle.tangent[1], has);
    out.separation = floats([](const Point& p) { return p.separation; });
    // The normal velocity before the solve, for restitution.
    const RowAngulars normal = rowAngulars(out.anchorA, out.anchorB, bundle.normal, has);
    out.relativeVelocity = (dot(bundle.normal, b.linearVelocity - a.linearVelocity) +
                            dot(b.angularVelocity, normal.b) - dot(a.angularVelocity, normal.a)) &
                           has;
    out.normalImpulse = floats([](const Point& p) { return p.normalImpulse; });
    out.tangentImpulse[0] = floats([](const Point& p) { return p.tangentImpulse[0]; });
    out.tangentImpulse[1] = floats([](const Point& p) { return p.tangentImpulse[1]; });
    out.maxNormalImpulse = WideLanes(0.0f);
}

} // namespace

// Works out each lane's constraint as one would on plain floats, then puts
// the values into the lanes. Empty lanes and points get zeros: they are
// computed with, and their results dropped.
void ContactSolver::readPoints(std::size_t index, ContactPointInput* points) const
{
    const Constraint& c = constraints_[index];
    if (pointSource_) {
        pointSource_->readPoints(index, c.group, points);
        return;
    }
    std::copy(inputs_.begin() + c.firstPoint, inputs_.begin() + c.firstPoint + c.pointCount, points);
}

void ContactSolver::prepareBundle(std::size_t k, const std::vector<SolverBody>& bodies,
                                  const ContactStiffness& stiffness)
{
    Bundle& bundle = bundles_[k];
    // A kinematic body's anchor r is turned with the contact's middle by
    // half its turn over the step: the points keep their places about the
    // middle, as the body they touch is rigid and cannot follow the turning
    // body's points closing in on its centre.
    const auto anchorOf = [this](std::int32_t index, const Vector3& r, const Vector3& middle) {
        if (index >= noSolverBody)
            return r;
        return kinematicTurns_[static_cast<std::size_t>(-2 - index) - kinematicFrom_] * middle + (r - middle);
    };
    const Constraint empty;
    const Constraint* lanes[lanesPerBundle];
    Point points[lanesPerBundle][maxPoints];
    ContactPointInput inputs[lanesPerBundle][maxPoints];
    LaneStart starts[lanesPerBundle];
    bundle.points = 0;
    for (int lane = 0; lane < lanesPerBundle; ++lane) {
        const std::int32_t index = bundleLanes_[k][lane];
        if (index < 0) {
            lanes[lane] = &empty;
            starts[lane].softness = {0.0f, 0.0f, 0.0f};
            continue;
        }
        Constraint& c = constraints_[index];
        c.slot = static_cast<std::int32_t>(k * lanesPerBundle + static_cast<std::size_t>(lane));
        lanes[lane] = &c;
        readPoints(static_cast<std::size_t>(index), inputs[lane]);
        starts[lane] = prepareConstraint(c, bodies, inputs[lane], stiffness, anchorOf, points[lane]);
        bundle.points = std::max(bundle.points, static_cast<int>(c.pointCount));
    }
    packConstraints(bundle, lanes, starts, stiffness.allowedPenetration, settings_);
    if (bundle.kinematic) {
        Vector3 rateA[lanesPerBundle];
        Vector3 rateB[lanesPerBundle];
        for (int lane = 0; lane < lanesPerBundle; ++lane) {
            const Constraint& c = *lanes[lane];
            const Vector3 middle = middleOf(c, inputs[lane]);
            const auto rate = [&](std::int32_t index) {
                if (index >= noSolverBody)
                    return Vector3();
                const SolverBody& body = bodyAt(bodies, index);
                const Vector3 r = middle - body.centre;
                return cross(body.angularVelocity, cross(body.angularVelocity, anchorOf(index, r, r)));
            };
            rateA[lane] = rate(c.indexA);
            rateB[lane] = rate(c.indexB);
        }
        kinematicRates_[k] = {vectorLanes([&](int lane) { return rateA[lane]; }),
                              vectorLanes([&](int lane) { return rateB[lane]; })};
    }
    // Points missing from a lane (or beyond every lane's) stay zero.
    const PreparedBodyLanes bodyA(bodies, bundle.indexA);
    const PreparedBodyLanes bodyB(bodies, bundle.indexB);
    for (int j = 0; j < maxPoints; ++j)
        packPoint(bundle, bodyA, bodyB, points, j);
}

// A fixed body is a zero body of its own in every pass below: with no inverse
// mass and no inverse inertia its velocities stay zero whatever is applied to
// it, so no path needs to ask which body is fixed. A kinematic body likewise
// keeps its velocities, and no pass stores them back.
void ContactSolver::warmStart(std::vector<SolverBody>& bodies, std::size_t group, bool parallel)
{
    // Two bundles of a colour at a time, their points in turn: each bundle's
    // bodies take the same impulses in the same order as alone.
    forPairsInGroup(group, parallel, [&](Bundle* bundles, int count) {
        PairLanes pairs[sideBySide];
        int points = 0;
        for (int s = 0; s < count; ++s) {
            pairs[s] = PairLanes{BodyLanes(bodies, bundles[s].indexA), BodyLanes(bodies, bundles[s].indexB)};
            points = std::max(points, bundles[s].points);
        }
        for (int j = 0; j < points; ++j)
            for (int s = 0; s < count; ++s) {
                const Bundle& bundle = bundles[s];
                if (j >= bundle.points)
                    continue;
                const PointLanes& p = bundle.point[j];
                const WideLanes has = lanesBelow(j, bundle.pointCount);
                PairLanes& pair = pairs[s];
                pair.apply(p.normal.turnA, p.normal.turnB, bundle.normal, p.normalImpulse & has);
                pair.apply(p.tangent[0].turnA, p.tangent[0].turnB, bundle.tangent[0],
                           p.tangentImpulse[0] & has);
                pair.apply(p.tangent[1].turnA, p.tangent[1].turnB, bundle.tangent[1],
                           p.tangentImpulse[1] & has);
            }
        for (int s = 0; s < count; ++s) {
            pairs[s].a.storeInto(bodies, bundles[s].indexA);
            pairs[s].b.storeInto(bodies, bundles[s].indexB);
        }
    });
}

void ContactSolver::solve(std::vector<SolverBody>& bodies, bool useBias, std::size_t group, bool parallel,
                          float elapsed)
{
    const ContactStiffness& stiffness = groupStiffness_[group];
    forPairsInGroup(group, parallel, [&](Bundle* bundles, int count) {
        solveBundles(bundles, count, bodies, useBias, stiffness, elapsed);
    });
}

namespace {

/// What each point's gap asks of its normal impulse in one pass: the
/// velocity to reach (bias) and the soft scales of the mass and of the
/// impulse already applied.
template <int points> struct GapTerms {
    WideLanes bias[points];
    WideLanes massScale[points];
    WideLanes impulseScale[points];
};

/// How far each lane's two bodies have moved and turned since the step began.
struct LaneMotion {
    Vector3WideLanes positionA;
    Vector3WideLanes rotationA;
    Vector3WideLanes positionB;
    Vector3WideLanes rotationB;
};
template <class Bundle>
LaneMotion kinematicMotion(const Bundle& bundle, const SolverBody* const (&a)[laneCount],
                           const SolverBody* const (&b)[laneCount], float elapsed);
template <class Bundle, int points>
void gapTermsFrom(const Bundle& bundle, const BundleAngulars<points>& angulars, const LaneMotion& motion,
                  const ContactStiffness& stiffness, bool useBias, GapTerms<points>& terms);

/// What the bodies of each lane of a bundle moved since the step began.
template <class Bundle>
LaneMotion laneMotion(const Bundle& bundle, const std::vector<SolverBody>& bodies, float elapsed)
{
    const SolverBody* a[laneCount];
    const SolverBody* b[laneCount];
    for (int lane = 0; lane < laneCount; ++lane) {
        a[lane] = &bodyAt(bodies, bundle.indexA[lane]);
        b[lane] = &bodyAt(bodies, bundle.indexB[lane]);
    }
    if (bundle.kinematic)
        return kinematicMotion(bundle, a, b, elapsed);
    return {vectorLanes([&](int lane) { return a[lane]->deltaPosition; }),
            vectorLanes([&](int lane) { return a[lane]->deltaRotation; }),
            vectorLanes([&](int lane) { return b[lane]->deltaPosition; }),
            vectorLanes([&](int lane) { return b[lane]->deltaRotation; })};
}

/// laneMotion for a bundle with a kinematic lane: a kinematic body has moved
/// at its velocities for the time passed (elapsed), not as its solver body says.
template <class Bundle>
LaneMotion kinematicMotion(const Bundle& bundle, const SolverBody* const (&a)[laneCount],
                           const SolverBody* const (&b)[laneCount], float elapsed)
{
    Vector3 position[2][laneCount];
    Vector3 rotation[2][laneCount];
    for (int lane = 0; lane < laneCount; ++lane)
        for (int side = 0; side < 2; ++side) {
            const SolverBody& body = side == 0 ? *a[lane] : *b[lane];
            const bool kinematic = (side == 0 ? bundle.indexA[lane] : bundle.indexB[lane]) < noSolverBody;
            position[side][lane] = kinematic ? body.linearVelocity * elapsed : body.deltaPosition;
            rotation[side][lane] = kinematic ? body.angularVelocity * elapsed : body.deltaRotation;
        }
    const auto lanes = [](const Vector3(&v)[laneCount]) {
        return vectorLanes([&](int lane) { return v[lane]; });
    };
    return {lanes(position[0]), lanes(rotation[0]), lanes(position[1]), lanes(rotation[1])};
}

/// The gap terms of each point of a bundle, from its gap at the step's start
/// and what its bodies moved along the normal since (small-angle turns).
template <class Bundle, int points>
void gapTermsFrom(const Bundle& bundle, const BundleAngulars<points>& angulars, const LaneMotion& motion,
                  const ContactStiffness& stiffness, bool useBias, GapTerms<points>& terms)
{
    const WideLanes zero(0.0f);
    const WideLanes one(1.0f);
    const WideLanes inverseSubstep(1.0f / stiffness.substep);
    const WideLanes slop = bundle.allowedPenetration;
    const WideLanes slowestPushOut(-maxPushOutSpeed);

    const Vector3WideLanes moved = motion.positionB - motion.positionA;
    for (int j = 0; j < bundle.points; ++j) {
        const auto& p = bundle.point[j];
        const WideLanes s = p.separation + dot(bundle.normal, moved) +
                            dot(motion.rotationB, angulars.normal[j].b) -
                            dot(motion.rotationA, angulars.normal[j].a);
        const WideLanes open = s > zero;
        if (useBias) {
            const WideLanes pushOut = maxOf(bundle.biasRate * minOf(zero, s + slop), slowestPushOut);
            terms.bias[j] = select(open, s * inverseSubstep, pushOut);
            terms.massScale[j] = select(open, one, bundle.massScale);
            terms.impulseScale[j] = select(open, zero, bundle.impulseScale);
        } else {
            terms.bias[j] = select(open, s * inverseSubstep, zero);
            terms.massScale[j] = one;
            terms.impulseScale[j] = zero;
        }
    }
}

/// One bundle's work in a pass: its bodies' velocities in lanes, the angular
/// parts of its rows, and what its gaps ask of its normal impulses.
template <class Bundle, int points> struct BundlePass {
    Bundle* bundle = nullptr;
    PairLanes pair;
    BundleAngulars<points> angulars;
    GapTerms<points> terms;
};

/// Every lane's normal impulses of count bundles, swept point by point until they settle.
template <class Pass> void sweepNormals(Pass* passes, int count)
{
    const WideLanes zero(0.0f);
    WideLanes lanes[sideBySide];
    std::fill(lanes, lanes + sideBySide, everyLane());
    sweepManifolds(passes, lanes, count,
                   [&](int s, int j, WideLanes live, WideLanes& largestChange, WideLanes& largestImpulse) {
                       auto& bundle = *passes[s].bundle;
                       PairLanes& pair = passes[s].pair;
                       const RowAngulars& angular = passes[s].angulars.normal[j];
                       const auto& terms = passes[s].terms;
                       auto& p = bundle.point[j];
                       const WideLanes vn = pair.along(angular.a, angular.b, bundle.normal);
                       const WideLanes impulse = -p.normal.mass * terms.massScale[j] * (vn + terms.bias[j]) -
                                                 terms.impulseScale[j] * p.normalImpulse;
                       const WideLanes accumulated = maxOf(p.normalImpulse + impulse, zero);
                       const WideLanes applied = (accumulated - p.normalImpulse) & live;
                       p.normalImpulse = select(live, accumulated, p.normalImpulse);
                       p.maxNormalImpulse =
                           select(live, maxOf(p.maxNormalImpulse, accumulated), p.maxNormalImpulse);
                       pair.apply(p.normal.turnA, p.normal.turnB, bundle.normal, applied);
                       largestChange = maxOf(largestChange, absOf(applied));
                       largestImpulse = maxOf(largestImpulse, accumulated & live);
                   });
}

/// The friction impulses of count bundles in lanes[s] of bundle s, swept
/// like the normal ones.
template <class Pass> void sweepFriction(Pass* passes, const WideLanes* lanes, int count)
{
    const WideLanes zero(0.0f);
    sweepManifolds(passes, lanes, count,
                   [&](int s, int j, WideLanes live, WideLanes& largestChange, WideLanes& largestImpulse) {
                       auto& bundle = *passes[s].bundle;
                       PairLanes& pair = passes[s].pair;
                       auto& p = bundle.point[j];
                       const auto& row0 = p.tangent[0];
                       const auto& row1 = p.tangent[1];
                       const RowAngulars& angular0 = passes[s].angulars.tangent[0][j];
                       const RowAngulars& angular1 = passes[s].angulars.tangent[1][j];
                       WideLanes t0 = p.tangentImpulse[0] -
                                      row0.mass * pair.along(angular0.a, angular0.b, bundle.tangent[0]);
                       WideLanes t1 = p.tangentImpulse[1] -
                                      row1.mass * pair.along(angular1.a, angular1.b, bundle.tangent[1]);
                       const WideLanes limit = bundle.friction * p.normalImpulse;
                       const WideLanes squared = t0 * t0 + t1 * t1;
                       const WideLanes outside = squared > limit * limit;
                       // Lanes inside the cone keep their impulses: when
                       // none slides, the root and the division, long waits
                       // in the chain of impulses, are skipped.
                       if (anyOf(outside)) {
                           const WideLanes scale = select(squared > zero, limit / sqrtOf(squared), zero);
                           t0 = select(outside, t0 * scale, t0);
                           t1 = select(outside, t1 * scale, t1);
                       }
                       const WideLanes change0 = (t0 - p.tangentImpulse[0]) & live;
                       const WideLanes change1 = (t1 - p.tangentImpulse[1]) & live;
                       pair.apply(row0.turnA, row0.turnB, bundle.tangent[0], change0);
                       pair.apply(row1.turnA, row1.turnB, bundle.tangent[1], change1);
                       p.tangentImpulse[0] = select(live, t0, p.tangentImpulse[0]);
                       p.tangentImpulse[1] = select(live, t1, p.tangentImpulse[1]);
                       largestChange = maxOf(maxOf(largestChange, absOf(change0)), absOf(change1));
                       largestImpulse = maxOf(largestImpulse, limit & live);
                   });
}

} // namespace

// Each constraint: first every point's normal impulse, so that friction
// below is bounded by this pass's pressure, then every point's friction.
// Eight constraints go at once, one per lane; a lane whose points are all done
// (or that has fewer points) keeps its values while the others go on.
//
// Normal: the gap s now is the gap at the step's start plus what the bodies
// moved along the normal since (small-angle turns). A gap still open may
// close in this substep and no more: the speculative contact that keeps fast
// bodies from passing through each other. An overlap (s < 0) beyond the
// allowed penetration is pushed out by the soft spring, no faster than
// maxPushOutSpeed; the relax pass (useBias false) leaves the overlap alone and
// only stops the approach.
//
// Friction: the two tangent impulses are found together and their sum is held
// inside the circle of radius friction × normal impulse (Coulomb's cone, not a box).
//
// Two bundles of one colour share no movable body: they are solved side by
// side, each exactly as alone, so that while one bundle's chain of impulses
// waits on a result the core works on the other's.
void ContactSolver::solveBundles(Bundle* bundles, int count, std::vector<SolverBody>& bodies, bool useBias,
                                 const ContactStiffness& stiffness, float elapsed) const
{
    BundlePass<Bundle, maxPoints> passes[sideBySide];
    for (int s = 0; s < count; ++s) {
        BundlePass<Bundle, maxPoints>& pass = passes[s];
        Bundle& bundle = bundles[s];
        pass.bundle = &bundle;
        normalAngulars(bundle, pass.angulars);
        gapTermsFrom(bundle, pass.angulars, laneMotion(bundle, bodies, elapsed), stiffness, useBias,
                     pass.terms);
        pass.pair = PairLanes{BodyLanes(bodies, bundle.indexA), BodyLanes(bodies, bundle.indexB)};
        if (bundle.kinematic) {
            // The kinematic body's velocity at the contact as it is at the
            // middle of this substep: the bias pass starts the substep, the
            // relax pass ends it. Kinematic lanes are never stored back.
            const float half = 0.5f * stiffness.substep;
            const WideLanes turned((useBias ? elapsed + half : elapsed - half) - stepMiddle_);
            const KinematicRates& rates = kinematicRates_[static_cast<std::size_t>(&bundle - bundles_)];
            pass.pair.a.linearVelocity = PairLanes::addTo(pass.pair.a.linearVelocity, rates.a * turned);
            pass.pair.b.linearVelocity = PairLanes::addTo(pass.pair.b.linearVelocity, rates.b * turned);
        }
    }
    // The points of one manifold are swept several times before moving on:
    // one sweep leaves the first point's impulse tilting the body, and
    // friction would turn that tilt into a sideways push.
    // A sweep that changed every impulse by less than a small share of the
    // largest one ends the sweeping: warm-started resting contacts need one.
    sweepNormals(passes, count);
    // Friction is swept like the normal impulses: one sweep leaves the
    // first point's share twisting the body about the normal.
    for (int s = 0; s < count; ++s)
        tangentAngulars(*passes[s].bundle, passes[s].angulars);
    WideLanes lanes[sideBySide];
    std::fill(lanes, lanes + sideBySide, everyLane());
    sweepFriction(passes, lanes, count);
    for (int s = 0; s < count; ++s) {
        passes[s].pair.a.storeInto(bodies, bundles[s].indexA);
        passes[s].pair.b.storeInto(bodies, bundles[s].indexB);
    }
}

// Each pass: the rebounding points of a manifold swept a few times, so that a
// face landing flat shares the rebound evenly among its corners, then the
// manifold's friction, within the cone of the impulses now pressing it. An
// impact presses a contact far harder than the step's gravity did, and its
// friction is what stops a block landing while it slides; the passes let the
// friction's tipping torque and the corners' rebound settle together.
void ContactSolver::applyRestitution(std::vector<SolverBody>& bodies, std::size_t group, bool parallel)
{
    if (settings_.restitution == 0.0f && !settings_.ownMaterials)
        return;
    const WideLanes zero(0.0f);
    const WideLanes slowest(-settings_.restitutionThreshold);
    // Which points bounce does not change from pass to pass: a group none of
    // whose points bounced in the first pass is done.
    std::atomic<bool> anyBounced{false};
    for (int pass = 0; pass < restitutionPasses; ++pass) {
        if (pass == 1 && !anyBounced.load(std::memory_order_relaxed))
            return;
        forEachInGroup(group, parallel, [&](Bundle& bundle) {
            const WideLanes restitution = bundle.restitution;
            // Contacts that give nothing back are left as the substeps left them.
            const WideLanes bouncing = zero < restitution;
            // Only points that approached faster than the threshold and
            // pressed; a point that never pressed did not touch within the
            // step. A bundle with none is left alone, its bodies not read.
            WideLanes live[maxPoints];
            WideLanes bounced = zero < zero;
            for (int j = 0; j < bundle.points; ++j) {
                const PointLanes& p = bundle.point[j];
                live[j] = lanesBelow(j, bundle.pointCount) & bouncing &
                          notGreater(p.relativeVelocity, slowest) & notEqual(p.maxNormalImpulse, zero);
                bounced = bounced | live[j];
            }
            if (!anyOf(bounced))
                return;
            anyBounced.store(true, std::memory_order_relaxed);
            BundlePass<Bundle, maxPoints> bouncer;
            bouncer.bundle = &bundle;
            bouncer.pair = PairLanes{BodyLanes(bodies, bundle.indexA), BodyLanes(bodies, bundle.indexB)};
            PairLanes& pair = bouncer.pair;
            for (int sweep = 0; sweep < manifoldSweeps; ++sweep)
                for (int j = 0; j < bundle.points; ++j) {
                    PointLanes& p = bundle.point[j];
                    if (!anyOf(live[j]))
                        continue;
                    const RowAngulars normal =
                        rowAngulars(p.anchorA, p.anchorB, bundle.normal, lanesBelow(j, bundle.pointCount));
                    const WideLanes vn = pair.along(normal.a, normal.b, bundle.normal);
                    const WideLanes impulse = -p.normal.mass * (vn + restitution * p.relativeVelocity);
                    const WideLanes accumulated = maxOf(p.normalImpulse + impulse, zero);
                    pair.apply(p.normal.turnA, p.normal.turnB, bundle.normal,
                               (accumulated - p.normalImpulse) & live[j]);
                    p.normalImpulse = select(live[j], accumulated, p.normalImpulse);
                }
            tangentAngulars(bundle, bouncer.angulars);
            sweepFriction(&bouncer, &bounced, 1);
            pair.a.storeInto(bodies, bundle.indexA);
            pair.b.storeInto(bodies, bundle.indexB);
        });
    }
}

// The constraints sorted by group, keeping their order within a group, each
// with its key.
void ContactSolver::arrange(const ContactSolverSettings& settings, std::size_t bodyCount,
                            std::size_t groupCount)
{
    settings_ = settings;
    groupStart_.assign(groupCount + 1, 0);
    for (const Constraint& c : constraints_)
        ++groupStart_[c.group + 1];
    for (std::size_t g = 0; g < groupCount; ++g)
        groupStart_[g + 1] += groupStart_[g];
    groupFill_.assign(groupStart_.begin(), groupStart_.end() - 1);
    sortKeys_.resize(constraints_.size());
    for (std::size_t i = 0; i < constraints_.size(); ++i)
        sortKeys_[groupFill_[constraints_[i].group]++] = sortKey(constraints_[i].height, i);
    layOut(bodyCount);
    const auto run = [&](std::size_t from, std::size_t to) {
        for (std::size_t g = from; g < to; ++g)
            orderGroup(g);
    };
    if (pool_)
        pool_->forEach(groupCount, 1, run);
    else
        run(0, groupCount);
}

void ContactSolver::layOutGroups(const ContactSolverSettings& settings, std::size_t bodyCount,
                                 const std::vector<std::int32_t>& groupStart)
{
    settings_ = settings;
    groupStart_.assign(groupStart.begin(), groupStart.end());
    layOut(bodyCount);
}

// A group's colours and bundles are at most as many as its constraints: each
// group lists its colours from its first constraint's place plus its index
// (one more, for the end of its last),
// so that groups are ordered and prepared on their own, side by side. The
// bundles are the bulk of the solver's memory: each group takes the next
// ones free once it knows how many it fills, so the bundles in use lie
// together at the start, whichever groups they belong to, and the pages
// past them are never touched.
void ContactSolver::layOut(std::size_t bodyCount)
{
    const std::size_t groupCount = groupStart_.size() - 1;
    const std::size_t count = groupStart_[groupCount];
    bodyColours_.resize(bodyCount);
    colourOf_.resize(count);
    order_.resize(count);
    groupColours_.resize(groupCount);
    colourBundleStart_.resize(count + groupCount);
    groupBundleStart_.assign(groupCount, 0);
    // A step that used far less of the pages than the steps before it (a
    // pile settled after forming) hands back the pages past what it used.
    StagePages& stagePages = pages();
    stagePages.used(bundlesUsed() * sizeof(Bundle));
    stagePages.handBackUnused();
    bundleRuns_.reset(static_cast<std::uint32_t>(count), groupCount);
    bundlesBeyond_.reset();
    groupStiffness_.assign(groupCount, {settings_.substep, settings_.softness, settings_.fixedSoftness,
                                        settings_.allowedPenetration});
    // Room past the first count bundles for groups that find no free run
    // long enough among them: the groups of a step take count bundles at most.
    bundles_ = reinterpret_cast<Bundle*>(stagePages.room(2 * count * sizeof(Bundle)));
    // The bundles' lanes at the bundles' places: only as many pages as the
    // bundles in use are ever touched.
    bundleLanes_.makeRoom(2 * count);
    if (!kinematicTurns_.empty())
        kinematicRates_.makeRoom(2 * count);
}

std::uint32_t ContactSolver::takeBundles(std::uint32_t count)
{
    const std::uint32_t first = bundleRuns_.take(count);
    if (first + count <= bundleRuns_.capacity())
        return first;
    return bundleRuns_.capacity() + bundlesBeyond_.take(count);
}

std::size_t ContactSolver::bundlesUsed() const
{
    const std::uint32_t beyond = bundlesBeyond_.taken();
    return beyond > 0 ? std::size_t{bundleRuns_.capacity()} + beyond : bundleRuns_.highWater();
}

void ContactSolver::releaseGroup(std::size_t group)
{
    const std::uint32_t first = groupBundleStart_[group];
    const std::uint32_t count = colourBundleStart_[groupStart_[group] + group + groupColours_[group]];
    if (first < bundleRuns_.capacity())
        bundleRuns_.give(first, count);
}

// Within a group, constraints are coloured: each takes the lowest colour
// that no earlier constraint on either of its movable bodies took. A colour's
// constraints touch no movable body twice, so they can be solved in any order,
// eight at a time and on any thread; the passes go through the colours in turn.
// The colours depend only on the constraints' order, so the results are the
// same for every number of threads. Fixed and kinematic bodies are shared
// freely: nothing applied to them is kept. A constraint whose bodies have used every colour
// goes to one last colour, solved on one thread in the constraints' order.
// A body belongs to one group only, so groups are coloured independently.
void ContactSolver::orderGroup(std::size_t group)
{
    const std::uint32_t first = groupStart_[group];
    const std::uint32_t last = groupStart_[group + 1];
    std::sort(sortKeys_.begin() + first, sortKeys_.begin() + last);
    const auto constraintAt = [&](std::uint32_t k) -> const Constraint& {
        return constraints_[static_cast<std::uint32_t>(sortKeys_[k])];
    };
    for (std::uint32_t k = first; k < last; ++k) {
        const Constraint& c = constraintAt(k);
        if (c.indexA >= 0)
            bodyColours_[c.indexA] = 0;
        if (c.indexB >= 0)
            bodyColours_[c.indexB] = 0;
    }

    std::array<std::uint32_t, maxColours + 1> sizes{};
    std::array<std::uint32_t, (maxColours + 1) * maxPoints> next{};
    int colours = 0;
    for (std::uint32_t k = first; k < last; ++k) {
        const Constraint& c = constraintAt(k);
        const std::uint64_t used =
            (c.indexA >= 0 ? bodyColours_[c.indexA] : 0) | (c.indexB >= 0 ? bodyColours_[c.indexB] : 0);
        const std::uint64_t free = ~used & ((std::uint64_t{1} << maxColours) - 1);
        const int chosen = free != 0 ? lowestSetBit(free) : maxColours;
        if (chosen < maxColours) {
            if (c.indexA >= 0)
                bodyColours_[c.indexA] |= std::uint64_t{1} << chosen;
            if (c.indexB >= 0)
                bodyColours_[c.indexB] |= std::uint64_t{1} << chosen;
        }
        // Within a colour the manifolds go by their number of points, most
        // first: a bundle's passes go through as many points as its fullest
        // lane has, so lanes of equal counts waste none. The lanes of a colour
        // are independent, which lane a manifold takes changes nothing
        // computed. The last colour keeps its order: it is solved one after
        // another.
        const int points = std::clamp(static_cast<int>(c.pointCount), 1, maxPoints);
        colourOf_[k] =
            static_cast<std::uint16_t>(chosen * maxPoints + (chosen == maxColours ? 0 : maxPoints - points));
        ++sizes[chosen];
        ++next[colourOf_[k]];
        colours = std::max(colours, chosen + 1);
    }
    std::uint32_t start = first;
    for (std::size_t place = 0; place < static_cast<std::size_t>(colours * maxPoints); ++place) {
        const std::uint32_t count = next[place];
        next[place] = start;
        start += count;
    }
    for (std::uint32_t k = first; k < last; ++k)
        order_[next[colourOf_[k]]++] = static_cast<std::uint32_t>(sortKeys_[k]);
    fillBundles(group, colours, sizes);
}

void ContactSolver::fillBundles(std::size_t group, int colours,
                                const std::array<std::uint32_t, maxColours + 1>& sizes)
{
    const std::uint32_t first = groupStart_[group];
    // Each colour in bundles of eight, in order; the overflow colour a
    // constraint per bundle, as it must be solved one after another. Bundles
    // are counted from the group's first, which the group takes once it
    // knows how many it fills. Where the bundles lie does not change what is
    // computed in them, so groups ordered at once on several threads may
    // take them in any order.
    std::uint32_t bundles = 0;
    for (int colour = 0; colour < colours; ++colour)
        bundles +=
            colour == maxColours ? sizes[colour] : (sizes[colour] + lanesPerBundle - 1) / lanesPerBundle;
    const std::uint32_t firstBundle = takeBundles(bundles);
    groupBundleStart_[group] = firstBundle;
    std::uint32_t* colourBundles = colourBundleStart_.data() + first + group;
    std::uint32_t bundle = 0;
    std::uint32_t begin = first;
    for (int colour = 0; colour < colours; ++colour) {
        const std::uint32_t perBundle = colour == maxColours ? 1 : lanesPerBundle;
        const std::uint32_t end = begin + sizes[colour];
        colourBundles[colour] = bundle;
        for (std::uint32_t from = begin; from < end; from += perBundle) {
            std::array<std::int32_t, lanesPerBundle>& lanes = bundleLanes_[firstBundle + bundle];
            for (std::uint32_t lane = 0; lane < lanesPerBundle; ++lane) {
                const bool used = lane < perBundle && from + lane < end;
                lanes[lane] = used ? static_cast<std::int32_t>(order_[from + lane]) : -1;
            }
            ++bundle;
        }
        begin = end;
    }
    assert(bundle == bundles);
    colourBundles[colours] = bundle;
    groupColours_[group] = static_cast<std::uint32_t>(colours);
}

template <class Work> void ContactSolver::forEachInGroup(std::size_t group, bool parallel, Work work)
{
    forPairsInGroup(group, parallel, [&](Bundle* first, int count) {
        for (int s = 0; s < count; ++s)
            work(first[s]);
    });
}

template <class Work> void ContactSolver::forPairsInGroup(std::size_t group, bool parallel, Work work)
{
    const std::uint32_t* colourBundles = colourBundleStart_.data() + groupStart_[group] + group;
    Bundle* const bundles = bundles_ + groupBundleStart_[group];
    for (std::uint32_t colour = 0; colour < groupColours_[group]; ++colour) {
        const std::uint32_t begin = colourBundles[colour];
        const std::uint32_t end = colourBundles[colour + 1];
        // The last of maxColours + 1 colours holds everything above, a
        // constraint per bundle: solved on one thread, in order.
        const bool overflow = colour == static_cast<std::uint32_t>(maxColours);
        const std::size_t step = overflow ? 1 : sideBySide;
        const auto run = [&](std::size_t from, std::size_t to) {
            for (std::size_t k = from; k < to; k += step)
                work(bundles + begin + k, static_cast<int>(std::min(step, to - k)));
        };
        if (parallel && pool_ && !overflow)
            pool_->forEachEven(end - begin, bundlesPerTask, run);
        else
            run(0, end - begin);
    }
}

ContactPointResult ContactSolver::result(std::size_t i, int j) const
{
    const Constraint& c = constraints_[i];
    const Bundle& bundle = bundles_[c.slot / lanesPerBundle];
    const int lane = c.slot % lanesPerBundle;
    const PointLanes& p = bundle.point[j];
    ContactPointResult r;
    r.normalImpulse = p.normalImpulse.lane(lane);
    // The constraint's tangents, as prepare() worked them out.
    const auto tangent = [&](int k) {
        const Vector3WideLanes& t = bundle.tangent[k];
        return Vector3(t.x.lane(lane), t.y.lane(lane), t.z.lane(lane));
    };
    r.tangentImpulse =
        tangent(0) * p.tangentImpulse[0].lane(lane) + tangent(1) * p.tangentImpulse[1].lane(lane);
    r.maxNormalImpulse = p.maxNormalImpulse.lane(lane);
    return r;
}

} // namespace Tolvane::Physics
