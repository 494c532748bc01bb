// Building triangle meshes: welding, dropping bad triangles, normals, edge
// neighbours and active edges, the tree; and the test of a convex part.
#include "geometry/TriangleMesh.h"

#include "geometry/HullTolerances.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>

namespace Tolvane::Physics::Collision {

namespace {

using Math::Vector3;

/// Past this many vertices or triangles, three edges per triangle would no
/// longer fit the 32-bit indices.
constexpr std::size_t largestMeshCount = std::size_t{1} << 29;

bool isFinite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

/// For each input vertex its index in the welded list, or -1 for a dropped
/// one; welded takes one copy of each finite position, in the order of their
/// first appearance. Positions weld only when exactly equal (0 and -0 count as
/// equal): a model that repeats a corner for each face around it writes the
/// same numbers each time, and closer-but-different corners are the model's
/// own business.
std::vector<std::int32_t> weldVertices(const std::vector<Vector3>& vertices, std::vector<Vector3>& welded)
{
    std::vector<std::int32_t> order;
    order.reserve(vertices.size());
    for (std::size_t i = 0; i < vertices.size(); ++i) {
        if (isFinite(vertices[i]))
            order.push_back(static_cast<std::int32_t>(i));
    }
    std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        const Vector3& p = vertices[a];
        const Vector3& q = vertices[b];
        return std::tie(p.x, p.y, p.z, a) < std::tie(q.x, q.y, q.z, b);
    });
    // Each vertex points at the first of its position, which sorts first.
    std::vector<std::int32_t> index(vertices.size(), -1);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const bool repeat = i > 0 && vertices[order[i]] == vertices[order[i - 1]];
        index[order[i]] = repeat ? index[order[i - 1]] : order[i];
    }
    for (std::size_t i = 0; i < vertices.size(); ++i) {
        if (index[i] < 0)
            continue;
        if (index[i] == static_cast<std::int32_t>(i)) {
            index[i] = static_cast<std::int32_t>(welded.size());
            welded.push_back(vertices[i]);
        } else {
            index[i] = index[index[i]];
        }
    }
    return index;
}

/// The unit normal of triangle abc, or nullopt when it has no area. The cross
/// product is taken in double: each product of two float differences is then
/// exact, so even a sliver gets its true normal (to float rounding), zero
/// comes out only for corners truly on one line, and nothing overflows.
std::optional<Vector3> triangleNormal(const Vector3& a, const Vector3& b, const Vector3& c)
{
    const double ux = double{b.x} - a.x, uy = double{b.y} - a.y, uz = double{b.z} - a.z;
    const double vx = double{c.x} - a.x, vy = double{c.y} - a.y, vz = double{c.z} - a.z;
    const double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    const double length = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(length > 0.0))
        return std::nullopt;
    return Vector3(static_cast<float>(nx / length), static_cast<float>(ny / length),
                   static_cast<float>(nz / length));
}

/// The corner at which triangle runs from vertex `from` to vertex `to`, or -1.
int cornerRunning(const TriangleIndices& triangle, std::int32_t from, std::int32_t to)
{
    for (int k = 0; k < 3; ++k) {
        if (triangle[k] == from && triangle[(k + 1) % 3] == to)
            return k;
    }
    return -1;
}

