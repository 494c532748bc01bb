// Reading a joint's coordinates off its bodies' poses.
#include "physics/joint/JointReadings.h"

#include <cmath>

namespace Tolvane::Physics {

using Math::Quaternion;
using Math::Vector3;

namespace {

Quaternion orientationOf(const std::shared_ptr<PhysicalObject>& body)
{
    return body ? body->transform.orientation : Quaternion();
}

Vector3 worldPoint(const std::shared_ptr<PhysicalObject>& body, const Vector3& local)
{
    return body ? body->transform.position + rotate(body->transform.orientation, local) : local;
}

} // namespace

Vector3 worldAnchorA(const Joint& joint)
{
    return worldPoint(joint.bodyA, joint.localAnchorA);
}

Vector3 worldAnchorB(const Joint& joint)
{
    return worldPoint(joint.bodyB, joint.localAnchorB);
}

float hingeAngle(const Joint& joint)
{
    Quaternion turn = conjugate(orientationOf(joint.bodyB)) * orientationOf(joint.bodyA) *
                      conjugate(joint.referenceRotation);
    if (turn.w < 0.0f)
        turn = {-turn.w, -turn.x, -turn.y, -turn.z};
    return 2.0f * std::atan2(dot(Vector3(turn.x, turn.y, turn.z), joint.localAxisB), turn.w);
}

float sliderTravel(const Joint& joint)
{
    const Vector3 axis = rotate(orientationOf(joint.bodyB), joint.localAxisB);
    return dot(worldAnchorA(joint) - worldAnchorB(joint), axis);
}

float anchorDistance(const Joint& joint)
{
    return (worldAnchorB(joint) - worldAnchorA(joint)).length();
}

} // namespace Tolvane::Physics
