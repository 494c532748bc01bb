// Construction and renderer binding of solid objects.
#include "renderer/SolidObject.h"

#include <utility>

namespace Tolvane::Renderer {

SolidObject::SolidObject(std::shared_ptr<VisibleModel> model) : model(std::move(model)) {}

void SolidObject::setRenderer(std::shared_ptr<ObjectRenderer> renderer)
{
    renderer_ = std::move(renderer);
}

std::shared_ptr<ObjectRenderer> SolidObject::getRenderer() const
{
    return renderer_;
}

} // namespace Tolvane::Renderer
