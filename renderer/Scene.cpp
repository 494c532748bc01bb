// The renderer's module state and the per-frame scene pass.
#include "renderer/Scene.h"

#include "renderer/ObjectRenderer.h"

#include <GL/gl.h>

#include <cassert>
#include <vector>

namespace Tolvane::Renderer {

namespace {

/// Everything the pass draws and the one light it sets, for the whole program.
struct SceneState {
    std::vector<std::shared_ptr<VisibleObject>> objects;
    Math::Vector3 lightPosition;
    Color lightAmbient{};
    Color lightDiffuse{};
    Color lightSpecular{};
};

SceneState& sceneState()
{
    static SceneState state;
    return state;
}

} // namespace

void addVisibleObject(const std::shared_ptr<VisibleObject>& object)
{
    sceneState().objects.push_back(object);
}

void clearVisibleObjects()
{
    sceneState().objects.clear();
}

const std::vector<std::shared_ptr<VisibleObject>>& visibleObjects()
{
    return sceneState().objects;
}

void setLighting(const Math::Vector3& position, const Color& ambient, const Color& diffuse,
                 const Color& specular)
{
    SceneState& state = sceneState();
    state.lightPosition = position;
    state.lightAmbient = ambient;
    state.lightDiffuse = diffuse;
    state.lightSpecular = specular;
}

void renderScene(const std::shared_ptr<Camera>& camera)
{
    assert(camera);
    const SceneState& state = sceneState();
    camera->apply();

    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    // w = 0 makes the light directional. Issued after the view is loaded, the
    // direction is taken in world coordinates and does not turn with the camera.
    const GLfloat lightDirection[4] = {state.lightPosition.x, state.lightPosition.y, state.lightPosition.z,
                                       0.0f};
    glLightfv(GL_LIGHT0, GL_POSITION, lightDirection);
    glLightfv(GL_LIGHT0, GL_AMBIENT, state.lightAmbient.data());
    glLightfv(GL_LIGHT0, GL_DIFFUSE, state.lightDiffuse.data());
    glLightfv(GL_LIGHT0, GL_SPECULAR, state.lightSpecular.data());
    glEnable(GL_DEPTH_TEST);

    for (const std::shared_ptr<VisibleObject>& object : state.objects) {
        // An empty entry is skipped like an object without a renderer.
        if (!object)
            continue;
        if (const std::shared_ptr<ObjectRenderer> renderer = object->getRenderer())
            renderer->render(object);
    }
}

} // namespace Tolvane::Renderer
