// The joints' passes. Every joint is built of a few parts, each solved as a
// soft constraint on the bodies' velocities (Catto, "Soft Constraints", GDC
// 2011), in this order so that the hard parts have the last word:
//  - a distance spring, a motor (speed with a force limit), then the limits
//    (impulses that only push, and close a gap no faster than it is);
//  - the parts that must hold: one point held together (ball, hinge, fixed),
//    two turn directions locked (hinge) or all three (fixed, slider), two
//    travel directions locked (slider), a fixed distance (distance).
// Each pass works the errors out from the bodies' poses as the substeps left
// them, with the inverse inertias of the step's start, as the contacts do.
#include "physics/solver/JointSolver.h"

#include "geometry/BodyHulls.h"
#include "physics/solver/SolverConstants.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics {

using Math::Matrix3;
using Math::Quaternion;
using Math::Vector3;

namespace {

/// A joint's body during one pass: where its anchor is, the anchor from its
/// centre of mass, its orientation, and its velocities to change.
struct Motion {
    Vector3 point;
    Vector3 arm;
    Quaternion orientation;
    Vector3 velocity;
    Vector3 angularVelocity;
    float inverseMass = 0.0f;
    Matrix3 inverseInertia = Matrix3::zero();
};

/// The turn of A relative to B since the joint was made, in B's frame.
Quaternion relativeTurn(const Quaternion& a, const Quaternion& b, const Quaternion& reference)
{
    Quaternion turn = conjugate(b) * a * conjugate(reference);
    // The shorter way round.
    if (turn.w < 0.0f)
        turn = {-turn.w, -turn.x, -turn.y, -turn.z};
    return turn;
}

/// A limit's impulse along a direction whose speed is speed: C is the room
/// left before the limit (negative past it). The impulse only pushes.
float limitImpulse(float C, float speed, float mass, float h, const Softness& softness, bool useBias,
                   float& accumulated)
{
    float bias = 0.0f;
    float massScale = 1.0f;
    float impulseScale = 0.0f;
    if (C > 0.0f) {
        // Still apart: the gap may close within the substep, no more.
        bias = C / h;
    } else if (useBias) {
        bias = softness.biasRate * C;
        massScale = softness.massScale;
        impulseScale = softness.impulseScale;
    }
    const float impulse = -mass * massScale * (speed + bias) - impulseScale * accumulated;
    const float total = std::max(accumulated + impulse, 0.0f);
    const float applied = total - accumulated;
    accumulated = total;
    return applied;
}

/// The impulse of a part that must hold at error C with speed speed.
float holdImpulse(float C, float speed, float mass, const Softness& softness, bool useBias, float accumulated)
{
    if (!useBias)
        return -mass * speed;
    return -mass * softness.massScale * (speed + softness.biasRate * C) - softness.impulseScale * accumulated;
}

float inverseOf(float k)
{
    return k > 0.0f ? 1.0f / k : 0.0f;
}

/// An impulse that turns A by +turn and B by -turn.
void applyTurn(Motion& a, Motion& b, const Vector3& turn)
{
    a.angularVelocity += a.inverseInertia * turn;
    b.angularVelocity -= b.inverseInertia * turn;
}

/// An impulse pushing B along impulse at its anchor, and A the other way at its own.
void applyAtPoints(Motion& a, Motion& b, const Vector3& impulse)
{
    a.velocity -= impulse * a.inverseMass;
    a.angularVelocity -= a.inverseInertia * cross(a.arm, impulse);
    b.velocity += impulse * b.inverseMass;
    b.angularVelocity += b.inverseInertia * cross(b.arm, impulse);
}

/// The speed at which B's anchor leaves A's.
Vector3 separationSpeed(const Motion& a, const Motion& b)
{
    return b.velocity + cross(b.angularVelocity, b.arm) - a.velocity - cross(a.angularVelocity, a.arm);
}

/// The mass the pair shows to an impulse along the unit direction d at the anchors.
float massAlong(const Motion& a, const Motion& b, const Vector3& d)
{
    const Vector3 turnA = cross(a.arm, d);
    const Vector3 turnB = cross(b.arm, d);
    return inverseOf(a.inverseMass + b.inverseMass + dot(turnA, a.inverseInertia * turnA) +
                     dot(turnB, b.inverseInertia * turnB));
}

/// The mass the pair shows to a turn about the unit direction d.
float turnMassAbout(const Motion& a, const Motion& b, const Vector3& d)
{
    return inverseOf(dot(d, a.inverseInertia * d) + dot(d, b.inverseInertia * d));
}

/// The impulse of three rows solved together (mass their effective mass):
/// with the bias, the soft step's push toward no error; without it, the
/// relax pass's, which only stops the rows' speed. Added to accumulated.
Vector3 softImpulse(const Matrix3& mass, const Vector3& speed, const Vector3& error, const Softness& softness,
                    bool useBias, Vector3& accumulated)
{
    const Vector3 impulse = useBias ? mass * (speed + error * softness.biasRate) * -softness.massScale -
                                          accumulated * softness.impulseScale
                                    : mass * speed * -1.0f;
    accumulated += impulse;
    return impulse;
}

/// Holds B's anchor on A's (three directions at once).
void solvePoint(Motion& a, Motion& b, const Softness& softness, bool useBias, Vector3& accumulated)
{
    const Vector3 error = b.point - a.point;
    const Vector3 speed = separationSpeed(a, b);
    const float m = a.inverseMass + b.inverseMass;
    Matrix3 k = Matrix3::diagonal(m, m, m);
    const Vector3 axes[3] = {Vector3(1.0f, 0.0f, 0.0f), Vector3(0.0f, 1.0f, 0.0f), Vector3(0.0f, 0.0f, 1.0f)};
    for (int i = 0; i < 3; ++i)
        k.column[i] += cross(a.inverseInertia * cross(a.arm, axes[i]), a.arm) +
                       cross(b.inverseInertia * cross(b.arm, axes[i]), b.arm);
    Matrix3 mass;
    if (!Math::invertSymmetricPositiveDefinite(k, mass))
        return;
    applyAtPoints(a, b, softImpulse(mass, speed, error, softness, useBias, accumulated));
}

/// Holds A's orientation relative to B's as it was (three turn directions).
void solveOrientation(Motion& a, Motion& b, const Quaternion& reference, const Softness& softness,
                      bool useBias, Vector3& accumulated)
{
    const Quaternion turn = relativeTurn(a.orientation, b.orientation, reference);
    const Vector3 error = rotate(b.orientation, Vector3(turn.x, turn.y, turn.z) * 2.0f);
    const Vector3 speed = a.angularVelocity - b.angularVelocity;
    Matrix3 mass;
    if (!Math::invertSymmetricPositiveDefinite(a.inverseInertia + b.inverseInertia, mass))
        return;
    applyTurn(a, b, softImpulse(mass, speed, error, softness, useBias, accumulated));
}

/// Keeps A's axis across B's two directions across the axis: the bodies turn
/// about the axis only. The two rows are solved together.
void solveHingeAxis(Motion& a, Motion& b, const Joint& joint, const Softness& softness, bool useBias,
                    Vector3& accumulated)
{
    const Vector3 axisA = rotate(a.orientation, joint.localAxisA);
    const Vector3 u[2] = {cross(axisA, rotate(b.orientation, joint.localCrossB[0])),
                          cross(axisA, rotate(b.orientation, joint.localCrossB[1]))};
    const float error[2] = {dot(axisA, rotate(b.orientation, joint.localCrossB[0])),
                            dot(axisA, rotate(b.orientation, joint.localCrossB[1]))};
    const Matrix3 inverseInertia = a.inverseInertia + b.inverseInertia;
    const float k11 = dot(u[0], inverseInertia * u[0]);
    const float k12 = dot(u[0], inverseInertia * u[1]);
    const float k22 = dot(u[1], inverseInertia * u[1]);
    const float determinant = k11 * k22 - k12 * k12;
    if (!(determinant > 1e-12f * std::max(k11 * k22, 1e-30f)))
        return;
    const Vector3 relative = a.angularVelocity - b.angularVelocity;
    float rhs[2];
    for (int i = 0; i < 2; ++i) {
        const float speed = dot(u[i], relative);
        rhs[i] = useBias ? speed + softness.biasRate * error[i] : speed;
    }
    const float inverseDeterminant = 1.0f / determinant;
    const float solved[2] = {(k22 * rhs[0] - k12 * rhs[1]) * inverseDeterminant,
                             (k11 * rhs[1] - k12 * rhs[0]) * inverseDeterminant};
    float impulse[2];
    const float previous[2] = {accumulated.x, accumulated.y};
    for (int i = 0; i < 2; ++i)
        impulse[i] =
            useBias ? -softness.massScale * solved[i] - softness.impulseScale * previous[i] : -solved[i];
    accumulated.x += impulse[0];
    accumulated.y += impulse[1];
    applyTurn(a, b, u[0] * impulse[0] + u[1] * impulse[1]);
}

/// One row of B's anchor held along direction d (fixed in B) against A's,
/// for a slider: the speed along d of A's anchor from B's.
struct SlideRow {
    Vector3 direction;
    Vector3 turnA;
    Vector3 turnB;
    float mass = 0.0f;
};

SlideRow slideRow(const Motion& a, const Motion& b, const Vector3& offset, const Vector3& d)
{
    SlideRow row;
    row.direction = d;
    row.turnA = cross(a.arm, d);
    row.turnB = cross(b.arm + offset, d);
    row.mass = inverseOf(a.inverseMass + b.inverseMass + dot(row.turnA, a.inverseInertia * row.turnA) +
                         dot(row.turnB, b.inverseInertia * row.turnB));
    return row;
}

float slideSpeed(const Motion& a, const Motion& b, const SlideRow& row)
{
    return dot(row.direction, a.velocity) + dot(row.turnA, a.angularVelocity) -
           dot(row.direction, b.velocity) - dot(row.turnB, b.angularVelocity);
}

/// An impulse moving A's anchor along the row's direction, and B the other way.
void applySlide(Motion& a, Motion& b, const SlideRow& row, float impulse)
{
    a.velocity += row.direction * (impulse * a.inverseMass);
    a.angularVelocity += a.inverseInertia * (row.turnA * impulse);
    b.velocity -= row.direction * (impulse * b.inverseMass);
    b.angularVelocity -= b.inverseInertia * (row.turnB * impulse);
}

/// The hinge's turn of A relative to B about the axis, in (-π, π].
float hingeAngle(const Motion& a, const Motion& b, const Joint& joint)
{
    const Quaternion turn = relativeTurn(a.orientation, b.orientation, joint.referenceRotation);
    const float along = dot(Vector3(turn.x, turn.y, turn.z), joint.localAxisB);
    return 2.0f * std::atan2(along, turn.w);
}

/// A hinge's motor and limits, about the world axis.
void solveHingeTurn(Motion& a, Motion& b, const Joint& joint, float h, const Softness& softness, bool useBias,
                    JointImpulses& impulses)
{
    float& motorImpulse = impulses.motor;
    const Vector3 axis = rotate(b.orientation, joint.localAxisB);
    const float mass = turnMassAbout(a, b, axis);
    if (joint.hasMotor) {
        const float speed = dot(axis, a.angularVelocity - b.angularVelocity) - joint.motor.speed;
        const float most = joint.motor.maxForce * h;
        const float total = std::clamp(motorImpulse - mass * speed, -most, most);
        const float applied = total - motorImpulse;
        motorImpulse = total;
        applyTurn(a, b, axis * applied);
    }
    if (joint.hasLimits) {
        const float angle = hingeAngle(a, b, joint);
        float speed = dot(axis, a.angularVelocity - b.angularVelocity);
        const float lower =
            limitImpulse(angle - joint.limits.low, speed, mass, h, softness, useBias, impulses.lower);
        applyTurn(a, b, axis * lower);
        speed = dot(axis, b.angularVelocity - a.angularVelocity);
        const float upper =
            limitImpulse(joint.limits.high - angle, speed, mass, h, softness, useBias, impulses.upper);
        applyTurn(a, b, axis * -upper);
    }
}

/// A slider: the motor and the limits along its axis, then its orientation
/// held and its two sideways directions.
void solveSlider(Motion& a, Motion& b, const Joint& joint, float h, const Softness& softness, bool useBias,
                 JointImpulses& impulses)
{
    const Vector3 offset = a.point - b.point;
    const Vector3 axis = rotate(b.orientation, joint.localAxisB);
    const SlideRow along = slideRow(a, b, offset, axis);
    if (joint.hasMotor) {
        const float speed = slideSpeed(a, b, along) - joint.motor.speed;
        const float most = joint.motor.maxForce * h;
        const float total = std::clamp(impulses.motor - along.mass * speed, -most, most);
        applySlide(a, b, along, total - impulses.motor);
        impulses.motor = total;
    }
    if (joint.hasLimits) {
        const float travel = dot(offset, axis);
        const float lower = limitImpulse(travel - joint.limits.low, slideSpeed(a, b, along), along.mass, h,
                                         softness, useBias, impulses.lower);
        applySlide(a, b, along, lower);
        const float upper = limitImpulse(joint.limits.high - travel, -slideSpeed(a, b, along), along.mass, h,
                                         softness, useBias, impulses.upper);
        applySlide(a, b, along, -upper);
    }
    solveOrientation(a, b, joint.referenceRotation, softness, useBias, impulses.angular);
    float* held[2] = {&impulses.linear.x, &impulses.linear.y};
    for (int i = 0; i < 2; ++i) {
        const Vector3 across = rotate(b.orientation, joint.localCrossB[i]);
        const SlideRow row = slideRow(a, b, offset, across);
        const float impulse =
            holdImpulse(dot(offset, across), slideSpeed(a, b, row), row.mass, softness, useBias, *held[i]);
        *held[i] += impulse;
        applySlide(a, b, row, impulse);
    }
}

} // namespace

