// Making a joint from its definition: its points and axes fixed in the bodies.
#include "physics/joint/Joint.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace Tolvane::Physics {

using Math::Quaternion;
using Math::Vector3;

Quaternion conjugate(const Quaternion& q)
{
    return {q.w, -q.x, -q.y, -q.z};
}

// v + 2 w (u × v) + 2 u × (u × v), u the vector part of q.
Vector3 rotate(const Quaternion& q, const Vector3& v)
{
    const Vector3 u(q.x, q.y, q.z);
    const Vector3 t = cross(u, v) * 2.0f;
    return v + t * q.w + cross(u, t);
}

Vector3 rotateBack(const Quaternion& q, const Vector3& v)
{
    return rotate(conjugate(q), v);
}

void crossDirections(const Vector3& n, Vector3& first, Vector3& second)
{
    // Across the axis n is least along: never close to n itself.
    const Vector3 other = std::fabs(n.x) < 0.57735f   ? Vector3(1.0f, 0.0f, 0.0f)
                          : std::fabs(n.y) < 0.57735f ? Vector3(0.0f, 1.0f, 0.0f)
                                                      : Vector3(0.0f, 0.0f, 1.0f);
    first = normalized(cross(n, other));
    second = cross(n, first);
}

namespace {

/// The body's pose, or the world's (no turn, at the origin) for null.
struct Pose {
    Vector3 position;
    Quaternion orientation;
};

Pose poseOf(const std::shared_ptr<PhysicalObject>& body)
{
    if (!body)
        return {};
    return {body->transform.position, body->transform.orientation};
}

Vector3 toLocalPoint(const Pose& pose, const Vector3& worldPoint)
{
    return rotateBack(pose.orientation, worldPoint - pose.position);
}

bool finite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

void require(bool condition, const char* message)
{
    if (!condition)
        throw std::invalid_argument(message);
}

} // namespace

Joint::Joint(JointId id, const JointDefinition& definition)
    : id(id), type(definition.type), name(definition.name), bodyA(definition.bodyA), bodyB(definition.bodyB),
      collide(definition.collide)
{
    require(bodyA != nullptr, "a joint needs a first body");
    require(bodyA != bodyB, "a joint cannot join a body to itself");
    const Pose poseA = poseOf(bodyA);
    const Pose poseB = poseOf(bodyB);
    referenceRotation = conjugate(poseB.orientation) * poseA.orientation;

    if (type == JointType::Distance) {
        require(finite(definition.anchorA) && finite(definition.anchorB), "the anchors must be finite");
        localAnchorA = toLocalPoint(poseA, definition.anchorA);
        localAnchorB = toLocalPoint(poseB, definition.anchorB);
        length = definition.length.value_or((definition.anchorB - definition.anchorA).length());
        hasSpring = definition.spring.has_value();
        // A spring with no bounds given stretches freely; a rod without one
        // keeps its length unless bounds say otherwise.
        minLength = definition.minLength.value_or(hasSpring ? 0.0f : length);
        maxLength =
            definition.maxLength.value_or(hasSpring ? std::numeric_limits<float>::infinity() : length);
        require(std::isfinite(length) && length >= 0.0f, "the length must be 0 or more");
        require(minLength >= 0.0f && minLength <= maxLength,
                "the least length must be from 0 to the greatest");
        if (hasSpring) {
            spring = *definition.spring;
            require(spring.frequency > 0.0f && std::isfinite(spring.frequency),
                    "a spring's frequency must be more than 0");
            require(spring.dampingRatio >= 0.0f && std::isfinite(spring.dampingRatio),
                    "a spring's damping ratio must be 0 or more");
        }
        return;
    }

    const Vector3 anchor = definition.anchor.value_or(poseA.position);
    require(finite(anchor), "the anchor must be finite");
    localAnchorA = toLocalPoint(poseA, anchor);
    localAnchorB = toLocalPoint(poseB, anchor);
    if (type == JointType::Hinge || type == JointType::Slider) {
        require(finite(definition.axis) && definition.axis.squaredLength() > 1e-12f,
                "the axis must not be zero");
        const Vector3 axis = normalized(definition.axis);
        localAxisA = rotateBack(poseA.orientation, axis);
        localAxisB = rotateBack(poseB.orientation, axis);
        crossDirections(localAxisB, localCrossB[0], localCrossB[1]);
        if (definition.limits) {
            hasLimits = true;
            limits = *definition.limits;
            require(limits.low <= limits.high, "the low limit must not be above the high one");
        }
        if (definition.motor) {
            hasMotor = true;
            motor = *definition.motor;
            require(std::isfinite(motor.speed), "a motor's speed must be finite");
            require(motor.maxForce >= 0.0f && std::isfinite(motor.maxForce),
                    "a motor's greatest force must be 0 or more");
        }
    }
}

void Joint::clearImpulses()
{
    impulses = JointImpulses();
    substepScale = 1;
}

} // namespace Tolvane::Physics
