// The interface of everything the scene pass can draw.
#pragma once

#include <memory>

namespace Tolvane::Renderer {

class ObjectRenderer;

/// Something drawable; it names the renderer that knows how to draw it.
class VisibleObject {
  public:
    virtual ~VisibleObject() = default;

    /// The renderer responsible for this object, or an empty pointer when it is not to be drawn.
    virtual std::shared_ptr<ObjectRenderer> getRenderer() const = 0;
};

} // namespace Tolvane::Renderer