JointSolver::Side JointSolver::sideOf(std::int32_t tableIndex, const Vector3& localAnchor,
                                      const BodyTable& table, const SolveBatches& batches) const
{
    Side side;
    if (tableIndex < 0) {
        side.anchor = localAnchor;
        return side;
    }
    const StepBody& entry = table[static_cast<std::size_t>(tableIndex)];
    side.index = batches.solverIndexOf(static_cast<std::size_t>(tableIndex));
    const Vector3 localCentre = entry.hulls ? entry.hulls->centreOfMass : Vector3();
    if (side.index != noSolverBody) {
        side.anchor = localAnchor - localCentre;
        return side;
    }
    const Math::Transform& pose = entry.object->transform;
    side.orientation = pose.orientation;
    if (table.kinematic(tableIndex)) {
        side.kinematic = true;
        side.anchor = localAnchor - localCentre;
        side.centre = entry.centre;
        side.velocity = entry.object->velocity;
        side.angularVelocity = entry.object->angularVelocity;
        return side;
    }
    side.anchor = pose.position + rotate(pose.orientation, localAnchor);
    return side;
}

void JointSolver::prepare(const std::int32_t* first, const std::int32_t* last, const BodyTable& table,
                          const SolveBatches& batches, float h, int scale)
{
    const float perSubstep = 1.0f / static_cast<float>(scale);
    // The same stiffness at any substep length, within its share of the rate.
    const float hertz = std::min(jointHertz, maxJointHertzPerSubstepRate / h);
    const Softness softness = makeSoftness(hertz, jointDampingRatio, h);
    for (const std::int32_t* j = first; j != last; ++j) {
        const Joint& joint = joints_[static_cast<std::size_t>(*j)];
        const JointLink& link = links_[static_cast<std::size_t>(*j)];
        State& state = states_[static_cast<std::size_t>(*j)];
        state.a = sideOf(link.bodyA, joint.localAnchorA, table, batches);
        state.b = sideOf(link.bodyB, joint.localAnchorB, table, batches);
        state.h = h;
        state.softness = softness;
        state.springSoftness =
            joint.hasSpring ? makeSoftness(joint.spring.frequency, joint.spring.dampingRatio, h) : Softness();
        state.impulses = joint.impulses.scaled(perSubstep);
    }
}

