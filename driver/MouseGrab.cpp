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
    // The spring works on the held point as if the body's whole mass sat
    // there; the same choice mouse springs in other engines make, which keeps
    // the pull soft on a body held by a corner.
    const float omega = 2.0f * pi * springFrequency;
    const float stiffness = body.mass * omega * omega;
    const float damping = 2.0f * body.mass * dampingRatio * omega;

    const Vector3 held = heldPoint();
    const Vector3 arm = held - body.transform.position;
    const Vector3 pointVelocity = body.velocity + Math::cross(body.angularVelocity, arm);
    const Vector3 stretch = target_ - held;
    // Implicit Euler of m v' = k x - c v over dt, solved for the velocity the
    // held point ends the step with; the impulse is what takes it there.
    const float denominator = body.mass + dt * damping + dt * dt * stiffness;
    const Vector3 endVelocity = (pointVelocity * body.mass + stretch * (stiffness * dt)) / denominator;
    Vector3 impulse = (endVelocity - pointVelocity) * body.mass;
    const float maxImpulse = maxPullInWeights * body.mass * standardGravity * dt;
    const float size = impulse.length();
    if (size > maxImpulse)
        impulse = impulse * (maxImpulse / size);

    body.velocity = body.velocity + impulse / body.mass;
    body.angularVelocity = body.angularVelocity + applyLinear(body.inverseInertia, Math::cross(arm, impulse));
}

} // namespace Tolvane
