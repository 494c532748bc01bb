// Fixed triangle meshes for colliding against concave models one triangle at a
// time: welded vertices, unit normals, which edges may give an edge normal,
// neighbours across edges, and the tree that finds triangles near a box.
#pragma once

#include "geometry/ConvexHull.h"
#include "geometry/TriangleTree.h"
#include "math/Vector3.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace Tolvane::Physics::Collision {

/// A triangle's three vertex indices, counter-clockwise seen from its front.
/// Edge k runs from corner k to corner (k + 1) % 3.
using TriangleIndices = std::array<std::int32_t, 3>;

/// A static triangle mesh in model coordinates, in flat arrays indexed by
/// triangle. Built once by buildTriangleMesh.
struct TriangleMesh {
    /// neighbours entry of an edge without exactly one other triangle on it.
    static constexpr std::int32_t noNeighbour = -1;

    /// The input's finite vertices, those at exactly the same position welded into one.
    std::vector<Math::Vector3> vertices;
    std::vector<TriangleIndices> triangles;
    /// Each triangle's unit normal, on the side its corners turn counter-clockwise.
    std::vector<Math::Vector3> normals;
    /// Bit k set: edge k is active, so a contact on it may take an edge normal;
    /// an inactive edge lies inside a flat or hollow stretch of surface, and a
    /// contact there takes the face normal.
    std::vector<std::uint8_t> activeEdges;
    /// For each edge, the other triangle on it when exactly two triangles share
    /// it, else noNeighbour.
    std::vector<std::array<std::int32_t, 3>> neighbours;
    /// For each triangle, its index in the input's triangle list.
    std::vector<std::int32_t> sourceTriangles;
    /// The tree over the triangles' boxes; its bounds are the mesh's.
    TriangleTree tree;

    bool isEdgeActive(std::int32_t triangle, int edge) const { return (activeEdges[triangle] >> edge) & 1; }
};

/// The mesh of a part's vertices and triangles (model coordinates). Never
/// throws on bad input: vertices with a non-finite coordinate are dropped, and
/// so is every triangle with an index out of range, a dropped vertex, or no
/// area (two corners welded together, or all three on one line). Nullopt when
/// no triangle is left, or for more than 2^29 vertices or triangles, past
/// which the mesh's 32-bit indices could not count its edges.
std::optional<TriangleMesh> buildTriangleMesh(const std::vector<Math::Vector3>& vertices,
                                              const std::vector<TriangleIndices>& triangles);

/// Whether the part is its own convex hull, so that colliding with the hull
/// gives what colliding with its triangles would: the mesh is closed (every
/// edge shared by exactly two triangles that run it in opposite directions),
/// no edge is a valley deeper than convexPartTolerance of the part's size, and
/// the space it encloses fills the hull's volume to within
/// convexPartVolumeShare. hull is the convex hull of the same part's vertices,
/// in any placement (only its volume is used). A flat hull, an open surface
/// (a floor of tiles, a terrain sheet, a bin without a lid), a part in several
/// pieces apart, or one turned inside out, is not convex.
bool isConvexPart(const TriangleMesh& mesh, const ConvexHull& hull);

} // namespace Tolvane::Physics::Collision