namespace {

/// The side's body as it stands elapsed into the step.
Motion motionOf(const JointSide& side, const std::vector<SolverBody>& bodies,
                const std::vector<Quaternion>& orientations, float elapsed)
{
    Motion motion;
    if (side.kinematic) {
        // Where the step's end will put it: its centre carried by its
        // velocity, its orientation turned by its angular velocity.
        motion.orientation = Math::fromRotationVector(side.angularVelocity * elapsed) * side.orientation;
        motion.arm = rotate(motion.orientation, side.anchor);
        motion.point = side.centre + side.velocity * elapsed + motion.arm;
        motion.velocity = side.velocity;
        motion.angularVelocity = side.angularVelocity;
        return motion;
    }
    if (side.index == noSolverBody) {
        motion.point = side.anchor;
        motion.orientation = side.orientation;
        return motion;
    }
    const SolverBody& body = bodies[static_cast<std::size_t>(side.index)];
    motion.orientation = orientations[static_cast<std::size_t>(side.index)];
    motion.arm = rotate(motion.orientation, side.anchor);
    motion.point = body.centre + body.deltaPosition + motion.arm;
    motion.velocity = body.linearVelocity;
    motion.angularVelocity = body.angularVelocity;
    motion.inverseMass = body.inverseMass;
    motion.inverseInertia = body.inverseInertia;
    return motion;
}

void putBack(std::int32_t index, const Motion& motion, std::vector<SolverBody>& bodies)
{
    if (index == noSolverBody)
        return;
    SolverBody& body = bodies[static_cast<std::size_t>(index)];
    body.linearVelocity = motion.velocity;
    body.angularVelocity = motion.angularVelocity;
}

} // namespace

