// Soft contact constraints solved with sequential impulses (Catto, "Solver2D"
// and "Soft Constraints", GDC 2011; Macklin et al., "Small Steps in Physics
// Simulation", 2019).
#include "physics/ContactSolver.h"

#include "physics/SolverConstants.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace Tolvane::Physics {

using Math::cross;
using Math::dot;
using Math::Vector3;

namespace {

constexpr float pi = 3.14159265358979f;
/// The most points one manifold gives.
constexpr int maxPointsPerConstraint = 4;

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

ContactSolverRow makeRow(const SolverBody& a, const SolverBody& b, const Vector3& rA, const Vector3& rB,
                         const Vector3& d)
{
    ContactSolverRow row;
    row.angularA = cross(rA, d);
    row.angularB = cross(rB, d);
    row.turnA = a.inverseInertia * row.angularA;
    row.turnB = b.inverseInertia * row.angularB;
    const float k =
        a.inverseMass + b.inverseMass + dot(row.angularA, row.turnA) + dot(row.angularB, row.turnB);
    row.mass = k > 0.0f ? 1.0f / k : 0.0f;
    return row;
}

/// A fixed body as the passes see it: no mass, no motion. Shared, read only,
/// so that no pass builds one per constraint.
const SolverBody& bodyAt(const std::vector<SolverBody>& bodies, std::int32_t index)
{
    static const SolverBody fixedBody;
    return index == noSolverBody ? fixedBody : bodies[index];
}

/// The velocities of a constraint's two bodies, copied out for the length of
/// one constraint's work: held in locals, they need no reloading after every
/// impulse, which writes through two body references could force.
struct PairVelocities {
    Vector3 linearA;
    Vector3 angularA;
    float inverseMassA;
    Vector3 linearB;
    Vector3 angularB;
    float inverseMassB;

    PairVelocities(const SolverBody& a, const SolverBody& b)
        : linearA(a.linearVelocity), angularA(a.angularVelocity), inverseMassA(a.inverseMass),
          linearB(b.linearVelocity), angularB(b.angularVelocity), inverseMassB(b.inverseMass)
    {
    }

    /// Writes the velocities back to the movable bodies among the two.
    void storeInto(std::vector<SolverBody>& bodies, std::int32_t indexA, std::int32_t indexB) const
    {
        if (indexA != noSolverBody) {
            bodies[indexA].linearVelocity = linearA;
            bodies[indexA].angularVelocity = angularA;
        }
        if (indexB != noSolverBody) {
            bodies[indexB].linearVelocity = linearB;
            bodies[indexB].angularVelocity = angularB;
        }
    }

    float along(const ContactSolverRow& row, const Vector3& d) const
    {
        return dot(d, linearB - linearA) + dot(angularB, row.angularB) - dot(angularA, row.angularA);
    }

    void apply(const ContactSolverRow& row, const Vector3& d, float impulse)
    {
        linearA -= d * (impulse * inverseMassA);
        angularA -= row.turnA * impulse;
        linearB += d * (impulse * inverseMassB);
        angularB += row.turnB * impulse;
    }
};

} // namespace

void ContactSolver::clear()
{
    constraints_.clear();
    inputs_.clear();
}

void ContactSolver::add(std::int32_t indexA, std::int32_t indexB, const Vector3& normal,
                        const ContactPointInput* points, int pointCount, std::int32_t group)
{
    Constraint constraint;
    constraint.group = group;
    constraint.indexA = indexA;
    constraint.indexB = indexB;
    constraint.normal = normal;
    constraint.firstPoint = static_cast<std::int32_t>(inputs_.size());
    constraint.pointCount = pointCount;
    constraints_.push_back(constraint);
    inputs_.insert(inputs_.end(), points, points + pointCount);
}

