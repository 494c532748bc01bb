// Display-list compilation and per-frame replay of solid objects.
#include "renderer/SimpleSolidObjectRenderer.h"

#include <GL/gl.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <utility>
#include <vector>

namespace Tolvane::Renderer {

namespace {

/// True when every corner of surface names one of the part's vertices. The
/// model reader guarantees it for loaded files; trees built in code are not
/// checked anywhere else, and a bad index would read past the vertex array.
bool hasValidCorners(const ModelSurface& surface, std::size_t vertexCount)
{
    return std::all_of(surface.vertexIndex.begin(), surface.vertexIndex.end(),
                       [vertexCount](std::uint16_t index) { return index < vertexCount; });
}

/// Emits each triangle of model with its own begin/end and one normal for all
/// three corners (flat shading), shifted by offset.
void emitTriangles(const VisibleModel& model, const Math::Vector3& offset)
{
    const std::vector<Math::Vector3>& vertices = model.vertices();
    for (const ModelSurface& surface : model.surfaces()) {
        if (!hasValidCorners(surface, vertices.size()))
            continue;
        glBegin(GL_TRIANGLES);
        for (std::uint16_t index : surface.vertexIndex) {
            const Math::Vector3 vertex = vertices[index] + offset;
            glNormal3f(surface.normal.x, surface.normal.y, surface.normal.z);
            glVertex3f(vertex.x, vertex.y, vertex.z);
        }
        glEnd();
    }
}

/// Emits model and its kids, each kid placed relative to its parent.
/// While pushes remain, every level pushes the model-view matrix and
/// translates by its location. OpenGL's matrix stack is short (32 entries
/// at least), and an overflowing push is dropped while its pop is not, which
/// would pop the view out from under every later object. So levels beyond the
/// budget add their accumulated location (offset) to their vertices instead,
/// which draws the same picture.
void emitModel(const VisibleModel& model, const Math::Vector3& offset, int pushesLeft)
{
    if (pushesLeft > 0) {
        const Math::Vector3& location = model.location();
        glPushMatrix();
        glTranslatef(location.x, location.y, location.z);
        emitTriangles(model, offset);
        for (const auto& kid : model.kids())
            if (kid)
                emitModel(*kid, offset, pushesLeft - 1);
        glPopMatrix();
        return;
    }
    const Math::Vector3 origin = offset + model.location();
    emitTriangles(model, origin);
    for (const auto& kid : model.kids())
        if (kid)
            emitModel(*kid, origin, 0);
}

/// How many nested pushes a list may make when it is replayed at the current
/// model-view stack depth, inside render()'s own push.
int matrixPushBudget()
{
    GLint maxDepth = 0;
    GLint depth = 0;
    glGetIntegerv(GL_MAX_MODELVIEW_STACK_DEPTH, &maxDepth);
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth);
    return std::max(0, maxDepth - depth - 1);
}

} // namespace

SimpleSolidObjectRenderer::SimpleSolidObjectRenderer(std::shared_ptr<OpenGLContextStore> store)
    : store_(std::move(store))
{
    assert(store_);
}

void SimpleSolidObjectRenderer::render(const std::shared_ptr<VisibleObject>& object)
{
    const std::shared_ptr<SolidObject> solid = std::dynamic_pointer_cast<SolidObject>(object);
    if (!solid)
        return;

    auto entry = lists_.find(solid);
    if (entry == lists_.end())
        entry = lists_.emplace(solid, compile(solid)).first;
    else if (entry->second >= store_->listCount())
        entry->second = compile(solid);
    const GLuint name = store_->listName(entry->second);

    Math::Transform& transform = solid->transform;
    transform.refresh();
    glPushMatrix();
    glTranslatef(transform.position.x, transform.position.y, transform.position.z);
    glMultMatrixf(transform.rotation.m);
    glCallList(name);
    glPopMatrix();
}

ListHandle SimpleSolidObjectRenderer::compile(const std::shared_ptr<SolidObject>& object)
{
    const int pushBudget = matrixPushBudget();
    const ListHandle handle = store_->createList();
    glNewList(store_->listName(handle), GL_COMPILE);
    // Only the front ambient reflectance comes from the object; diffuse and
    // specular stay whatever OpenGL has in force.
    glMaterialfv(GL_FRONT, GL_AMBIENT, object->color.data());
    if (object->model)
        emitModel(*object->model, Math::Vector3(), pushBudget);
    glEndList();
    return handle;
}

} // namespace Tolvane::Renderer