void JointSolver::warmStart(const std::int32_t* first, const std::int32_t* last,
                            std::vector<SolverBody>& bodies, const std::vector<Quaternion>& orientations,
                            float elapsed) const
{
    for (const std::int32_t* j = first; j != last; ++j) {
        const Joint& joint = joints_[static_cast<std::size_t>(*j)];
        const State& state = states_[static_cast<std::size_t>(*j)];
        Motion a = motionOf(state.a, bodies, orientations, elapsed);
        Motion b = motionOf(state.b, bodies, orientations, elapsed);
        switch (joint.type) {
        case JointType::Ball:
        case JointType::Fixed:
        case JointType::Hinge: {
            applyAtPoints(a, b, state.impulses.linear);
            Vector3 turn;
            if (joint.type == JointType::Fixed) {
                turn = state.impulses.angular;
            } else if (joint.type == JointType::Hinge) {
                const Vector3 axisA = rotate(a.orientation, joint.localAxisA);
                const Vector3 axisB = rotate(b.orientation, joint.localAxisB);
                turn = cross(axisA, rotate(b.orientation, joint.localCrossB[0])) * state.impulses.angular.x +
                       cross(axisA, rotate(b.orientation, joint.localCrossB[1])) * state.impulses.angular.y +
                       axisB * (state.impulses.motor + state.impulses.lower - state.impulses.upper);
            }
            applyTurn(a, b, turn);
            break;
        }
        case JointType::Slider: {
            const Vector3 offset = a.point - b.point;
            const Vector3 axis = rotate(b.orientation, joint.localAxisB);
            applySlide(a, b, slideRow(a, b, offset, rotate(b.orientation, joint.localCrossB[0])),
                       state.impulses.linear.x);
            applySlide(a, b, slideRow(a, b, offset, rotate(b.orientation, joint.localCrossB[1])),
                       state.impulses.linear.y);
            applySlide(a, b, slideRow(a, b, offset, axis),
                       state.impulses.motor + state.impulses.lower - state.impulses.upper);
            applyTurn(a, b, state.impulses.angular);
            break;
        }
        case JointType::Distance: {
            const Vector3 between = b.point - a.point;
            const float length = between.length();
            if (length > 0.0f) {
                const float along = state.impulses.linear.x + state.impulses.spring + state.impulses.lower -
                                    state.impulses.upper;
                applyAtPoints(a, b, between * (along / length));
            }
            break;
        }
        }
        putBack(state.a.index, a, bodies);
        putBack(state.b.index, b, bodies);
    }
}

