// Soft contact constraints solved with sequential impulses (Catto, "Solver2D"
// and "Soft Constraints", GDC 2011; Macklin et al., "Small Steps in Physics
// Simulation", 2019).
#include "physics/ContactSolver.h"

#include "physics/SolverConstants.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics {

using Math::cross;
using Math::dot;
using Math::Vector3;

namespace {

constexpr float pi = 3.14159265358979f;
/// The most points one manifold gives.
constexpr int maxPointsPerConstraint = 4;

/// Fixed bodies stand for this: no velocity, no motion, no inverse mass.
const SolverBody fixedBody{};

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

/// 1 / (mA + mB + (IA⁻¹(rA × d) × rA + IB⁻¹(rB × d) × rB) · d): the inverse of
/// the mass the pair shows to an impulse along d at the point.
float effectiveMass(const SolverBody& a, const SolverBody& b, const Vector3& rA, const Vector3& rB, const Vector3& d)
{
    const Vector3 rdA = cross(rA, d);
    const Vector3 rdB = cross(rB, d);
    const float k = a.inverseMass + b.inverseMass + dot(rdA, a.inverseInertia * rdA) + dot(rdB, b.inverseInertia * rdB);
    return k > 0.0f ? 1.0f / k : 0.0f;
}

void applyImpulse(SolverBody& a, SolverBody& b, bool movesA, bool movesB, const Vector3& rA, const Vector3& rB,
                  const Vector3& impulse)
{
    if (movesA) {
        a.linearVelocity -= impulse * a.inverseMass;
        a.angularVelocity -= a.inverseInertia * cross(rA, impulse);
    }
    if (movesB) {
        b.linearVelocity += impulse * b.inverseMass;
        b.angularVelocity += b.inverseInertia * cross(rB, impulse);
    }
}

Vector3 relativeVelocityAt(const SolverBody& a, const SolverBody& b, const Vector3& rA, const Vector3& rB)
{
    return (b.linearVelocity + cross(b.angularVelocity, rB)) - (a.linearVelocity + cross(a.angularVelocity, rA));
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

void ContactSolver::clear()
{
    constraints_.clear();
    points_.clear();
    inputs_.clear();
}

void ContactSolver::add(std::int32_t indexA, std::int32_t indexB, const Vector3& normal,
                        const ContactPointInput* points, int pointCount)
{
    Constraint constraint;
    constraint.indexA = indexA;
    constraint.indexB = indexB;
    constraint.normal = normal;
    constraint.firstPoint = static_cast<std::int32_t>(inputs_.size());
    constraint.pointCount = pointCount;
    constraints_.push_back(constraint);
    inputs_.insert(inputs_.end(), points, points + pointCount);
}

void ContactSolver::prepare(const std::vector<SolverBody>& bodies, const ContactSolverSettings& settings)
{
    settings_ = settings;
    points_.resize(inputs_.size());
    for (Constraint& c : constraints_) {
        const bool fixedA = c.indexA == noSolverBody;
        const bool fixedB = c.indexB == noSolverBody;
        const SolverBody& a = fixedA ? fixedBody : bodies[c.indexA];
        const SolverBody& b = fixedB ? fixedBody : bodies[c.indexB];
        c.softness = fixedA || fixedB ? settings.fixedSoftness : settings.softness;
        tangentsOf(c.normal, c.tangent[0], c.tangent[1]);
        for (int j = 0; j < c.pointCount; ++j) {
            const ContactPointInput& in = inputs_[c.firstPoint + j];
            Point& p = points_[c.firstPoint + j];
            // A fixed body never turns, so its anchor only has to be finite.
            p.anchorA = fixedA ? Vector3() : in.position - a.centre;
            p.anchorB = fixedB ? Vector3() : in.position - b.centre;
            p.separation = in.separation;
            p.normalMass = effectiveMass(a, b, p.anchorA, p.anchorB, c.normal);
            p.tangentMass[0] = effectiveMass(a, b, p.anchorA, p.anchorB, c.tangent[0]);
            p.tangentMass[1] = effectiveMass(a, b, p.anchorA, p.anchorB, c.tangent[1]);
            p.relativeVelocity = dot(relativeVelocityAt(a, b, p.anchorA, p.anchorB), c.normal);
            p.normalImpulse = in.normalImpulse;
            p.tangentImpulse[0] = dot(in.tangentImpulse, c.tangent[0]);
            p.tangentImpulse[1] = dot(in.tangentImpulse, c.tangent[1]);
            p.maxNormalImpulse = 0.0f;
        }
    }
}

void ContactSolver::warmStart(std::vector<SolverBody>& bodies) const
{
    SolverBody unused;
    for (const Constraint& c : constraints_) {
        const bool movesA = c.indexA != noSolverBody;
        const bool movesB = c.indexB != noSolverBody;
        SolverBody& a = movesA ? bodies[c.indexA] : unused;
        SolverBody& b = movesB ? bodies[c.indexB] : unused;
        for (int j = 0; j < c.pointCount; ++j) {
            const Point& p = points_[c.firstPoint + j];
            const Vector3 impulse =
                c.normal * p.normalImpulse + c.tangent[0] * p.tangentImpulse[0] + c.tangent[1] * p.tangentImpulse[1];
            applyImpulse(a, b, movesA, movesB, p.anchorA, p.anchorB, impulse);
        }
    }
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
void ContactSolver::solve(std::vector<SolverBody>& bodies, bool useBias)
{
    const float inverseSubstep = 1.0f / settings_.substep;
    const float slop = settings_.allowedPenetration;
    const float friction = settings_.friction;
    SolverBody unused;
    for (const Constraint& c : constraints_) {
        const bool movesA = c.indexA != noSolverBody;
        const bool movesB = c.indexB != noSolverBody;
        SolverBody& a = movesA ? bodies[c.indexA] : unused;
        SolverBody& b = movesB ? bodies[c.indexB] : unused;
        const SolverBody& readA = movesA ? a : fixedBody;
        const SolverBody& readB = movesB ? b : fixedBody;

        float bias[maxPointsPerConstraint];
        float massScale[maxPointsPerConstraint];
        float impulseScale[maxPointsPerConstraint];
        for (int j = 0; j < c.pointCount; ++j) {
            const Point& p = points_[c.firstPoint + j];
            const Vector3 movedB = readB.deltaPosition + cross(readB.deltaRotation, p.anchorB);
            const Vector3 movedA = readA.deltaPosition + cross(readA.deltaRotation, p.anchorA);
            const float s = p.separation + dot(movedB - movedA, c.normal);
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
        // The points of one manifold are swept several times before moving on:
        // one sweep leaves the first point's impulse tilting the body, and
        // friction would turn that tilt into a sideways push.
        const int sweeps = c.pointCount > 1 ? manifoldNormalSweeps : 1;
        for (int sweep = 0; sweep < sweeps; ++sweep) {
            for (int j = 0; j < c.pointCount; ++j) {
                Point& p = points_[c.firstPoint + j];
                const float vn = dot(relativeVelocityAt(readA, readB, p.anchorA, p.anchorB), c.normal);
                const float impulse =
                    -p.normalMass * massScale[j] * (vn + bias[j]) - impulseScale[j] * p.normalImpulse;
                const float accumulated = std::max(p.normalImpulse + impulse, 0.0f);
                const float applied = accumulated - p.normalImpulse;
                p.normalImpulse = accumulated;
                p.maxNormalImpulse = std::max(p.maxNormalImpulse, applied);
                applyImpulse(a, b, movesA, movesB, p.anchorA, p.anchorB, c.normal * applied);
            }
        }

        for (int j = 0; j < c.pointCount; ++j) {
            Point& p = points_[c.firstPoint + j];
            const Vector3 dv = relativeVelocityAt(readA, readB, p.anchorA, p.anchorB);
            float t0 = p.tangentImpulse[0] - p.tangentMass[0] * dot(dv, c.tangent[0]);
            float t1 = p.tangentImpulse[1] - p.tangentMass[1] * dot(dv, c.tangent[1]);
            const float limit = friction * p.normalImpulse;
            const float squared = t0 * t0 + t1 * t1;
            if (squared > limit * limit) {
                const float scale = squared > 0.0f ? limit / std::sqrt(squared) : 0.0f;
                t0 *= scale;
                t1 *= scale;
            }
            const Vector3 impulse =
                c.tangent[0] * (t0 - p.tangentImpulse[0]) + c.tangent[1] * (t1 - p.tangentImpulse[1]);
            p.tangentImpulse[0] = t0;
            p.tangentImpulse[1] = t1;
            applyImpulse(a, b, movesA, movesB, p.anchorA, p.anchorB, impulse);
        }
    }
}

void ContactSolver::applyRestitution(std::vector<SolverBody>& bodies)
{
    const float restitution = settings_.restitution;
    if (restitution == 0.0f)
        return;
    const float threshold = settings_.restitutionThreshold;
    SolverBody unused;
    for (int pass = 0; pass < restitutionPasses; ++pass) {
        for (const Constraint& c : constraints_) {
            const bool movesA = c.indexA != noSolverBody;
            const bool movesB = c.indexB != noSolverBody;
            SolverBody& a = movesA ? bodies[c.indexA] : unused;
            SolverBody& b = movesB ? bodies[c.indexB] : unused;
            const SolverBody& readA = movesA ? a : fixedBody;
            const SolverBody& readB = movesB ? b : fixedBody;
            for (int j = 0; j < c.pointCount; ++j) {
                Point& p = points_[c.firstPoint + j];
                // A point that never pressed did not touch within the step.
                if (p.relativeVelocity > -threshold || p.maxNormalImpulse == 0.0f)
                    continue;
                const float vn = dot(relativeVelocityAt(readA, readB, p.anchorA, p.anchorB), c.normal);
                const float impulse = -p.normalMass * (vn + restitution * p.relativeVelocity);
                const float accumulated = std::max(p.normalImpulse + impulse, 0.0f);
                const float applied = accumulated - p.normalImpulse;
                p.normalImpulse = accumulated;
                applyImpulse(a, b, movesA, movesB, p.anchorA, p.anchorB, c.normal * applied);
            }
        }
    }
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
