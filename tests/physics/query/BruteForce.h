// The answers the queries must give, worked out the slow way from every
// triangle of every body's model in the body's pose, and the settled piles
// they are asked of.
#pragma once

#include "math/Matrix3.h"
#include "math/Vector3.h"
#include "physics/PhysicalUniverse.h"
#include "physics/body/PhysicalObject.h"
#include "scene/PhysicsTestScene.h"
#include "scene/SceneFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Tolvane::Testing {

using Math::Vector3;
using Triangle = std::array<Vector3, 3>;

/// Every triangle of the body's model tree in world coordinates, each part
/// placed at its parent's offset plus its own location, as the hulls are.
inline std::vector<Triangle> worldTriangles(const Physics::PhysicalObject& body)
{
    std::vector<Triangle> triangles;
    const Math::Matrix3 rotation = Math::toMatrix3(body.transform.orientation);
    std::vector<std::pair<const Physics::PhysicalModel*, Vector3>> pending{{body.model.get(), Vector3()}};
    while (!pending.empty()) {
        const auto [part, parentOffset] = pending.back();
        pending.pop_back();
        const Vector3 offset = parentOffset + part->location();
        for (const ModelSurface& surface : part->surfaces()) {
            Triangle t;
            for (int k = 0; k < 3; ++k)
                t[k] =
                    body.transform.position + rotation * (part->vertices()[surface.vertexIndex[k]] + offset);
            triangles.push_back(t);
        }
        for (const auto& kid : part->kids())
            pending.emplace_back(kid.get(), offset);
    }
    return triangles;
}

/// The distance along a unit direction at which the ray crosses the
/// triangle from either side, by barycentric coordinates solved with Cramer's rule.
inline std::optional<float> crossTriangle(const Vector3& origin, const Vector3& direction, const Triangle& t)
{
    const Vector3 normal = cross(t[1] - t[0], t[2] - t[0]);
    const float approach = dot(normal, direction);
    if (std::fabs(approach) < 1e-12f)
        return std::nullopt;
    const float distance = dot(normal, t[0] - origin) / approach;
    if (distance < 0.0f)
        return std::nullopt;
    const Vector3 p = origin + direction * distance;
    for (int k = 0; k < 3; ++k)
        if (dot(cross(t[(k + 1) % 3] - t[k], p - t[k]), normal) < 0.0f)
            return std::nullopt;
    return distance;
}

/// The pile a test asks its queries of: a shipped scene run until its blocks
/// have settled, in a fresh universe that the fixture empties afterwards.
class SettledPileTest : public ::testing::Test {
  protected:
    void SetUp() override { Physics::PhysicalUniverse::reset(); }
    void TearDown() override { Physics::PhysicalUniverse::reset(); }

    static std::unique_ptr<PhysicsTestScene> settle(const std::string& name, int steps)
    {
        Physics::PhysicalUniverse::reset();
        auto scene =
            std::make_unique<PhysicsTestScene>(loadSceneFile(std::string(TOLVANE_SCENES_DIR) + "/" + name));
        for (int step = 0; step < steps; ++step)
            Physics::PhysicalUniverse::step();
        return scene;
    }
};

} // namespace Tolvane::Testing
