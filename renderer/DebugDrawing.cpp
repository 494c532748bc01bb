// Debug lines and points gathered per frame and drawn unlit over the scene.
#include "renderer/DebugDrawing.h"

#include <GL/gl.h>

#include <cassert>
#include <utility>

namespace Tolvane::Renderer {

namespace {
// Contact points must stand out from the faces they lie on.
constexpr float pointSize = 6.0f;
constexpr float lineWidth = 2.0f;
} // namespace

void DebugDrawing::clear()
{
    lines_.clear();
    points_.clear();
}

void DebugDrawing::line(const Math::Vector3& from, const Math::Vector3& to, const Color& color)
{
    lines_.push_back({from, color});
    lines_.push_back({to, color});
}

void DebugDrawing::point(const Math::Vector3& at, const Color& color)
{
    points_.push_back({at, color});
}

void DebugDrawing::box(const Math::Vector3& centre, const Math::Vector3 (&axes)[3],
                       const Math::Vector3& halfExtents, const Color& color)
{
    const Math::Vector3 x = axes[0] * halfExtents.x;
    const Math::Vector3 y = axes[1] * halfExtents.y;
    const Math::Vector3 z = axes[2] * halfExtents.z;
    // Corner k has x, y and z signs from bits 0, 1 and 2 of k; an edge joins
    // two corners that differ in one bit.
    Math::Vector3 corners[8];
    for (int k = 0; k < 8; ++k)
        corners[k] = centre + ((k & 1) ? x : -x) + ((k & 2) ? y : -y) + ((k & 4) ? z : -z);
    for (int k = 0; k < 8; ++k)
        for (int bit = 1; bit < 8; bit <<= 1)
            if (!(k & bit))
                line(corners[k], corners[k | bit], color);
}

void DebugDrawing::draw(const std::shared_ptr<Camera>& camera) const
{
    assert(camera);
    if (empty())
        return;
    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_LINE_BIT | GL_POINT_BIT | GL_VIEWPORT_BIT |
                 GL_TRANSFORM_BIT);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    camera->apply();
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_TEXTURE_2D);
    glLineWidth(lineWidth);
    glPointSize(pointSize);

    // Arrays rather than a call per vertex: a pile shows thousands of points.
    glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    for (const auto& [vertices, mode] : {std::pair{&lines_, GL_LINES}, std::pair{&points_, GL_POINTS}}) {
        if (vertices->empty())
            continue;
        glVertexPointer(3, GL_FLOAT, sizeof(Vertex), &vertices->front().position.x);
        glColorPointer(4, GL_FLOAT, sizeof(Vertex), vertices->front().color.data());
        glDrawArrays(mode, 0, static_cast<GLsizei>(vertices->size()));
    }
    glPopClientAttrib();

    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glPopAttrib();
}

} // namespace Tolvane::Renderer
