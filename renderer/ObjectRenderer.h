// The interface of renderers that draw visible objects.
#pragma once

#include "renderer/VisibleObject.h"

#include <memory>

namespace Tolvane::Renderer {

/// Draws the kinds of visible object it knows with the current OpenGL state.
class ObjectRenderer {
  public:
    virtual ~ObjectRenderer() = default;

    /// Draws object under the current model-view matrix, which it leaves as it
    /// found it. Objects of a kind the renderer does not know are not drawn.
    virtual void render(const std::shared_ptr<VisibleObject>& object) = 0;
};

} // namespace Tolvane::Renderer
