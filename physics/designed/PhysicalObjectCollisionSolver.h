// The record of one tested pair of bodies: contact found by the narrow phase and its impulse.
#pragma once

#include "math/Vector3.h"
#include "physics/body/PhysicalObject.h"

#include <memory>

namespace Tolvane::Physics {

struct CollisionContact {
    /// Seconds from the start of the step; 0 means the bodies overlap at the start.
    float time = 0.0f;
    /// Unit normal in world space, from A towards B.
    Math::Vector3 normal{0.0f, 0.0f, 1.0f};
    /// World-space contact point.
    Math::Vector3 point;
    /// Penetration depth along the normal; consumed by the response pass.
    float depth = 0.0f;
};

class PhysicalObjectCollisionSolver {
  public:
    /// The body with the lower index in its set.
    std::shared_ptr<PhysicalObject> bodyA;
    /// The body with the higher index.
    std::shared_ptr<PhysicalObject> bodyB;
    Math::Vector3 predictedVelocityA;
    Math::Vector3 predictedVelocityB;
    /// Impulse magnitude; below 0 means not computed yet.
    float impulse = -1.0f;
    /// True when the bodies move apart at the contact, so no impulse applies.
    bool separating = false;
    /// True when the pair is in contact during this step.
    bool collided = false;
    CollisionContact contact;

    PhysicalObjectCollisionSolver(std::shared_ptr<PhysicalObject> bodyA,
                                  std::shared_ptr<PhysicalObject> bodyB)
        : bodyA(std::move(bodyA)), bodyB(std::move(bodyB))
    {
    }

    /// The impulse magnitude for the pair (restitution 0.5, no friction), computed
    /// from the bodies' state at the first call and cached for later calls.
    float computeImpulse(bool& separatingOut);
};

} // namespace Tolvane::Physics
