// Bodies for the query tests built in code: a cube and an open V-shaped
// trough, whose hull (a prism) differs from its triangles.
#pragma once

#include "BoxModels.h"
#include "math/Quaternion.h"
#include "physics/PhysicalUniverse.h"
#include "physics/body/CollisionSet.h"
#include "physics/body/PhysicalModel.h"
#include "physics/body/PhysicalObject.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace Tolvane::Testing {

/// Two slopes from a rim at y = 1 (x = ±2) down to a groove at y = 0 along
/// the z axis, z from -1 to 1, faces up; open, so not its own hull.
inline std::shared_ptr<Physics::PhysicalModel> troughPart()
{
    using Math::Vector3;
    const std::vector<Vector3> vertices{{-2, 1, -1}, {0, 0, -1}, {2, 1, -1},
                                        {-2, 1, 1},  {0, 0, 1},  {2, 1, 1}};
    const std::uint16_t triangles[4][3] = {{0, 3, 4}, {0, 4, 1}, {1, 4, 5}, {1, 5, 2}};
    return Physics::Testing::trianglePart(vertices, triangles);
}

/// A body of model at position, added to set.
inline std::shared_ptr<Physics::PhysicalObject> addBody(Physics::CollisionSet& set,
                                                        std::shared_ptr<Physics::PhysicalModel> model,
                                                        const Math::Vector3& position, bool fixed = false)
{
    auto body = std::make_shared<Physics::PhysicalObject>(std::move(model));
    body->transform = Math::Transform(position, Math::Quaternion());
    body->fixed = fixed;
    set.addBody(body);
    return body;
}

/// A fresh universe holding one unit cube at the origin, for the queries' edge cases.
class OneCubeWorld : public ::testing::Test {
  protected:
    void SetUp() override
    {
        Physics::PhysicalUniverse::reset();
        set = std::make_shared<Physics::CollisionSet>();
        Physics::PhysicalUniverse::addCollisionSet(set);
        cube = addBody(*set, Physics::Testing::cubePart(), Math::Vector3());
    }
    void TearDown() override { Physics::PhysicalUniverse::reset(); }

    std::shared_ptr<Physics::CollisionSet> set;
    std::shared_ptr<Physics::PhysicalObject> cube;
};

} // namespace Tolvane::Testing
