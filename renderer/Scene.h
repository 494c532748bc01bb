// The scene pass: the registered objects drawn through the camera under one directional light.
#pragma once

#include "math/Vector3.h"
#include "renderer/Camera.h"
#include "renderer/Color.h"
#include "renderer/VisibleObject.h"

#include <memory>
#include <vector>

namespace Tolvane::Renderer {

/// Appends object to the objects every pass draws, in registration order. There
/// is no removal; an object registered twice is drawn twice.
void addVisibleObject(const std::shared_ptr<VisibleObject>& object);

/// Empties the object list, so that tests can start from a clean scene.
void clearVisibleObjects();

/// The registered objects, in registration order.
const std::vector<std::shared_ptr<VisibleObject>>& visibleObjects();

/// Stores the light for every later pass. position is the direction towards
/// the light in world coordinates (the light is directional); the colours are
/// light 0's ambient, diffuse and specular intensities. Until the first call
/// all four are zero.
void setLighting(const Math::Vector3& position, const Color& ambient, const Color& diffuse,
                 const Color& specular);

/// Draws one frame's objects: applies camera, sets up light 0 and the depth
/// test, and hands each registered object to its renderer (objects without one
/// are skipped). Does not clear or swap the buffers. Needs the GL context current.
void renderScene(const std::shared_ptr<Camera>& camera);

} // namespace Tolvane::Renderer
