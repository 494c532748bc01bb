// Lines and points drawn over the scene for debugging: contact points and
// normals, boxes, joints. Gathered in world coordinates, drawn in one pass.
#pragma once

#include "math/Vector3.h"
#include "renderer/Camera.h"
#include "renderer/Color.h"

#include <memory>
#include <vector>

namespace Tolvane::Renderer {

/// What one frame draws on top of the solid objects. The lists keep their
/// memory from frame to frame, so gathering again allocates nothing once
/// they are large enough.
class DebugDrawing {
  public:
    void clear();
    void line(const Math::Vector3& from, const Math::Vector3& to, const Color& color);
    void point(const Math::Vector3& at, const Color& color);
    /// The twelve edges of a box: its centre, its three axes (unit) and its
    /// half size along each.
    void box(const Math::Vector3& centre, const Math::Vector3 (&axes)[3], const Math::Vector3& halfExtents,
             const Color& color);

    bool empty() const { return lines_.empty() && points_.empty(); }
    std::size_t lineCount() const { return lines_.size() / 2; }
    std::size_t pointCount() const { return points_.size(); }

    /// Draws everything through camera's view, unlit and in front of the
    /// solid objects (no depth test), so that points inside a pile show.
    /// Leaves the GL state as it found it; needs the GL context current.
    void draw(const std::shared_ptr<Camera>& camera) const;

  private:
    /// Laid out for OpenGL's vertex and colour arrays.
    struct Vertex {
        Math::Vector3 position;
        Color color;
    };
    static_assert(sizeof(Math::Vector3) == 3 * sizeof(float), "vertex arrays read three packed floats");
    std::vector<Vertex> lines_;
    std::vector<Vertex> points_;
};

} // namespace Tolvane::Renderer
