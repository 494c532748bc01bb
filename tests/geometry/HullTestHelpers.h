// Shared by the hull, separating-axis and manifold tests: the shipped models'
// hulls, poses, and a check of every structural promise a hull makes.
#pragma once

#include "geometry/ConvexHull.h"
#include "geometry/HullPose.h"
#include "math/Matrix3.h"
#include "math/Quaternion.h"
#include "physics/body/PhysicalModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace Tolvane::Physics::Collision::Testing {

constexpr float pi = 3.14159265358979f;

inline float degrees(float d)
{
    return d * pi / 180.0f;
}

/// Every vertex of a model file's tree, placed by the parts' locations.
inline std::vector<Math::Vector3> modelPoints(const std::string& file)
{
    std::vector<Math::Vector3> points;
    std::vector<std::pair<const PhysicalModel*, Math::Vector3>> parts;
    const auto root = loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/" + file);
    parts.emplace_back(root.get(), Math::Vector3());
    while (!parts.empty()) {
        const auto [part, parentOffset] = parts.back();
        parts.pop_back();
        const Math::Vector3 offset = parentOffset + part->location();
        for (const Math::Vector3& v : part->vertices())
            points.push_back(v + offset);
        for (const auto& kid : part->kids())
            parts.emplace_back(kid.get(), offset);
    }
    return points;
}

/// Hulls of the shipped block (side 2, centred) and floor slab (top face at y = 0).
inline const ConvexHull& cubeHull()
{
    static const ConvexHull hull = *buildConvexHull(modelPoints("SimpleCube.ac"));
    return hull;
}
inline const ConvexHull& floorHull()
{
    static const ConvexHull hull = *buildConvexHull(modelPoints("Floor.ac"));
    return hull;
}

inline HullPose pose(const Math::Vector3& position, const Math::Quaternion& orientation = Math::Quaternion())
{
    return {position, Math::toMatrix3(orientation)};
}

inline Math::Quaternion turn(const Math::Vector3& axis, float angle)
{
    return Math::fromAxisAngle(Math::normalized(axis), angle);
}

/// Checks the structure of a hull, and that every point lies inside it or at
/// most `allowance` outside: unit normals; loops simple, counter-clockwise about
/// their normal and on their plane; each edge run once each way by its two
/// faces; Euler's V - E + F = 2; for a solid hull every vertex on or below every
/// face; bounds that hold every vertex.
inline void expectSoundHull(const ConvexHull& hull, const std::vector<Math::Vector3>& points, float allowance)
{
    using Math::Vector3;
    const std::size_t v = hull.vertices.size(), e = hull.edges.size(), f = hull.faces.size();
    EXPECT_EQ(v + f, e + 2) << "Euler's formula";
    ASSERT_EQ(hull.loopEdges.size(), hull.loopVertices.size());
    // Areas and lengths are checked at unit size, where squares neither overflow nor underflow.
    float reach = 0.0f;
    for (const Vector3& c : hull.vertices)
        reach = std::max(reach, std::max(std::fabs(c.x), std::max(std::fabs(c.y), std::fabs(c.z))));
    const float unit = 1.0f / reach;
    for (std::size_t fi = 0; fi < f; ++fi) {
        const HullFace& face = hull.faces[fi];
        ASSERT_GE(face.loopSize, 3);
        EXPECT_NEAR(face.normal.length(), 1.0f, 1e-5f);
        Vector3 area;
        float perimeter = 0.0f;
        for (int k = 0; k < face.loopSize; ++k) {
            const int here = hull.loopVertices[face.firstLoop + k];
            const int next = hull.loopVertices[face.firstLoop + (k + 1) % face.loopSize];
            const Vector3& first = hull.vertices[hull.loopVertices[face.firstLoop]];
            area += cross((hull.vertices[here] - first) * unit, (hull.vertices[next] - first) * unit);
            perimeter += (hull.vertices[next] * unit - hull.vertices[here] * unit).length();
            EXPECT_NEAR(dot(face.normal, hull.vertices[here]), face.offset, allowance)
                << "corner off its plane";
            const HullEdge& edge = hull.edges[hull.loopEdges[face.firstLoop + k]];
            const bool forward = edge.vertices[0] == here && edge.vertices[1] == next;
            const bool backward = edge.vertices[1] == here && edge.vertices[0] == next;
            ASSERT_TRUE(forward || backward) << "loop side and its edge differ";
            EXPECT_EQ(edge.faces[forward ? 0 : 1], static_cast<int>(fi)) << "edge's face runs the wrong way";
        }
        // A sliver narrower than the allowance may turn either way in float.
        EXPECT_GT(dot(area, face.normal), -2.0f * allowance * unit * perimeter)
            << "loop not counter-clockwise about its normal";
    }
    for (const HullEdge& edge : hull.edges) {
        EXPECT_NE(edge.faces[0], edge.faces[1]);
        const Vector3 along = hull.vertices[edge.vertices[1]] * unit - hull.vertices[edge.vertices[0]] * unit;
        EXPECT_NEAR(dot(edge.direction, along), along.length(), 1e-4f * along.length());
    }
    for (const HullFace& face : hull.faces) {
        if (!hull.isFlat()) {
            for (const Vector3& corner : hull.vertices)
                EXPECT_LE(dot(face.normal, corner) - face.offset, allowance);
        }
        for (const Vector3& p : points)
            EXPECT_LE(dot(face.normal, p) - face.offset, allowance) << "point outside the hull";
    }
    for (const Vector3& corner : hull.vertices) {
        EXPECT_LE((corner - hull.sphereCentre).length(), hull.sphereRadius);
        EXPECT_TRUE(corner.x >= hull.boxMin.x && corner.y >= hull.boxMin.y && corner.z >= hull.boxMin.z);
        EXPECT_TRUE(corner.x <= hull.boxMax.x && corner.y <= hull.boxMax.y && corner.z <= hull.boxMax.z);
    }
}

} // namespace Tolvane::Physics::Collision::Testing
