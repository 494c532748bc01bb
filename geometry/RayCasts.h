// Rays against shapes in their own coordinates: boxes, box trees, convex hulls
// and triangle meshes. The first point each is met along the ray.
#pragma once

#include "geometry/ConvexHull.h"
#include "geometry/TriangleMesh.h"
#include "geometry/TriangleTree.h"
#include "geometry/WorldBox.h"
#include "math/Vector3.h"

#include <array>
#include <cstdint>
#include <optional>

namespace Tolvane::Physics::Collision {

/// A ray from origin along a unit direction, in the frame of the shape it is
/// cast at. Distances along it are in that frame's units.
struct RayLine {
    Math::Vector3 origin;
    Math::Vector3 direction;
};

/// Where a ray first meets a shape: the distance along it, and the shape's
/// unit normal there, facing back along the ray.
struct ShapeRayHit {
    float distance = 0.0f;
    Math::Vector3 normal;
    /// The ray starts inside the solid: met at distance 0, the normal
    /// opposite to the ray.
    bool fromInside = false;
};

/// The distance at which ray enters box (0 when it starts inside), when it
/// does so within limit; touching an edge or a face counts. A component of the
/// direction that is exactly zero tests the origin against that slab instead
/// of dividing by it.
std::optional<float> castRayAtBox(const RayLine& ray, const WorldBox& box, float limit);

/// The first point within limit where ray meets the solid hull, found by
/// clipping the ray against every face plane (Ericson, Real-Time Collision
/// Detection, 5.3.8). A ray that starts inside the hull (behind every face
/// plane) meets it at distance 0 with the normal opposite to the ray; a ray
/// from the surface going out meets it there too. A ray running exactly along
/// a face plane, on it, still meets the hull; a flat hull (two faces) is met
/// where the ray crosses its polygon.
std::optional<ShapeRayHit> castRayAtHull(const ConvexHull& hull, const RayLine& ray, float limit);

/// The first triangle of mesh the ray crosses within limit, from either side
/// (the mesh is a surface, not a solid), with the triangle's normal turned to
/// face the ray. Triangles are found through the mesh's tree; an edge or a
/// corner of a triangle counts as on it. A ray in a triangle's plane misses it.
std::optional<ShapeRayHit> castRayAtMesh(const TriangleMesh& mesh, const RayLine& ray, float limit);

/// Offers visit(item, limit) every item of tree whose box ray meets within
/// limit, nearer boxes first as far as the tree's order allows; visit may
/// lower limit (to the nearest hit so far), which prunes every box beyond it.
/// Allocates nothing.
template <class Visit>
void walkTreeAlongRay(const TriangleTree& tree, const RayLine& ray, float& limit, Visit visit)
{
    if (tree.nodes.empty())
        return;
    struct Pending {
        std::int32_t node;
        float entry;
    };
    // Each level pushes at most one node beyond the one it pops.
    std::array<Pending, TriangleTree::maxDepth + 2> stack;
    int size = 0;
    if (const auto entry = castRayAtBox(ray, tree.nodes[0].box, limit))
        stack[size++] = {0, *entry};
    while (size > 0) {
        const Pending pending = stack[--size];
        if (pending.entry > limit)
            continue;
        const TriangleTreeNode& node = tree.nodes[pending.node];
        if (node.count > 0) {
            for (std::int32_t k = node.first; k < node.first + node.count; ++k)
                if (castRayAtBox(ray, tree.triangleBoxes[k], limit))
                    visit(tree.triangles[k], limit);
            continue;
        }
        const std::int32_t near = pending.node + 1;
        const std::int32_t far = node.first;
        const auto nearEntry = castRayAtBox(ray, tree.nodes[near].box, limit);
        const auto farEntry = castRayAtBox(ray, tree.nodes[far].box, limit);
        // The child the ray enters first is popped first.
        if (nearEntry && farEntry) {
            const bool swap = *farEntry < *nearEntry;
            stack[size++] = swap ? Pending{near, *nearEntry} : Pending{far, *farEntry};
            stack[size++] = swap ? Pending{far, *farEntry} : Pending{near, *nearEntry};
        } else if (nearEntry) {
            stack[size++] = {near, *nearEntry};
        } else if (farEntry) {
            stack[size++] = {far, *farEntry};
        }
    }
}

} // namespace Tolvane::Physics::Collision
