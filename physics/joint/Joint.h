// A joint between two bodies, or between a body and the world: its definition
// as code or a scene gives it, and the joint as the solver keeps it (frames
// fixed in each body, limits, motor, spring, and the impulses it carried).
#pragma once

#include "math/Quaternion.h"
#include "math/Vector3.h"
#include "physics/body/PhysicalObject.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Tolvane::Physics {

enum class JointType {
    /// Holds one point of each body together; the bodies turn freely about it.
    Ball,
    /// A ball joint that also keeps the bodies turning about one axis only.
    Hinge,
    /// Holds the bodies together as one (a weld).
    Fixed,
    /// Keeps the bodies' orientations together and lets them move along one axis only.
    Slider,
    /// Keeps one point of each body between a least and a greatest distance.
    Distance,
};

/// A range a joint's coordinate is held in: radians for a hinge, units for a
/// slider, both counted from the joint's start.
struct JointLimits {
    float low = 0.0f;
    float high = 0.0f;
};

/// Drives a hinge's turn (radians per second) or a slider's travel (units per
/// second) toward speed, with at most maxForce (a torque for a hinge).
struct JointMotor {
    float speed = 0.0f;
    float maxForce = 0.0f;
};

/// Makes a distance joint a spring toward its length.
struct DistanceSpring {
    /// Hertz, more than 0.
    float frequency = 1.0f;
    /// 0 for no damping, 1 for critical damping.
    float dampingRatio = 0.0f;
};

/// What code or a scene says of a joint. Points and directions are in world
/// coordinates with the bodies as they are when the joint is made.
struct JointDefinition {
    JointType type = JointType::Ball;
    std::string name;
    /// The first body (required) and the second (null: the world).
    std::shared_ptr<PhysicalObject> bodyA;
    std::shared_ptr<PhysicalObject> bodyB;
    /// Ball, hinge, fixed and slider: the joined point (unset: bodyA's position).
    std::optional<Math::Vector3> anchor;
    /// Hinge and slider: the axis, any length but zero.
    Math::Vector3 axis;
    /// Hinge: the first body's turn about the axis relative to the second;
    /// slider: the first body's travel along the axis relative to the second.
    std::optional<JointLimits> limits;
    std::optional<JointMotor> motor;
    /// Distance: the point on each body (on the world for a body joined to it).
    Math::Vector3 anchorA;
    Math::Vector3 anchorB;
    /// Distance: the rest length (unset: the anchors' distance), and the least
    /// and greatest distance (unset: the length; with a spring, no bound).
    std::optional<float> length;
    std::optional<float> minLength;
    std::optional<float> maxLength;
    std::optional<DistanceSpring> spring;
    /// Whether the two joined bodies still collide with each other.
    bool collide = false;
};

/// Identifies a joint in its list for as long as the joint lives.
using JointId = std::uint32_t;

/// What a joint's rows carried: the point's three (or its axis rows'), the
/// turn's three, and the motor's, the two limits' and the spring's.
struct JointImpulses {
    Math::Vector3 linear;
    Math::Vector3 angular;
    float motor = 0.0f;
    float lower = 0.0f;
    float upper = 0.0f;
    float spring = 0.0f;

    JointImpulses scaled(float factor) const
    {
        return {linear * factor, angular * factor, motor * factor,
                lower * factor,  upper * factor,   spring * factor};
    }
};

/// A joint as the solver keeps it: anchors and axes fixed in each body's own
/// frame (in the world's for the world), and the impulses of the last step
/// for the next one to start from.
struct Joint {
    /// Checks the definition and fixes its points and axes in the bodies as
    /// they stand. Throws std::invalid_argument naming what is wrong: no first
    /// body, the same body twice, a zero axis, limits the wrong way round, a
    /// negative motor force, lengths out of order, a spring that is not one.
    Joint(JointId id, const JointDefinition& definition);

    JointId id;
    JointType type;
    std::string name;
    std::shared_ptr<PhysicalObject> bodyA;
    std::shared_ptr<PhysicalObject> bodyB;
    bool collide = false;

    /// The joined points in each body's frame, relative to its position.
    Math::Vector3 localAnchorA;
    Math::Vector3 localAnchorB;
    /// The axis in each body's frame, and two directions across it in the second body's.
    Math::Vector3 localAxisA;
    Math::Vector3 localAxisB;
    Math::Vector3 localCrossB[2];
    /// The first body's orientation relative to the second's at the start.
    Math::Quaternion referenceRotation;

    bool hasLimits = false;
    JointLimits limits;
    bool hasMotor = false;
    JointMotor motor;
    float length = 0.0f;
    float minLength = 0.0f;
    float maxLength = 0.0f;
    bool hasSpring = false;
    DistanceSpring spring;

    /// The impulses of one of the settings' substeps the last step ended with.
    JointImpulses impulses;
    /// How many times the settings' substeps the load it carried asked for
    /// last step (1, 2, 4 or 8): the solver's memory, to step down slowly.
    int substepScale = 1;

    /// Forgets the carried impulses.
    void clearImpulses();
};

/// The rotation of q applied to v.
Math::Vector3 rotate(const Math::Quaternion& q, const Math::Vector3& v);
/// The inverse rotation of q applied to v.
Math::Vector3 rotateBack(const Math::Quaternion& q, const Math::Vector3& v);
Math::Quaternion conjugate(const Math::Quaternion& q);
/// Two unit directions across the unit direction n, each across the other.
void crossDirections(const Math::Vector3& n, Math::Vector3& first, Math::Vector3& second);

} // namespace Tolvane::Physics
