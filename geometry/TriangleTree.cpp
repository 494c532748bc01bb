// Building the triangle tree by median splits, and searching it with a fixed stack.
#include "geometry/TriangleTree.h"

#include <algorithm>
#include <cassert>

namespace Tolvane::Physics::Collision {

namespace {

using Math::Vector3;

float component(const Vector3& v, int axis)
{
    return axis == 0 ? v.x : (axis == 1 ? v.y : v.z);
}

/// The centre of a box, each end halved first so that boxes near the largest
/// floats cannot overflow.
Vector3 centre(const WorldBox& box)
{
    return box.min * 0.5f + box.max * 0.5f;
}

void grow(WorldBox& box, const WorldBox& other)
{
    box.min = {std::min(box.min.x, other.min.x), std::min(box.min.y, other.min.y),
               std::min(box.min.z, other.min.z)};
    box.max = {std::max(box.max.x, other.max.x), std::max(box.max.y, other.max.y),
               std::max(box.max.z, other.max.z)};
}

/// A triangle's box with its index. The build sorts these in place rather
/// than indices into the boxes, so each pass over a range reads memory in order.
struct BoxedTriangle {
    WorldBox box;
    std::int32_t triangle = 0;
};

/// The axis along which the box centres of the range spread widest.
int widestAxis(const BoxedTriangle* first, std::int32_t count)
{
    const Vector3 start = centre(first[0].box);
    WorldBox spread{start, start};
    for (std::int32_t i = 1; i < count; ++i) {
        const Vector3 c = centre(first[i].box);
        grow(spread, {c, c});
    }
    const Vector3 extent = spread.max * 0.5f - spread.min * 0.5f;
    if (extent.x >= extent.y && extent.x >= extent.z)
        return 0;
    return extent.y >= extent.z ? 1 : 2;
}

/// A range of triangles still to be made into a node, and which inner node
/// takes that node as its second child (-1 for the root and first children,
/// which come right after their parent).
struct PendingNode {
    std::int32_t first = 0;
    std::int32_t count = 0;
    std::int32_t parent = -1;
};

} // namespace

TriangleTree buildTriangleTree(const std::vector<WorldBox>& triangleBoxes)
{
    TriangleTree tree;
    if (triangleBoxes.empty())
        return tree;
    const auto total = static_cast<std::int32_t>(triangleBoxes.size());
    std::vector<BoxedTriangle> order(triangleBoxes.size());
    for (std::int32_t t = 0; t < total; ++t)
        order[t] = {triangleBoxes[t], t};
    // Ranges of more than leafSize are split into halves of at least two, so
    // every leaf of a tree over two or more triangles holds two or more: at
    // most n / 2 leaves, and n - 1 nodes with the inner ones.
    tree.nodes.reserve(triangleBoxes.size());

    // Depth first: each node is made when its range is taken from the stack,
    // its second half pushed before its first, so the first child is made
    // next and lands right after its parent. The stack holds at most one
    // pending second child per level above the current node.
    std::vector<PendingNode> pending{{0, total, -1}};
    while (!pending.empty()) {
        const PendingNode range = pending.back();
        pending.pop_back();
        const auto index = static_cast<std::int32_t>(tree.nodes.size());
        if (range.parent >= 0)
            tree.nodes[range.parent].first = index;
        BoxedTriangle* first = order.data() + range.first;

        TriangleTreeNode node;
        node.box = first[0].box;
        for (std::int32_t i = 1; i < range.count; ++i)
            grow(node.box, first[i].box);
        if (range.count <= TriangleTree::leafSize) {
            node.first = range.first;
            node.count = range.count;
            tree.nodes.push_back(node);
            continue;
        }
        tree.nodes.push_back(node);

        // The median by centre along the widest axis, ties broken by index so
        // the tree does not depend on how the standard library orders equal keys.
        const int axis = widestAxis(first, range.count);
        const std::int32_t half = range.count / 2;
        std::nth_element(first, first + half, first + range.count,
                         [axis](const BoxedTriangle& a, const BoxedTriangle& b) {
                             const float ka = component(centre(a.box), axis);
                             const float kb = component(centre(b.box), axis);
                             return ka < kb || (ka == kb && a.triangle < b.triangle);
                         });
        pending.push_back({range.first + half, range.count - half, index});
        pending.push_back({range.first, half, -1});
    }

    tree.triangles.reserve(order.size());
    tree.triangleBoxes.reserve(order.size());
    for (const BoxedTriangle& t : order) {
        tree.triangles.push_back(t.triangle);
        tree.triangleBoxes.push_back(t.box);
    }
    return tree;
}

void TriangleTree::query(const WorldBox& box, std::vector<std::int32_t>& out) const
{
    if (nodes.empty())
        return;
    std::int32_t stack[maxDepth];
    int size = 0;
    stack[size++] = 0;
    while (size > 0) {
        const std::int32_t index = stack[--size];
        const TriangleTreeNode& node = nodes[index];
        if (!boxesOverlap(node.box, box))
            continue;
        if (node.count > 0) {
            for (std::int32_t i = node.first; i < node.first + node.count; ++i) {
                if (boxesOverlap(triangleBoxes[i], box))
                    out.push_back(triangles[i]);
            }
            continue;
        }
        assert(size + 2 <= maxDepth);
        stack[size++] = node.first;
        stack[size++] = index + 1;
    }
}

} // namespace Tolvane::Physics::Collision
