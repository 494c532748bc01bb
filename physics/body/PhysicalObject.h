// A rigid body: motion state, mass properties, collision shape and pose.
#pragma once

#include "math/Matrix4.h"
#include "math/Transform.h"
#include "math/Vector3.h"
#include "physics/body/ConvexPolyhedron.h"
#include "physics/body/PhysicalModel.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace Tolvane::Physics {

/// A position-like and a velocity-like vector: the state fed to and returned by
/// the Runge-Kutta routine.
struct MotionState {
    Math::Vector3 position;
    Math::Vector3 velocity;
};

struct Derivative {
    Math::Vector3 dPosition;
    Math::Vector3 dVelocity;
};

/// Fourth-order Runge-Kutta over timeStep with a constant acceleration.
MotionState integrateRK4(MotionState state, Math::Vector3 acceleration, float timeStep);

/// The body mass used until the creator sets one.
constexpr float defaultMass = 1.0f;

struct LinearState {
    /// World units per second.
    Math::Vector3 velocity;
    /// Force accumulator: gravity is added at the start of a step and cleared at its end.
    Math::Vector3 force;
    float mass = defaultMass;

    /// Displacement (in position) and new velocity over timeStep; changes nothing.
    MotionState integrate(float timeStep) const;
};

struct AngularState {
    /// Rotation-vector rate in world coordinates, radians per second.
    Math::Vector3 angularVelocity;
    /// Integrated like force; nothing adds or clears it.
    Math::Vector3 torque;
    Math::Matrix4 inertia;
    Math::Matrix4 inverseInertia;

    /// Angular displacement (a rotation vector) and new angular velocity over timeStep.
    MotionState integrate(float timeStep) const;
};

/// What the solver response remembers of a body from one step to the next.
/// Only the universe writes it.
struct SolverMemory {
    /// The body's island stopped moving and is not simulated until something wakes it.
    bool asleep = false;
    /// Seconds the body has been slower than the sleep speeds.
    float stillTime = 0.0f;
    /// The state the last step left: a body found otherwise was moved by code
    /// between steps, which wakes it.
    bool stepped = false;
    Math::Vector3 position;
    Math::Quaternion orientation;
    Math::Vector3 velocity;
    Math::Vector3 angularVelocity;
    bool fixed = false;
    bool kinematic = false;
    /// The layer and mask it had: code changing them wakes it, so that a
    /// sleeping body no longer meant to collide with what holds it up falls.
    std::uint8_t collisionLayer = 0;
    std::uint32_t collisionMask = ~0u;
    /// The model the body had: code giving it another one wakes it too.
    const PhysicalModel* model = nullptr;
    /// The step that last gathered the body, so that a body in two sets is stepped once.
    std::uint64_t gatherStamp = 0;
    /// Where that step listed the body.
    std::int32_t listIndex = 0;
    /// The id of a body of the island this body was in after the last step (0
    /// for none): moving one body of a sleeping island wakes the whole island,
    /// also the bodies the move took it away from.
    std::uint32_t island = 0;
};

/// Always held through std::shared_ptr. All fields are public: the application
/// writes pose, mass, velocities and fixed; the universe reads and writes the rest.
class PhysicalObject : public LinearState, public AngularState {
  public:
    std::shared_ptr<PhysicalModel> model;
    std::shared_ptr<ConvexPolyhedron> shape;
    Math::Transform transform;
    /// A fixed body is never moved, but still takes part in pair tests and impulses.
    bool fixed = false;
    /// A kinematic body moves by its own velocity and angular velocity, as
    /// code sets them, and contacts never push it: it pushes the bodies it
    /// meets as a fixed body would, at its velocity. The contact solver reads it.
    bool kinematic = false;
    /// The body's own friction and restitution, combined with the other
    /// body's by the world's rules; unset, the world's value stands in.
    std::optional<float> friction;
    std::optional<float> restitution;
    /// The collision layer (0 to 31) the body is in, and the layers it
    /// collides with, one bit each: two bodies collide only when each one's
    /// mask holds the other's layer.
    std::uint8_t collisionLayer = 0;
    std::uint32_t collisionMask = ~0u;
    /// Unique among the bodies of the process, in the order they were made: it
    /// names the body in the contact solver's memory of pairs.
    const std::uint32_t id;
    SolverMemory solverMemory;

    /// Builds the body's own polyhedron tree from the model.
    explicit PhysicalObject(std::shared_ptr<PhysicalModel> model);
    /// A new body in the other's state: its pose, motion, mass, model and
    /// fixedness, but an id and a polyhedron tree of its own (the tree holds
    /// the body's world geometry, so two bodies cannot share one) and nothing
    /// of the other's solver memory.
    PhysicalObject(const PhysicalObject& other);
    PhysicalObject& operator=(const PhysicalObject&) = delete;

    /// Inertia of a solid sphere of the model's radius; does nothing for mass 0.
    /// Throws "Could not invert the matrix" for a model of radius 0.
    void updateInertia();

    /// Advances the motion by timeStep seconds under the current force and torque.
    void integrate(float timeStep);

    /// For a kinematic body: sets the velocity and angular velocity that carry
    /// it from its pose to target (its centre of mass along a line, turning
    /// the short way about it) in the next step of timeStep seconds, which
    /// is how code drives such a body along a path it computes.
    void moveKinematicTo(const Math::Transform& target, float timeStep);

    Math::Vector3 getPosition() const { return transform.position; }
    Math::Transform getTransform() const { return transform; }
};

} // namespace Tolvane::Physics
