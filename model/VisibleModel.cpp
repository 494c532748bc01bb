// The visible model tree and its loader.
#include "model/VisibleModel.h"

#include "model/ModelTree.h"

namespace Tolvane::Renderer {

void VisibleModel::setKids(const std::vector<std::shared_ptr<VisibleModel>>& kids)
{
    kids_ = kids;
    for (const auto& kid : kids_)
        widenRadius(*kid);
}

std::shared_ptr<VisibleModel> loadVisibleModel(const std::string& path)
{
    return loadModelTree<VisibleModel>(path);
}

} // namespace Tolvane::Renderer
