// The collision impulse of one pair of bodies.
#include "physics/designed/PhysicalObjectCollisionSolver.h"

namespace Tolvane::Physics {

namespace {
// -(1 + e) for the coefficient of restitution e = 0.5; there is no friction.
constexpr float restitutionFactor = -1.5f;
} // namespace

// Impulse along the contact normal between two rigid bodies (Baraff, Physically
// Based Modeling, rigid body collision response):
//   j = -(1 + e) s / (1/mA + 1/mB + ((IA⁻¹(rA × n)) × rA + (IB⁻¹(rB × n)) × rB) · n)
// where s is the approach speed of the two contact points along n. The result
// is cached: the second body of the pair gets the value the first one computed.
float PhysicalObjectCollisionSolver::computeImpulse(bool& separatingOut)
{
    if (impulse >= 0.0f) {
        separatingOut = separating;
        return impulse;
    }
    const Math::Vector3& n = contact.normal;
    const Math::Vector3& p = contact.point;
    const Math::Vector3 rA = p - bodyA->transform.position;
    const Math::Vector3 rB = p - bodyB->transform.position;
    const Math::Vector3 pointVelocityA = bodyA->velocity + cross(bodyA->angularVelocity, rA);
    const Math::Vector3 pointVelocityB = bodyB->velocity + cross(bodyB->angularVelocity, rB);
    const float approachSpeed = dot(pointVelocityB - pointVelocityA, n);

    if (approachSpeed > 0.0f) {
        impulse = 0.0f;
        separating = true;
        separatingOut = true;
        return 0.0f;
    }

    const Math::Vector3 kA = cross(transformPoint(bodyA->inverseInertia, cross(rA, n)), rA);
    const Math::Vector3 kB = cross(transformPoint(bodyB->inverseInertia, cross(rB, n)), rB);
    const float denominator = dot(kA + kB, n) + (1.0f / bodyB->mass + 1.0f / bodyA->mass);

    impulse = restitutionFactor * approachSpeed / denominator;
    separating = false;
    separatingOut = false;
    return impulse;
}

} // namespace Tolvane::Physics
