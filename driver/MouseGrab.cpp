// The ray under the pointer and the spring that drags a held body.
#include "driver/MouseGrab.h"

#include "math/Quaternion.h"

#include <algorithm>
#include <cmath>

namespace Tolvane {

namespace {

using Math::Vector3;

constexpr float pi = 3.14159265358979f;
// Gravity's strength that maxPullInWeights counts weights in.
constexpr float standardGravity = 9.81f;
// Below this the ray runs along the grab plane and meets it nowhere useful.
constexpr float parallelCosine = 1e-4f;

/// The body's axes, to turn directions between its frame and the world's.
Math::Axes bodyAxes(const Physics::PhysicalObject& body)
{
    return Math::toAxes(body.transform.orientation);
}

/// The 3 × 3 part of m applied to v.
Vector3 applyLinear(const Math::Matrix4& m, const Vector3& v)
{
    return {m[0] * v.x + m[4] * v.y + m[8] * v.z, m[1] * v.x + m[5] * v.y + m[9] * v.z,
            m[2] * v.x + m[6] * v.y + m[10] * v.z};
}

/// x with x.x c0 + x.y c1 + x.z c2 = b (Cramer's rule); zero when the columns
/// are flat, which an answer matrix with softness never is.
Vector3 solve(const Vector3& c0, const Vector3& c1, const Vector3& c2, const Vector3& b)
{
    const float determinant = Math::dot(c0, Math::cross(c1, c2));
    if (!(std::fabs(determinant) > 0.0f))
        return {};
    return Vector3{Math::dot(b, Math::cross(c1, c2)), Math::dot(c0, Math::cross(b, c2)),
                   Math::dot(c0, Math::cross(c1, b))} /
           determinant;
}

} // namespace

Physics::Ray rayThroughPixel(Renderer::Camera& camera, int x, int y)
{
    const Math::Axes axes = camera.transform.axes();
    const Vector3 forward = axes.zAxis;
    const Vector3 up = axes.yAxis;
    // gluLookAt puts the window's right along forward × up.
    const Vector3 right = Math::normalized(Math::cross(forward, up));
    const float width = static_cast<float>(camera.viewportSize.width);
    const float height = static_cast<float>(camera.viewportSize.height);
    const float tanHalf = std::tan(camera.fieldOfView * pi / 360.0f);
    const float across = (2.0f * (static_cast<float>(x) + 0.5f) / width - 1.0f) * tanHalf * (width / height);
    const float upwards = (1.0f - 2.0f * (static_cast<float>(y) + 0.5f) / height) * tanHalf;
    Physics::Ray ray;
    ray.origin = camera.transform.position;
    ray.direction = Math::normalized(forward + right * across + up * upwards);
    return ray;
}

MouseGrab::MouseGrab(std::shared_ptr<Physics::PhysicalObject> body, const Vector3& hitPoint,
                     const Vector3& forward)
    : body_(std::move(body)), target_(hitPoint), planeNormal_(Math::normalized(forward)),
      planePoint_(hitPoint)
{
    const Math::Axes axes = bodyAxes(*body_);
    const Vector3 offset = hitPoint - body_->transform.position;
    localPoint_ = {Math::dot(offset, axes.xAxis), Math::dot(offset, axes.yAxis),
                   Math::dot(offset, axes.zAxis)};
    // Seen as moved by code: the body, and the island it may sleep in, wake
    // at the next step, also while the pointer has not moved yet.
    body_->solverMemory.stepped = false;
}

Vector3 MouseGrab::heldPoint() const
{
    const Math::Axes axes = bodyAxes(*body_);
    return body_->transform.position + axes.xAxis * localPoint_.x + axes.yAxis * localPoint_.y +
           axes.zAxis * localPoint_.z;
}

void MouseGrab::aim(const Physics::Ray& ray)
{
    const Vector3 direction = Math::normalized(ray.direction);
    const float along = Math::dot(direction, planeNormal_);
    if (std::fabs(along) < parallelCosine)
        return;
    const float distance = Math::dot(planePoint_ - ray.origin, planeNormal_) / along;
    if (distance <= 0.0f)
        return;
    target_ = ray.origin + direction * distance;
}

void MouseGrab::pull(float dt)
{
    Physics::PhysicalObject& body = *body_;
    if (body.fixed || body.kinematic || !(body.mass > 0.0f) || !(dt > 0.0f))
        return;
    // A soft constraint that holds the point at the target (Catto, "Soft
    // Constraints", GDC 2011): the spring and damper of the body's mass at
    // springFrequency and dampingRatio, solved implicitly over the step, so
    // that it is stable for any step and any point of the body.
    const float omega = 2.0f * pi * springFrequency;
    const float stiffness = body.mass * omega * omega;
    const float damping = 2.0f * body.mass * dampingRatio * omega;
    const float softness = 1.0f / (dt * (damping + dt * stiffness));
    const float errorRate = dt * stiffness * softness;

    const Vector3 held = heldPoint();
    const Vector3 arm = held - body.transform.position;
    const Vector3 pointVelocity = body.velocity + Math::cross(body.angularVelocity, arm);
    // How the held point's velocity answers an impulse there: through the
    // mass and, about the centre, through the inertia; plus the softness.
    const auto answer = [&](const Vector3& impulse) {
        return impulse / body.mass +
               Math::cross(applyLinear(body.inverseInertia, Math::cross(arm, impulse)), arm) +
               impulse * softness;
    };
    const Vector3 wanted = -(pointVelocity + (held - target_) * errorRate);
    Vector3 impulse =
        solve(answer({1.0f, 0.0f, 0.0f}), answer({0.0f, 1.0f, 0.0f}), answer({0.0f, 0.0f, 1.0f}), wanted);
    const float maxImpulse = maxPullInWeights * body.mass * standardGravity * dt;
    const float size = impulse.length();
    if (size > maxImpulse)
        impulse = impulse * (maxImpulse / size);

    body.velocity = body.velocity + impulse / body.mass;
    body.angularVelocity = body.angularVelocity + applyLinear(body.inverseInertia, Math::cross(arm, impulse));
    // Nothing above slows a turn about the held point, so a body held by a
    // corner would swing on like a pendulum; the hand damps it.
    body.angularVelocity = body.angularVelocity / (1.0f + dt * angularDamping);
}

} // namespace Tolvane