void ContactSolver::prepare(const std::vector<SolverBody>& bodies, const ContactSolverSettings& settings,
                            std::size_t groupCount)
{
    settings_ = settings;
    // prepare() writes every field of every point: the array only grows, and
    // points left over from a bigger step are never read.
    if (points_.size() < inputs_.size())
        points_.resize(inputs_.size());
    order(bodies.size(), groupCount);
    forEach(constraints_.size(), [&](std::size_t i) {
        Constraint& c = constraints_[i];
        const bool fixedA = c.indexA == noSolverBody;
        const bool fixedB = c.indexB == noSolverBody;
        const SolverBody& a = bodyAt(bodies, c.indexA);
        const SolverBody& b = bodyAt(bodies, c.indexB);
        c.softness = fixedA || fixedB ? settings.fixedSoftness : settings.softness;
        tangentsOf(c.normal, c.tangent[0], c.tangent[1]);
        for (int j = 0; j < c.pointCount; ++j) {
            const ContactPointInput& in = inputs_[c.firstPoint + j];
            Point& p = points_[c.firstPoint + j];
            // A fixed body never turns, so its anchor only has to be finite.
            const Vector3 rA = fixedA ? Vector3() : in.position - a.centre;
            const Vector3 rB = fixedB ? Vector3() : in.position - b.centre;
            p.normal = makeRow(a, b, rA, rB, c.normal);
            p.tangent[0] = makeRow(a, b, rA, rB, c.tangent[0]);
            p.tangent[1] = makeRow(a, b, rA, rB, c.tangent[1]);
            p.separation = in.separation;
            p.relativeVelocity = PairVelocities(a, b).along(p.normal, c.normal);
            p.normalImpulse = in.normalImpulse;
            p.tangentImpulse[0] = dot(in.tangentImpulse, c.tangent[0]);
            p.tangentImpulse[1] = dot(in.tangentImpulse, c.tangent[1]);
            p.maxNormalImpulse = 0.0f;
        }
    });
}

// A fixed body is a zero body of its own in every pass below: with no inverse
// mass and no inverse inertia its velocities stay zero whatever is applied to
// it, so no path needs to ask which body is fixed.
void ContactSolver::warmStart(std::vector<SolverBody>& bodies, std::size_t group, bool parallel)
{
    forEachInGroup(group, parallel, [&](const Constraint& c) {
        PairVelocities pair(bodyAt(bodies, c.indexA), bodyAt(bodies, c.indexB));
        for (int j = 0; j < c.pointCount; ++j) {
            const Point& p = points_[c.firstPoint + j];
            pair.apply(p.normal, c.normal, p.normalImpulse);
            pair.apply(p.tangent[0], c.tangent[0], p.tangentImpulse[0]);
            pair.apply(p.tangent[1], c.tangent[1], p.tangentImpulse[1]);
        }
        pair.storeInto(bodies, c.indexA, c.indexB);
    });
}

