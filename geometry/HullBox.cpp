// Recognising a box among the hulls, from its faces, edges and corners.
#include "geometry/HullBox.h"

#include "geometry/ConvexHull.h"
#include "geometry/HullTolerances.h"

#include <algorithm>

namespace Tolvane::Physics::Collision {

namespace {

using Math::Vector3;

/// The faces paired by opposite normals, each pair an axis along its first
/// face's normal; false unless there are three pairs at right angles.
bool pairFaces(const ConvexHull& hull, HullBox& box)
{
    int axes = 0;
    bool paired[6] = {false, false, false, false, false, false};
    for (int f = 0; f < 6; ++f) {
        if (paired[f])
            continue;
        int opposite = -1;
        for (int g = f + 1; g < 6 && opposite < 0; ++g)
            if (!paired[g] && dot(hull.faces[f].normal, hull.faces[g].normal) < boxShapeTolerance - 1.0f)
                opposite = g;
        if (opposite < 0 || axes == 3)
            return false;
        paired[f] = paired[opposite] = true;
        box.axes[axes] = hull.faces[f].normal;
        box.faceAxis[f] = box.faceAxis[opposite] = static_cast<std::int8_t>(axes);
        box.facePositive[f] = true;
        box.facePositive[opposite] = false;
        ++axes;
    }
    for (int i = 0; i < 3; ++i)
        if (std::fabs(dot(box.axes[i], box.axes[(i + 1) % 3])) > boxShapeTolerance)
            return false;
    return true;
}

/// The centre and half extents over the corners, and whether every corner
/// lies on a different corner of that box.
bool placeCorners(const ConvexHull& hull, HullBox& box)
{
    float middle[3];
    for (int k = 0; k < 3; ++k) {
        float low = dot(box.axes[k], hull.vertices[0]);
        float high = low;
        for (const Vector3& v : hull.vertices) {
            low = std::min(low, dot(box.axes[k], v));
            high = std::max(high, dot(box.axes[k], v));
        }
        middle[k] = 0.5f * low + 0.5f * high;
        box.halfExtents[k] = 0.5f * high - 0.5f * low;
        if (!(box.halfExtents[k] > 0.0f))
            return false;
    }
    box.centre = box.axes[0] * middle[0] + box.axes[1] * middle[1] + box.axes[2] * middle[2];
    const float largest = std::max(box.halfExtents[0], std::max(box.halfExtents[1], box.halfExtents[2]));
    const float allowed = boxShapeTolerance * largest;
    bool taken[8] = {false, false, false, false, false, false, false, false};
    for (const Vector3& v : hull.vertices) {
        int corner = 0;
        for (int k = 0; k < 3; ++k) {
            const float along = dot(box.axes[k], v) - middle[k];
            if (!(std::fabs(std::fabs(along) - box.halfExtents[k]) <= allowed))
                return false;
            corner |= along > 0.0f ? 1 << k : 0;
        }
        if (taken[corner])
            return false;
        taken[corner] = true;
    }
    return true;
}

/// Each edge's place: the axis it runs along and the sides of the other two
/// axes it lies on; false unless every place is taken once.
bool placeEdges(const ConvexHull& hull, HullBox& box)
{
    bool taken[3][4] = {};
    for (std::size_t e = 0; e < hull.edges.size(); ++e) {
        const HullEdge& edge = hull.edges[e];
        int k = 0;
        while (k < 3 && std::fabs(dot(edge.direction, box.axes[k])) < 1.0f - boxShapeTolerance)
            ++k;
        if (k == 3)
            return false;
        const Vector3 middle = (hull.vertices[edge.vertices[0]] + hull.vertices[edge.vertices[1]]) * 0.5f;
        float along[3];
        for (int j = 0; j < 3; ++j)
            along[j] = dot(box.axes[j], middle - box.centre);
        const int sides = (along[(k + 1) % 3] > 0.0f ? 1 : 0) | (along[(k + 2) % 3] > 0.0f ? 2 : 0);
        if (taken[k][sides])
            return false;
        taken[k][sides] = true;
        box.edgeAt[k][sides] = static_cast<std::int32_t>(e);
    }
    return true;
}

} // namespace

std::optional<HullBox> findHullBox(const ConvexHull& hull)
{
    if (hull.vertices.size() != 8 || hull.faces.size() != 6 || hull.edges.size() != 12)
        return std::nullopt;
    for (const HullFace& face : hull.faces)
        if (face.loopSize != 4)
            return std::nullopt;
    HullBox box;
    if (!pairFaces(hull, box) || !placeCorners(hull, box) || !placeEdges(hull, box))
        return std::nullopt;
    return box;
}

} // namespace Tolvane::Physics::Collision
