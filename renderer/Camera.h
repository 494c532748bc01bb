// The viewer: an orbiting pose plus the projection it loads into OpenGL.
#pragma once

#include "math/Transform.h"
#include "math/Vector3.h"

namespace Tolvane::Renderer {

/// Lower-left corner of the viewport in window pixels (y up, as OpenGL counts).
struct ViewportOrigin {
    int x = 0;
    int y = 0;
};

/// Width and height of the viewport in pixels.
struct ViewportSize {
    int width = 0;
    int height = 0;
};

/// Eye pose and projection. The camera looks along its local +z axis with its
/// local +y axis up. Its orbit distance belongs to the program: the camera keeps
/// a reference to that float and reads it at every orbit, so a zoom only has to
/// change the float and orbit once.
class Camera {
  public:
    /// Perspective mode that apply() loads; any other value leaves the matrices alone.
    static constexpr int perspectiveProjection = 1;

    /// orbitDistance must outlive the camera; it is read, never written.
    explicit Camera(const float& orbitDistance) : orbitDistance_(&orbitDistance) {}
    /// A temporary would dangle as soon as the constructor returns.
    explicit Camera(const float&& orbitDistance) = delete;

    /// Turns the camera by pitch radians about its own x axis (positive looks
    /// further down), then by yaw radians about the world y axis, and places it
    /// at the orbit distance from target, looking at it. The pitch is cut short
    /// so that the viewing direction's height stays within about ±0.95.
    void orbit(const Math::Vector3& target, float yaw, float pitch);

    /// Sets the viewport; in perspective mode also loads the projection and
    /// leaves the model-view matrix holding the view. Needs a current GL context.
    void apply();

    Math::Transform transform;
    int projectionMode = perspectiveProjection;
    ViewportOrigin viewportOrigin;
    ViewportSize viewportSize;
    /// Vertical field of view in degrees.
    float fieldOfView = 45.0f;

  private:
    const float* orbitDistance_;
};

} // namespace Tolvane::Renderer
