// A mesh triangle as a flat hull.
#include "geometry/TriangleHull.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

ConvexHull emptyTriangleHull()
{
    ConvexHull hull;
    hull.vertices.resize(3);
    hull.faces.resize(2);
    hull.loopVertices = {0, 1, 2, 0, 2, 1};
    hull.loopEdges = {0, 1, 2, 2, 1, 0};
    hull.edges.resize(3);
    return hull;
}

void fillTriangleHull(const TriangleMesh& mesh, std::int32_t t, ConvexHull& hull)
{
    const TriangleIndices& corners = mesh.triangles[t];
    const Vector3 n = mesh.normals[t];
    for (int k = 0; k < 3; ++k)
        hull.vertices[k] = mesh.vertices[corners[k]];
    const float offset = dot(n, hull.vertices[0]);
    hull.faces[0] = {n, offset, 0, 3};
    hull.faces[1] = {-n, -offset, 3, 3};
    Vector3 low = hull.vertices[0];
    Vector3 high = hull.vertices[0];
    for (int k = 0; k < 3; ++k) {
        const Vector3& from = hull.vertices[k];
        const Vector3& to = hull.vertices[(k + 1) % 3];
        HullEdge& edge = hull.edges[k];
        edge.vertices[0] = k;
        edge.vertices[1] = (k + 1) % 3;
        edge.faces[0] = 0;
        edge.faces[1] = 1;
        edge.direction = normalized(to - from);
        low = {std::min(low.x, from.x), std::min(low.y, from.y), std::min(low.z, from.z)};
        high = {std::max(high.x, from.x), std::max(high.y, from.y), std::max(high.z, from.z)};
    }
    hull.boxMin = low;
    hull.boxMax = high;
    hull.sphereCentre = (hull.vertices[0] + hull.vertices[1] + hull.vertices[2]) * (1.0f / 3.0f);
    // The largest square first, one root after: the same as the largest root.
    float farthest = 0.0f;
    for (int k = 0; k < 3; ++k)
        farthest = std::max(farthest, (hull.vertices[k] - hull.sphereCentre).squaredLength());
    hull.sphereRadius = std::sqrt(farthest);
}

} // namespace Tolvane::Physics::Collision