/// Whether the edge shared by exactly two triangles is active. Seen from
/// outside, the surface over the edge is either flat, a ridge (the two faces
/// fall away from the edge, convex) or a valley (they rise from it, concave).
/// Only a ridge can be touched on the edge itself; across a flat seam or in a
/// valley every touching direction is covered by one of the faces' normals,
/// so an edge normal there would only be a bump that is not in the model. A
/// ridge flatter than activeEdgeCosine counts as flat: it is a seam of a
/// gently curved surface. Which side is outside is known only when the two
/// triangles run the edge in opposite directions; when they disagree, the
/// edge stays active, since a missing edge normal could let a body through
/// where an extra one only costs a bump.
bool sharedEdgeActive(const TriangleMesh& mesh, std::int32_t first, int corner, std::int32_t second)
{
    const std::int32_t from = mesh.triangles[first][corner];
    const std::int32_t to = mesh.triangles[first][(corner + 1) % 3];
    if (cornerRunning(mesh.triangles[second], to, from) < 0)
        return true;
    const Vector3& n1 = mesh.normals[first];
    const Vector3& n2 = mesh.normals[second];
    if (dot(n1, n2) >= activeEdgeCosine)
        return false;
    // n1 x n2 points along the edge as the first triangle runs it on a ridge
    // and against it in a valley. The edge is taken in double so that no
    // coordinate difference overflows.
    const Vector3 bend = cross(n1, n2);
    const Vector3& a = mesh.vertices[from];
    const Vector3& b = mesh.vertices[to];
    const double along =
        bend.x * (double{b.x} - a.x) + bend.y * (double{b.y} - a.y) + bend.z * (double{b.z} - a.z);
    // Two faces folded flat back to back (along == 0) are the rim of a sheet: active.
    return along >= 0.0;
}

/// One triangle's edge, by its vertex indices in increasing order, so that
/// the triangles sharing an edge sort next to each other.
struct EdgeUse {
    std::int32_t low = 0;
    std::int32_t high = 0;
    std::int32_t triangle = 0;
    std::int32_t corner = 0;

    bool operator<(const EdgeUse& o) const
    {
        return std::tie(low, high, triangle, corner) < std::tie(o.low, o.high, o.triangle, o.corner);
    }
};

void findNeighboursAndActiveEdges(TriangleMesh& mesh)
{
    const std::size_t count = mesh.triangles.size();
    std::vector<EdgeUse> uses;
    uses.reserve(3 * count);
    for (std::size_t t = 0; t < count; ++t) {
        for (int k = 0; k < 3; ++k) {
            const std::int32_t a = mesh.triangles[t][k], b = mesh.triangles[t][(k + 1) % 3];
            uses.push_back({std::min(a, b), std::max(a, b), static_cast<std::int32_t>(t), k});
        }
    }
    std::sort(uses.begin(), uses.end());

    const std::array<std::int32_t, 3> none{TriangleMesh::noNeighbour, TriangleMesh::noNeighbour,
                                           TriangleMesh::noNeighbour};
    mesh.neighbours.assign(count, none);
    // Boundary edges, and edges where more than two triangles meet, stay active.
    mesh.activeEdges.assign(count, 0b111);
    for (std::size_t i = 0; i < uses.size();) {
        std::size_t end = i + 1;
        while (end < uses.size() && uses[end].low == uses[i].low && uses[end].high == uses[i].high)
            ++end;
        if (end - i == 2) {
            const EdgeUse& p = uses[i];
            const EdgeUse& q = uses[i + 1];
            mesh.neighbours[p.triangle][p.corner] = q.triangle;
            mesh.neighbours[q.triangle][q.corner] = p.triangle;
            if (!sharedEdgeActive(mesh, p.triangle, p.corner, q.triangle)) {
                mesh.activeEdges[p.triangle] &= static_cast<std::uint8_t>(~(1u << p.corner));
                mesh.activeEdges[q.triangle] &= static_cast<std::uint8_t>(~(1u << q.corner));
            }
        }
        i = end;
    }
}

WorldBox triangleBox(const TriangleMesh& mesh, const TriangleIndices& triangle)
{
    const Vector3& a = mesh.vertices[triangle[0]];
    const Vector3& b = mesh.vertices[triangle[1]];
    const Vector3& c = mesh.vertices[triangle[2]];
    return {{std::min({a.x, b.x, c.x}), std::min({a.y, b.y, c.y}), std::min({a.z, b.z, c.z})},
            {std::max({a.x, b.x, c.x}), std::max({a.y, b.y, c.y}), std::max({a.z, b.z, c.z})}};
}

} // namespace

