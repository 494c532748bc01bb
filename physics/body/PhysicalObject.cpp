// Rigid-body motion: Runge-Kutta integration, inertia and the body's shape.
#include "physics/body/PhysicalObject.h"

#include "geometry/BodyHulls.h"
#include "math/Matrix3.h"

#include <cmath>

#include <atomic>

namespace Tolvane::Physics {

namespace {
// Inertia factor of a solid sphere, I = 2/5 m r², as the float 0.4; the product
// is formed in double precision and rounded to float once.
constexpr float solidSphereInertiaFactor = 0.4f;

// The derivative of the state after dt along the slope of a previous stage.
Derivative evaluate(const MotionState& state, const Math::Vector3& acceleration, float dt,
                    const Derivative& slope)
{
    Derivative result;
    result.dPosition = state.velocity + slope.dVelocity * dt;
    result.dVelocity = acceleration;
    return result;
}
} // namespace

// Classic four-stage Runge-Kutta. With a constant acceleration it gives
// x + v h + a h²/2 and v + a h up to float rounding; the stages are kept so the
// rounding is the same as in every other build of this engine.
MotionState integrateRK4(MotionState state, Math::Vector3 acceleration, float timeStep)
{
    const float halfStep = timeStep * 0.5f;
    const Derivative k1 = evaluate(state, acceleration, 0.0f, Derivative());
    const Derivative k2 = evaluate(state, acceleration, halfStep, k1);
    const Derivative k3 = evaluate(state, acceleration, halfStep, k2);
    const Derivative k4 = evaluate(state, acceleration, timeStep, k3);

    const Math::Vector3 dxdt = (k1.dPosition + 2.0f * (k2.dPosition + k3.dPosition) + k4.dPosition) / 6.0f;
    const Math::Vector3 dvdt = (k1.dVelocity + 2.0f * (k2.dVelocity + k3.dVelocity) + k4.dVelocity) / 6.0f;

    MotionState result;
    result.position = state.position + dxdt * timeStep;
    result.velocity = state.velocity + dvdt * timeStep;
    return result;
}

MotionState LinearState::integrate(float timeStep) const
{
    return integrateRK4({Math::Vector3(), velocity}, force / mass, timeStep);
}

MotionState AngularState::integrate(float timeStep) const
{
    return integrateRK4({Math::Vector3(), angularVelocity}, transformPoint(inverseInertia, torque), timeStep);
}

namespace {
/// The id of the next body made; atomic so that bodies may be made on several threads.
std::atomic<std::uint32_t> nextBodyId{1};
} // namespace

PhysicalObject::PhysicalObject(std::shared_ptr<PhysicalModel> bodyModel)
    : model(std::move(bodyModel)), id(nextBodyId.fetch_add(1, std::memory_order_relaxed))
{
    // A body without a model has no geometry to collide with; it can still move.
    if (model)
        shape = std::make_shared<ConvexPolyhedron>(Math::Vector3(), model);
}

PhysicalObject::PhysicalObject(const PhysicalObject& other)
    : LinearState(other), AngularState(other), model(other.model), transform(other.transform),
      fixed(other.fixed), kinematic(other.kinematic), friction(other.friction),
      restitution(other.restitution), collisionLayer(other.collisionLayer),
      collisionMask(other.collisionMask), id(nextBodyId.fetch_add(1, std::memory_order_relaxed))
{
    // A shape taken away by the application stays away.
    if (model && other.shape)
        shape = std::make_shared<ConvexPolyhedron>(Math::Vector3(), model);
}

namespace {

/// The rotation vector (axis times angle, the angle at most π) of a unit quaternion.
Math::Vector3 rotationVectorOf(const Math::Quaternion& q)
{
    // q and -q are the same turn: the one with w >= 0 is the short way round.
    const float sign = q.w < 0.0f ? -1.0f : 1.0f;
    const Math::Vector3 axis(q.x * sign, q.y * sign, q.z * sign);
    const float sine = axis.length();
    if (sine == 0.0f)
        return Math::Vector3();
    const float angle = 2.0f * std::atan2(sine, q.w * sign);
    return axis * (angle / sine);
}

} // namespace

void PhysicalObject::moveKinematicTo(const Math::Transform& target, float timeStep)
{
    const Math::Vector3 localCentre = model ? model->hulls().centreOfMass : Math::Vector3();
    const Math::Vector3 centre = transform.position + Math::toMatrix3(transform.orientation) * localCentre;
    const Math::Vector3 targetCentre = target.position + Math::toMatrix3(target.orientation) * localCentre;
    const Math::Quaternion& q = transform.orientation;
    // The turn from the pose to the target, in world axes: target · q⁻¹.
    const Math::Quaternion turn = target.orientation * Math::Quaternion(q.w, -q.x, -q.y, -q.z);
    velocity = (targetCentre - centre) * (1.0f / timeStep);
    angularVelocity = rotationVectorOf(turn) * (1.0f / timeStep);
}

void PhysicalObject::updateInertia()
{
    if (mass == 0.0f || !model)
        return;
    const double r = model->radius();
    const float i = static_cast<float>(static_cast<double>(solidSphereInertiaFactor) * mass * r * r);
    inertia = Math::Matrix4::diagonal(i, i, i, 1.0f);
    inverseInertia = inertia;
    inverseInertia.invert();
}

// Both state integrations read the state before any of it changes; the
// orientation is turned about world axes and not renormalised.
void PhysicalObject::integrate(float timeStep)
{
    if (fixed)
        return;
    const MotionState linear = LinearState::integrate(timeStep);
    const MotionState angular = AngularState::integrate(timeStep);
    velocity = linear.velocity;
    transform.position += linear.position;
    angularVelocity = angular.velocity;
    transform.orientation = Math::fromRotationVector(angular.position) * transform.orientation;
    transform.dirty = true;
}

} // namespace Tolvane::Physics
