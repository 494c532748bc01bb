// The one tree-building procedure behind both model loaders.
#pragma once

#include "model/AC3DReader.h"

#include <memory>
#include <string>
#include <vector>

namespace Tolvane {

/// Builds a node from a record, its kids depth first, then calls setKids once
/// (also when there are none), so kids are complete before their parent reads them.
/// Node needs a constructor (vertices, surfaces, location) and setKids(vector).
/// The depth is bounded by the reader's nesting limit.
template <class Node> std::shared_ptr<Node> buildModelTree(const ModelInfo& info)
{
    auto node = std::make_shared<Node>(info.vertices, info.surfaces, info.location);
    std::vector<std::shared_ptr<Node>> kids;
    kids.reserve(info.kids.size());
    for (const auto& kid : info.kids)
        kids.push_back(buildModelTree<Node>(*kid));
    node->setKids(kids);
    return node;
}

/// Reads the file anew and builds its tree of Node.
template <class Node> std::shared_ptr<Node> loadModelTree(const std::string& path)
{
    return buildModelTree<Node>(*readAC3DFile(path));
}

} // namespace Tolvane
