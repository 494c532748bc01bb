// A posed, coloured instance of a visible model.
#pragma once

#include "math/Transform.h"
#include "model/VisibleModel.h"
#include "renderer/Color.h"
#include "renderer/ObjectRenderer.h"
#include "renderer/VisibleObject.h"

#include <memory>

namespace Tolvane::Renderer {

/// One drawable thing: a shared model placed by its own transform, in one colour.
/// Whoever owns it writes transform and color directly. A renderer that caches
/// the drawing (SimpleSolidObjectRenderer) picks up transform changes every
/// frame but model and color only on the first draw.
class SolidObject : public VisibleObject {
  public:
    /// model may be shared with other objects; the object starts at the origin,
    /// unrotated, white and without a renderer.
    explicit SolidObject(std::shared_ptr<VisibleModel> model);

    /// The renderer the scene pass hands this object to; an empty one hides it.
    void setRenderer(std::shared_ptr<ObjectRenderer> renderer);
    std::shared_ptr<ObjectRenderer> getRenderer() const override;

    std::shared_ptr<VisibleModel> model;
    /// Pose of the model's root in the world.
    Math::Transform transform;
    /// Front-face ambient material of the whole model.
    Color color{{1.0f, 1.0f, 1.0f, 1.0f}};

  private:
    std::shared_ptr<ObjectRenderer> renderer_;
};

} // namespace Tolvane::Renderer