void JointSolver::solve(const std::int32_t* first, const std::int32_t* last, std::vector<SolverBody>& bodies,
                        const std::vector<Quaternion>& orientations, bool useBias, float elapsed)
{
    for (const std::int32_t* j = first; j != last; ++j)
        solveJoint(joints_[static_cast<std::size_t>(*j)], states_[static_cast<std::size_t>(*j)], bodies,
                   orientations, useBias, elapsed);
}

void JointSolver::solveJoint(const Joint& joint, State& state, std::vector<SolverBody>& bodies,
                             const std::vector<Quaternion>& orientations, bool useBias, float elapsed) const
{
    Motion a = motionOf(state.a, bodies, orientations, elapsed);
    Motion b = motionOf(state.b, bodies, orientations, elapsed);
    const Softness& softness = state.softness;
    switch (joint.type) {
    case JointType::Ball:
        solvePoint(a, b, softness, useBias, state.impulses.linear);
        break;
    case JointType::Hinge:
        solveHingeTurn(a, b, joint, state.h, softness, useBias, state.impulses);
        solveHingeAxis(a, b, joint, softness, useBias, state.impulses.angular);
        solvePoint(a, b, softness, useBias, state.impulses.linear);
        break;
    case JointType::Fixed:
        solveOrientation(a, b, joint.referenceRotation, softness, useBias, state.impulses.angular);
        solvePoint(a, b, softness, useBias, state.impulses.linear);
        break;
    case JointType::Slider:
        solveSlider(a, b, joint, state.h, softness, useBias, state.impulses);
        break;
    case JointType::Distance: {
        const Vector3 between = b.point - a.point;
        const float length = between.length();
        const Vector3 direction = length > 1e-6f ? between * (1.0f / length) : Vector3(0.0f, 1.0f, 0.0f);
        const float mass = massAlong(a, b, direction);
        const auto speed = [&] { return dot(direction, separationSpeed(a, b)); };
        if (joint.minLength < joint.maxLength) {
            if (joint.hasSpring) {
                const Softness& spring = state.springSoftness;
                const float impulse =
                    -mass * spring.massScale * (speed() + spring.biasRate * (length - joint.length)) -
                    spring.impulseScale * state.impulses.spring;
                state.impulses.spring += impulse;
                applyAtPoints(a, b, direction * impulse);
            }
            const float lower = limitImpulse(length - joint.minLength, speed(), mass, state.h, softness,
                                             useBias, state.impulses.lower);
            applyAtPoints(a, b, direction * lower);
            if (std::isfinite(joint.maxLength)) {
                const float upper = limitImpulse(joint.maxLength - length, -speed(), mass, state.h, softness,
                                                 useBias, state.impulses.upper);
                applyAtPoints(a, b, direction * -upper);
            }
        } else {
            const float impulse = holdImpulse(length - joint.minLength, speed(), mass, softness, useBias,
                                              state.impulses.linear.x);
            state.impulses.linear.x += impulse;
            applyAtPoints(a, b, direction * impulse);
        }
        break;
    }
    }
    putBack(state.a.index, a, bodies);
    putBack(state.b.index, b, bodies);
}

void JointSolver::store(const std::int32_t* first, const std::int32_t* last, int scale)
{
    const auto factor = static_cast<float>(scale);
    for (const std::int32_t* j = first; j != last; ++j) {
        Joint& joint = joints_[static_cast<std::size_t>(*j)];
        const State& state = states_[static_cast<std::size_t>(*j)];
        joint.impulses = state.impulses.scaled(factor);
    }
}

} // namespace Tolvane::Physics
