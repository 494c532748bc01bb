// The response pass: every movable body is moved over the step, its collisions
// of this step resolved one body at a time.
#include "physics/designed/CollisionResponse.h"

#include <stdexcept>

namespace Tolvane::Physics {

// For a body with collisions:
//  1. walk its reports in contact-time order; for each non-separating one take
//     the pair's impulse (computed by whichever body of the pair comes first),
//     record this body's velocity and angular velocity changes, and, for an
//     overlap present at the start of the step, push the body out by its share
//     of the depth (all of it against a fixed body, half of what is left
//     otherwise, the other half staying in the solver for the partner);
//  2. integrate up to the earliest contact;
//  3. there, either stop a slow body, or apply the summed changes and
//     integrate the rest of the step without gravity.
void respondToCollisions(PhysicalObject& body, ReportList& reports, float timeStep)
{
    bool inContact = false;
    Math::Vector3 correction;
    for (const auto& report : reports) {
        PhysicalObjectCollisionSolver& solver = *report->solver;
        bool separating = false;
        const float impulse = solver.computeImpulse(separating);
        if (separating)
            continue;
        inContact = true;

        const Math::Vector3 normal = solver.contact.normal;
        const bool isBodyA = solver.bodyA.get() == &body;
        if (!isBodyA && solver.bodyB.get() != &body)
            throw std::runtime_error("Invalid collision map");
        // The impulse pushes B along the normal and A against it.
        const Math::Vector3 signedImpulse = isBodyA ? -impulse * normal : impulse * normal;
        const bool otherFixed = isBodyA ? solver.bodyB->fixed : solver.bodyA->fixed;

        report->velocityChange = signedImpulse * (1.0f / body.mass);
        const Math::Vector3 arm = solver.contact.point - body.transform.position;
        report->angularVelocityChange =
            Math::transformPoint(body.inverseInertia, Math::cross(arm, signedImpulse));

        if (solver.contact.time == 0.0f) {
            Math::Vector3 push = normal * solver.contact.depth;
            if (otherFixed) {
                solver.contact.depth = 0.0f;
            } else {
                push = push / 2.0f;
                solver.contact.depth = solver.contact.depth * 0.5f;
            }
            if (isBodyA)
                correction -= push;
            else
                correction += push;
        }
    }

    if (!correction.isZero())
        body.transform.position += correction;

    if (!inContact) {
        body.integrate(timeStep);
        return;
    }

    Math::Vector3 velocityChange;
    Math::Vector3 angularVelocityChange;
    for (const auto& report : reports) {
        velocityChange += report->velocityChange;
        angularVelocityChange += report->angularVelocityChange;
    }

    // The whole step is split once, at the earliest contact, whether or not
    // that contact was separating.
    const float contactTime = reports.front()->solver->contact.time;
    const float remainingTime = timeStep - contactTime;
    body.integrate(contactTime);

    const Math::Vector3 newVelocity = body.velocity + velocityChange;
    if (contactTime > 0.0f && newVelocity.squaredLength() < restSquaredSpeed &&
        angularVelocityChange.squaredLength() < restSquaredSpeed) {
        body.velocity = Math::Vector3();
        body.angularVelocity = Math::Vector3();
        return;
    }

    body.velocity = newVelocity;
    if (!angularVelocityChange.isZero())
        body.angularVelocity += Math::normalized(angularVelocityChange) * angularVelocityChange.length();
    // Gravity was spent on the part of the step before the impact; it returns next step.
    body.force = Math::Vector3();
    body.integrate(remainingTime);
}

} // namespace Tolvane::Physics
