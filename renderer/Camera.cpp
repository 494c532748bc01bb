// Camera orbit and the OpenGL view and projection it sets up.
#include "renderer/Camera.h"

#include <GL/gl.h>
#include <GL/glu.h>

namespace Tolvane::Renderer {

namespace {
// Largest height of the viewing direction an orbit may reach, up or down; keeps
// the view from turning straight up or down, where the look-at degenerates.
constexpr float maxForwardHeight = 0.95f;
// Rotation vectors with a squared length below this have no axis of their own
// for the quaternion conversion, which turns them about z instead. A turn that
// small (under 3.2e-5 radians) is invisible, but turned about z it rolls the
// camera, and the clamped pitch at the limit produces such turns again and
// again; so the camera drops them.
constexpr float axislessSquaredAngle = 1e-9f;
// Clipping planes of the perspective projection, in world units.
constexpr double nearPlane = 1.0;
constexpr double farPlane = 1000000.0;

/// True when r is long enough to turn about its own axis.
bool hasOwnAxis(const Math::Vector3& r)
{
    return !(r.squaredLength() < axislessSquaredAngle);
}
} // namespace

void Camera::orbit(const Math::Vector3& target, float yaw, float pitch)
{
    const float distance = *orbitDistance_;
    const Math::Vector3 yawRotation = Math::normalized({0.0f, 1.0f, 0.0f}) * yaw;

    // Pitching by p changes the forward height by about -p, so the limit is
    // applied to that first-order estimate.
    const float forwardHeight = transform.axes().zAxis.y;
    if (forwardHeight - pitch > maxForwardHeight)
        pitch = forwardHeight - maxForwardHeight;
    else if (forwardHeight - pitch < -maxForwardHeight)
        pitch = forwardHeight + maxForwardHeight;
    const Math::Vector3 pitchRotation = Math::normalized({1.0f, 0.0f, 0.0f}) * pitch;

    // Pitch about the camera's own x axis first, then yaw about the world's y
    // axis: this order keeps the camera's x axis horizontal.
    if (hasOwnAxis(pitchRotation))
        transform.rotateLocal(pitchRotation);
    if (hasOwnAxis(yawRotation))
        transform.rotateWorld(yawRotation);

    const Math::Axes axes = transform.axes();
    transform.position = target - axes.zAxis * distance;
}

void Camera::apply()
{
    glViewport(viewportOrigin.x, viewportOrigin.y, viewportSize.width, viewportSize.height);
    if (projectionMode != perspectiveProjection)
        return;

    const float aspect = static_cast<float>(viewportSize.width) / static_cast<float>(viewportSize.height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(fieldOfView, aspect, nearPlane, farPlane);

    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    const Math::Axes axes = transform.axes();
    const Math::Vector3& eye = transform.position;
    gluLookAt(eye.x, eye.y, eye.z, eye.x + axes.zAxis.x, eye.y + axes.zAxis.y, eye.z + axes.zAxis.z,
              axes.yAxis.x, axes.yAxis.y, axes.yAxis.z);
}

} // namespace Tolvane::Renderer
