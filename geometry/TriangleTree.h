// A bounding volume tree over the boxes of a mesh's triangles, and the search
// for the triangles whose boxes meet a given box.
#pragma once

#include "geometry/WorldBox.h"

#include <cstdint>
#include <vector>

namespace Tolvane::Physics::Collision {

/// One node of a TriangleTree.
struct TriangleTreeNode {
    /// The box over every triangle below the node.
    WorldBox box;
    /// A leaf (count > 0) holds the triangles tree.triangles[first] to
    /// tree.triangles[first + count - 1]. An inner node (count == 0) has its
    /// first child right after it in the node list and its second child at
    /// nodes[first].
    std::int32_t first = 0;
    std::int32_t count = 0;
};

/// A binary tree of boxes over triangles, in flat arrays, root first.
struct TriangleTree {
    /// The most triangles one leaf holds.
    static constexpr int leafSize = 4;
    /// Deeper than any tree of up to 2^31 triangles can be: every split halves
    /// its range, so this also bounds the query's fixed stack.
    static constexpr int maxDepth = 64;

    std::vector<TriangleTreeNode> nodes;
    /// The triangles' indices in the order the leaves hold them.
    std::vector<std::int32_t> triangles;
    /// Each triangle's box, in the same order as triangles.
    std::vector<WorldBox> triangleBoxes;

    /// Appends to out the index of every triangle whose own box meets box
    /// (touching counts), each once. Allocates nothing beyond out's growth. A box
    /// with a NaN coordinate meets nothing.
    void query(const WorldBox& box, std::vector<std::int32_t>& out) const;

    /// The box over every triangle; empty trees have none, so check nodes first.
    const WorldBox& bounds() const { return nodes.front().box; }
};

/// The tree over triangle boxes (triangle i has box triangleBoxes[i]; every
/// coordinate finite, min <= max), built top down: each range of more than
/// leafSize triangles is split in two equal halves at the median of its box
/// centres along the longest axis of their spread. Equal halves keep the depth
/// at log2 of the count whatever the input (all triangles at one spot
/// included), and the build runs on an explicit stack, never recursing. An
/// empty list gives an empty tree.
TriangleTree buildTriangleTree(const std::vector<WorldBox>& triangleBoxes);

} // namespace Tolvane::Physics::Collision
