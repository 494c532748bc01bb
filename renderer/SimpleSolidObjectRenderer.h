// The renderer of solid objects: one display list per object, replayed under its pose.
#pragma once

#include "renderer/ObjectRenderer.h"
#include "renderer/OpenGLContextStore.h"
#include "renderer/SolidObject.h"

#include <map>
#include <memory>

namespace Tolvane::Renderer {

/// Compiles each solid object's model and colour into a display list on its
/// first draw and replays that list every later frame under the object's
/// current transform. Lists are never recompiled, so later changes to an
/// object's color or model do not show; transform changes show at once.
/// The renderer keeps every object it has drawn alive.
class SimpleSolidObjectRenderer : public ObjectRenderer {
  public:
    /// store issues the display lists; it may be shared with other renderers.
    explicit SimpleSolidObjectRenderer(std::shared_ptr<OpenGLContextStore> store);

    /// Draws object if it is a SolidObject, compiling its list on first use;
    /// other kinds draw nothing and create no list. Needs the GL context current
    /// and the view loaded in the model-view matrix, which it leaves unchanged.
    void render(const std::shared_ptr<VisibleObject>& object) override;

    /// The list handle of every object drawn so far, keyed by object identity.
    const std::map<std::shared_ptr<SolidObject>, ListHandle>& lists() const { return lists_; }

  private:
    ListHandle compile(const std::shared_ptr<SolidObject>& object);

    std::shared_ptr<OpenGLContextStore> store_;
    std::map<std::shared_ptr<SolidObject>, ListHandle> lists_;
};

} // namespace Tolvane::Renderer