// Each constraint: first every point's normal impulse, so that friction
// below is bounded by this pass's pressure, then every point's friction.
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
void ContactSolver::solve(std::vector<SolverBody>& bodies, bool useBias, std::size_t group, bool parallel)
{
    const float inverseSubstep = 1.0f / settings_.substep;
    const float slop = settings_.allowedPenetration;
    const float friction = settings_.friction;
    forEachInGroup(group, parallel, [&](const Constraint& c) {
        const SolverBody& a = bodyAt(bodies, c.indexA);
        const SolverBody& b = bodyAt(bodies, c.indexB);

        float bias[maxPointsPerConstraint];
        float massScale[maxPointsPerConstraint];
        float impulseScale[maxPointsPerConstraint];
        for (int j = 0; j < c.pointCount; ++j) {
            const Point& p = points_[c.firstPoint + j];
            const float s = p.separation + dot(c.normal, b.deltaPosition - a.deltaPosition) +
                            dot(b.deltaRotation, p.normal.angularB) - dot(a.deltaRotation, p.normal.angularA);
            bias[j] = 0.0f;
            massScale[j] = 1.0f;
            impulseScale[j] = 0.0f;
            if (s > 0.0f) {
                bias[j] = s * inverseSubstep;
            } else if (useBias) {
                bias[j] = std::max(c.softness.biasRate * std::min(0.0f, s + slop), -maxPushOutSpeed);
                massScale[j] = c.softness.massScale;
                impulseScale[j] = c.softness.impulseScale;
            }
        }
        PairVelocities pair(a, b);
        // The points of one manifold are swept several times before moving on:
        // one sweep leaves the first point's impulse tilting the body, and
        // friction would turn that tilt into a sideways push.
        // A sweep that changed every impulse by less than a small share of the
        // largest one ends the sweeping: warm-started resting contacts need one.
        const int sweeps = c.pointCount > 1 ? manifoldSweeps : 1;
        for (int sweep = 0; sweep < sweeps; ++sweep) {
            float largestChange = 0.0f;
            float largestImpulse = 0.0f;
            for (int j = 0; j < c.pointCount; ++j) {
                Point& p = points_[c.firstPoint + j];
                const float vn = pair.along(p.normal, c.normal);
                const float impulse =
                    -p.normal.mass * massScale[j] * (vn + bias[j]) - impulseScale[j] * p.normalImpulse;
                const float accumulated = std::max(p.normalImpulse + impulse, 0.0f);
                const float applied = accumulated - p.normalImpulse;
                p.normalImpulse = accumulated;
                p.maxNormalImpulse = std::max(p.maxNormalImpulse, accumulated);
                pair.apply(p.normal, c.normal, applied);
                largestChange = std::max(largestChange, std::fabs(applied));
                largestImpulse = std::max(largestImpulse, accumulated);
            }
            if (largestChange <= settledSweepShare * largestImpulse)
                break;
        }

        // Friction is swept like the normal impulses: one sweep leaves the
        // first point's share twisting the body about the normal.
        for (int sweep = 0; sweep < sweeps; ++sweep) {
            float largestChange = 0.0f;
            float largestImpulse = 0.0f;
            for (int j = 0; j < c.pointCount; ++j) {
                Point& p = points_[c.firstPoint + j];
                float t0 = p.tangentImpulse[0] - p.tangent[0].mass * pair.along(p.tangent[0], c.tangent[0]);
                float t1 = p.tangentImpulse[1] - p.tangent[1].mass * pair.along(p.tangent[1], c.tangent[1]);
                const float limit = friction * p.normalImpulse;
                const float squared = t0 * t0 + t1 * t1;
                if (squared > limit * limit) {
                    const float scale = squared > 0.0f ? limit / std::sqrt(squared) : 0.0f;
                    t0 *= scale;
                    t1 *= scale;
                }
                const float change0 = t0 - p.tangentImpulse[0];
                const float change1 = t1 - p.tangentImpulse[1];
                pair.apply(p.tangent[0], c.tangent[0], change0);
                pair.apply(p.tangent[1], c.tangent[1], change1);
                p.tangentImpulse[0] = t0;
                p.tangentImpulse[1] = t1;
                largestChange = std::max({largestChange, std::fabs(change0), std::fabs(change1)});
                largestImpulse = std::max(largestImpulse, limit);
            }
            if (largestChange <= settledSweepShare * largestImpulse)
                break;
        }
        pair.storeInto(bodies, c.indexA, c.indexB);
    });
}

void ContactSolver::applyRestitution(std::vector<SolverBody>& bodies, std::size_t group, bool parallel)
{
    const float restitution = settings_.restitution;
    if (restitution == 0.0f)
        return;
    const float threshold = settings_.restitutionThreshold;
    for (int pass = 0; pass < restitutionPasses; ++pass) {
        forEachInGroup(group, parallel, [&](const Constraint& c) {
            PairVelocities pair(bodyAt(bodies, c.indexA), bodyAt(bodies, c.indexB));
            bool changed = false;
            for (int j = 0; j < c.pointCount; ++j) {
                Point& p = points_[c.firstPoint + j];
                // A point that never pressed did not touch within the step.
                if (p.relativeVelocity > -threshold || p.maxNormalImpulse == 0.0f)
                    continue;
                const float vn = pair.along(p.normal, c.normal);
                const float impulse = -p.normal.mass * (vn + restitution * p.relativeVelocity);
                const float accumulated = std::max(p.normalImpulse + impulse, 0.0f);
                pair.apply(p.normal, c.normal, accumulated - p.normalImpulse);
                p.normalImpulse = accumulated;
                changed = true;
            }
            if (changed)
                pair.storeInto(bodies, c.indexA, c.indexB);
        });
    }
}

