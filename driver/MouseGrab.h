// Picking a body with the mouse and dragging it with a soft spring: the ray
// under a window pixel, and the spring that pulls the grabbed point towards
// the pointer in the plane facing the camera.
#pragma once

#include "math/Vector3.h"
#include "physics/body/PhysicalObject.h"
#include "physics/query/QueryShapes.h"
#include "renderer/Camera.h"

#include <memory>

namespace Tolvane {

/// The ray from the camera's eye through the centre of window pixel (x, y),
/// counted from the window's top-left corner, for a camera whose viewport is
/// the whole window.
Physics::Ray rayThroughPixel(Renderer::Camera& camera, int x, int y);

/// A body held by the mouse. The held point is fixed on the body; the spring
/// pulls it towards the target, a point the pointer moves in the plane
/// through the first hit point that faces the camera.
class MouseGrab {
  public:
    /// How stiff the spring is, as the frequency a held body swings at, and
    /// how much of that swing its damping takes out (1: none overshoots).
    static constexpr float springFrequency = 5.0f;
    static constexpr float dampingRatio = 0.7f;
    /// The strongest pull, in multiples of the body's weight under 1 g: a
    /// body caught deep in a pile cannot be flung out at any speed.
    static constexpr float maxPullInWeights = 1000.0f;
    /// Per second: how fast a held body's turning dies away.
    static constexpr float angularDamping = 10.0f;

    /// Holds body at the world point hitPoint; the target then moves in the
    /// plane through hitPoint square to the camera's forward direction. The
    /// body and its island wake at the next step.
    MouseGrab(std::shared_ptr<Physics::PhysicalObject> body, const Math::Vector3& hitPoint,
              const Math::Vector3& forward);

    /// Moves the target to where ray meets the plane facing the camera;
    /// a ray parallel to the plane leaves it where it is.
    void aim(const Physics::Ray& ray);

    /// One step's pull over dt seconds: changes the body's velocity and
    /// angular velocity as the spring and its damper would over the step,
    /// solved implicitly so that any step length stays stable. Changing the
    /// velocity between steps also wakes the body and its island.
    void pull(float dt);

    const std::shared_ptr<Physics::PhysicalObject>& body() const { return body_; }
    /// The held point in world coordinates, as the body stands now.
    Math::Vector3 heldPoint() const;
    const Math::Vector3& target() const { return target_; }

  private:
    std::shared_ptr<Physics::PhysicalObject> body_;
    /// The held point in the body's own coordinates.
    Math::Vector3 localPoint_;
    Math::Vector3 target_;
    /// The plane the target moves in: normal along the view, through planePoint_.
    Math::Vector3 planeNormal_;
    Math::Vector3 planePoint_;
};

} // namespace Tolvane