std::optional<TriangleMesh> buildTriangleMesh(const std::vector<Vector3>& vertices,
                                              const std::vector<TriangleIndices>& triangles)
{
    if (vertices.size() > largestMeshCount || triangles.size() > largestMeshCount)
        return std::nullopt;
    TriangleMesh mesh;
    const std::vector<std::int32_t> welded = weldVertices(vertices, mesh.vertices);
    const auto vertexCount = static_cast<std::int32_t>(vertices.size());
    for (std::size_t t = 0; t < triangles.size(); ++t) {
        TriangleIndices corners{};
        bool usable = true;
        for (int k = 0; k < 3 && usable; ++k) {
            const std::int32_t input = triangles[t][k];
            usable = input >= 0 && input < vertexCount && welded[input] >= 0;
            if (usable)
                corners[k] = welded[input];
        }
        if (!usable)
            continue;
        const std::optional<Vector3> normal =
            triangleNormal(mesh.vertices[corners[0]], mesh.vertices[corners[1]], mesh.vertices[corners[2]]);
        if (!normal)
            continue;
        mesh.triangles.push_back(corners);
        mesh.normals.push_back(*normal);
        mesh.sourceTriangles.push_back(static_cast<std::int32_t>(t));
    }
    if (mesh.triangles.empty())
        return std::nullopt;

    findNeighboursAndActiveEdges(mesh);
    std::vector<WorldBox> boxes;
    boxes.reserve(mesh.triangles.size());
    for (const TriangleIndices& triangle : mesh.triangles)
        boxes.push_back(triangleBox(mesh, triangle));
    mesh.tree = buildTriangleTree(boxes);
    return mesh;
}

// A closed surface whose every edge is a ridge or flat is convex around each
// edge, but could still be two separate convex pieces, or wind around twice.
// Its volume (the sum of the signed tetrahedra from a centre point to each
// triangle) tells: it equals the hull's only when the surface encloses the
// hull once, nothing more and nothing less. An inside-out surface fails the
// valley test at every edge and encloses a negative volume.
bool isConvexPart(const TriangleMesh& mesh, const ConvexHull& hull)
{
    const double hullVolume = hull.mass.volume;
    if (hull.isFlat() || !(hullVolume > 0.0) || !std::isfinite(hullVolume) || mesh.triangles.empty())
        return false;
    const WorldBox& box = mesh.tree.bounds();
    const Vector3 half = box.max * 0.5f - box.min * 0.5f;
    const Vector3 centre = box.min * 0.5f + box.max * 0.5f;
    const double deepestValley = double{convexPartTolerance} * std::max({half.x, half.y, half.z});

    double volume = 0.0;
    for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
        const TriangleIndices& triangle = mesh.triangles[t];
        const Vector3& normal = mesh.normals[t];
        for (int k = 0; k < 3; ++k) {
            const std::int32_t other = mesh.neighbours[t][k];
            if (other == TriangleMesh::noNeighbour)
                return false;
            const TriangleIndices& across = mesh.triangles[other];
            const int corner = cornerRunning(across, triangle[(k + 1) % 3], triangle[k]);
            if (corner < 0)
                return false;
            const Vector3& onEdge = mesh.vertices[triangle[k]];
            const Vector3& beyond = mesh.vertices[across[(corner + 2) % 3]];
            const double height = normal.x * (double{beyond.x} - onEdge.x) +
                                  normal.y * (double{beyond.y} - onEdge.y) +
                                  normal.z * (double{beyond.z} - onEdge.z);
            if (height > deepestValley)
                return false;
        }
        double p[3][3];
        for (int k = 0; k < 3; ++k) {
            const Vector3& v = mesh.vertices[triangle[k]];
            p[k][0] = double{v.x} - centre.x;
            p[k][1] = double{v.y} - centre.y;
            p[k][2] = double{v.z} - centre.z;
        }
        volume += (p[0][0] * (p[1][1] * p[2][2] - p[1][2] * p[2][1]) +
                   p[0][1] * (p[1][2] * p[2][0] - p[1][0] * p[2][2]) +
                   p[0][2] * (p[1][0] * p[2][1] - p[1][1] * p[2][0])) /
                  6.0;
    }
    return std::fabs(volume - hullVolume) <= double{convexPartVolumeShare} * hullVolume;
}

} // namespace Tolvane::Physics::Collision