// Within each group, constraints are put into levels: each one a level above
// the highest level of the group's earlier constraints that share a movable
// body with it. Going through a group level by level then applies every
// body's impulses in exactly the order of the constraints, as one thread going
// through them would, while the constraints within a level touch no body twice
// and can be solved in any order, on any thread: the results are the same
// for every number of threads. Fixed bodies are shared freely: nothing
// applied to them is kept. Constraints above the last level form one more,
// solved on one thread in their order.
void ContactSolver::order(std::size_t bodyCount, std::size_t groupCount)
{
    // Counting sort by group, keeping the constraints' order within a group.
    groupStart_.assign(groupCount + 1, 0);
    for (const Constraint& c : constraints_)
        ++groupStart_[c.group + 1];
    for (std::size_t g = 0; g < groupCount; ++g)
        groupStart_[g + 1] += groupStart_[g];
    byGroup_.resize(constraints_.size());
    groupFill_.assign(groupStart_.begin(), groupStart_.end() - 1);
    for (std::size_t i = 0; i < constraints_.size(); ++i)
        byGroup_[groupFill_[constraints_[i].group]++] = static_cast<std::uint32_t>(i);

    // Levels, group by group; a body belongs to one group only.
    bodyLevel_.assign(bodyCount, -1);
    levelOf_.resize(constraints_.size());
    order_.resize(constraints_.size());
    groupLevels_.assign(groupCount + 1, 0);
    levelStart_.clear();
    for (std::size_t g = 0; g < groupCount; ++g) {
        std::array<std::uint32_t, maxLevels + 1> sizes{};
        int levels = 0;
        for (std::uint32_t k = groupStart_[g]; k < groupStart_[g + 1]; ++k) {
            const Constraint& c = constraints_[byGroup_[k]];
            int level = 0;
            if (c.indexA != noSolverBody)
                level = std::max(level, bodyLevel_[c.indexA] + 1);
            if (c.indexB != noSolverBody)
                level = std::max(level, bodyLevel_[c.indexB] + 1);
            if (c.indexA != noSolverBody)
                bodyLevel_[c.indexA] = level;
            if (c.indexB != noSolverBody)
                bodyLevel_[c.indexB] = level;
            const int chosen = std::min(level, maxLevels);
            levelOf_[k] = static_cast<std::uint16_t>(chosen);
            ++sizes[chosen];
            levels = std::max(levels, chosen + 1);
        }
        groupLevels_[g + 1] = groupLevels_[g] + static_cast<std::uint32_t>(levels);
        std::uint32_t start = groupStart_[g];
        std::array<std::uint32_t, maxLevels + 1> next{};
        for (int level = 0; level < levels; ++level) {
            levelStart_.push_back(start);
            next[level] = start;
            start += sizes[level];
        }
        for (std::uint32_t k = groupStart_[g]; k < groupStart_[g + 1]; ++k)
            order_[next[levelOf_[k]]++] = byGroup_[k];
    }
    levelStart_.push_back(static_cast<std::uint32_t>(constraints_.size()));
}

template <class Work> void ContactSolver::forEachInGroup(std::size_t group, bool parallel, Work work)
{
    const std::uint32_t firstLevel = groupLevels_[group];
    const std::uint32_t lastLevel = groupLevels_[group + 1];
    for (std::uint32_t level = firstLevel; level < lastLevel; ++level) {
        const std::uint32_t begin = levelStart_[level];
        const std::uint32_t end = level + 1 < lastLevel ? levelStart_[level + 1] : groupStart_[group + 1];
        const auto run = [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i)
                work(constraints_[order_[begin + i]]);
        };
        // The last of maxLevels + 1 levels holds everything above: solved on one thread, in order.
        const bool overflow = level - firstLevel == static_cast<std::uint32_t>(maxLevels);
        if (parallel && pool_ && !overflow)
            pool_->forEach(end - begin, constraintsPerTask, run);
        else
            run(0, end - begin);
    }
}

template <class Work> void ContactSolver::forEach(std::size_t count, Work work)
{
    const auto run = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            work(i);
    };
    if (pool_)
        pool_->forEach(count, constraintsPerTask, run);
    else
        run(0, count);
}

ContactPointResult ContactSolver::result(std::size_t i, int j) const
{
    const Constraint& c = constraints_[i];
    const Point& p = points_[c.firstPoint + j];
    ContactPointResult r;
    r.normalImpulse = p.normalImpulse;
    r.tangentImpulse = c.tangent[0] * p.tangentImpulse[0] + c.tangent[1] * p.tangentImpulse[1];
    r.maxNormalImpulse = p.maxNormalImpulse;
    return r;
}

} // namespace Tolvane::Physics
