// Whole-physics scenarios on the shipped models: a dropped cube, a cube landing
// on a cube, and the program's full scene of 125 blocks.
#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace Tolvane {
namespace {

using Physics::PhysicalObject;
using Physics::PhysicalUniverse;

/// A block resting on the floor (top at y = -7) has its centre here.
constexpr float restingCentre = -6.0f;
/// Where the single cubes fall: away from the line x = z, along which the
/// floor's top face is split into its two triangles.
constexpr float dropX = 5.0f;
constexpr float dropZ = 2.0f;
/// Half the floor's width: a block centre farther out is beside the floor.
constexpr float floorHalfWidth = 30.0f;
/// The floor's top face, where a block's centre would be half through it.
constexpr float floorTop = restingCentre - 1.0f;

class ScenarioTest : public ::testing::Test {
  protected:
    void SetUp() override { PhysicalUniverse::reset(); }
    void TearDown() override { PhysicalUniverse::reset(); }

    /// One block of the scene, moved to position and stopped.
    static PhysicalObject& place(PhysicalObject& block, const Math::Vector3& position)
    {
        block.transform.position = position;
        block.velocity = Math::Vector3();
        block.angularVelocity = Math::Vector3();
        return block;
    }
};

TEST_F(ScenarioTest, DroppedCubeBouncesAtHalfSpeedAndRestsOnTheFloor)
{
    // Clear of the diagonal along which the floor's top is split into its two
    // triangles, and right on it, where two bottom corners land on that inner
    // edge (the positions of the program's blocks on the line x = z).
    struct Drop {
        float x;
        float z;
    };
    for (const Drop drop : {Drop{dropX, dropZ}, Drop{5.0f, 5.0f}, Drop{-2.4617f, -2.4617f}}) {
        SCOPED_TRACE("dropped at x " + std::to_string(drop.x) + ", z " + std::to_string(drop.z));
        PhysicalUniverse::reset();
        PhysicsTestScene scene(TOLVANE_DATA_DIR, 1);
        // Bottom face 2 units above the floor's top.
        PhysicalObject& cube = place(*scene.bodies()[1], {drop.x, restingCentre + 2.0f, drop.z});

        float lowest = cube.transform.position.y;
        float impactSpeed = 0.0f;
        float reboundSpeed = 0.0f;
        for (int step = 0; step < 400; ++step) {
            const float before = cube.velocity.y;
            PhysicalUniverse::step();
            lowest = std::min(lowest, cube.transform.position.y);
            if (reboundSpeed == 0.0f && before < 0.0f && cube.velocity.y > 0.0f) {
                // The speed the fall had reached at the floor, and the one it left with.
                impactSpeed = std::sqrt(2.0f * 9.81f * 2.0f);
                reboundSpeed = cube.velocity.y;
            }
        }
        ASSERT_GT(reboundSpeed, 0.0f) << "the cube never bounced";
        EXPECT_NEAR(reboundSpeed / impactSpeed, 0.5f, 0.05f);
        EXPECT_GE(lowest, restingCentre - 0.01f);
        EXPECT_NEAR(cube.transform.position.y, restingCentre, 0.01f);
        EXPECT_LT(cube.velocity.squaredLength(), 0.01f);
        EXPECT_NEAR(cube.transform.position.x, drop.x, 0.01f);
        EXPECT_NEAR(cube.transform.position.z, drop.z, 0.01f);
    }
}

// The upper cube lands a little off the lower one's centre, bounces on it and
// stays: the contact holds both cubes' faces together instead of tipping them
// at one point, and the lower cube is not driven into the floor.
TEST_F(ScenarioTest, CubeLandingOnARestingCubeStaysOnIt)
{
    PhysicsTestScene scene(TOLVANE_DATA_DIR, 1);
    PhysicalObject& lower = place(*scene.bodies()[1], {dropX, restingCentre, dropZ});
    auto upper = std::make_shared<PhysicalObject>(scene.blockModel());
    upper->mass = PhysicsTestScene::blockMass;
    upper->updateInertia();
    // One unit of free fall onto the lower cube's top face, a little off its centre.
    place(*upper, {dropX + 0.3f, restingCentre + 3.0f, dropZ - 0.2f});
    scene.collisionSet()->addBody(upper);

    float lowestLower = lower.transform.position.y;
    float lowestUpper = upper->transform.position.y;
    for (int step = 0; step < 400; ++step) {
        PhysicalUniverse::step();
        lowestLower = std::min(lowestLower, lower.transform.position.y);
        lowestUpper = std::min(lowestUpper, upper->transform.position.y);
    }
    EXPECT_GE(lowestLower, restingCentre - 0.01f);
    EXPECT_GE(lowestUpper, restingCentre + 2.0f - 0.05f);
    EXPECT_NEAR(lower.transform.position.y, restingCentre, 0.01f);
    EXPECT_NEAR(upper->transform.position.y, restingCentre + 2.0f, 0.02f);
    EXPECT_NEAR(upper->transform.position.x, dropX + 0.3f, 0.05f);
    EXPECT_NEAR(upper->transform.position.z, dropZ - 0.2f, 0.05f);
    EXPECT_LT(upper->velocity.squaredLength(), 0.01f);
}

/// Runs the program's scene from its start-up state for the given number of
/// steps and returns the final state hash. check runs after every step.
template <class Check> std::uint64_t runFullScene(int steps, Check check)
{
    PhysicalUniverse::reset();
    // glibc's generator before any seeding is the one seeded with 1: this is
    // the program's own first placement.
    std::srand(1);
    PhysicsTestScene scene(TOLVANE_DATA_DIR);
    for (int step = 1; step <= steps && !::testing::Test::HasFailure(); ++step) {
        PhysicalUniverse::step();
        check(scene, step);
    }
    return scene.stateHash();
}

// Blocks do sink into the floor for a step or two when a block above drives them
// down (see the disabled test below), but none may get its centre down to the
// floor's top face: that is a block passing through the floor, as fast blocks
// did while contact normals could point into it.
TEST_F(ScenarioTest, FullSceneStaysFiniteAboveTheFloorAndRepeatsBitForBit)
{
    auto finiteAndAboveTheFloor = [](const PhysicsTestScene& scene, int step) {
        EXPECT_TRUE(scene.measure().allFinite) << "step " << step;
        for (int i = 1; i < static_cast<int>(scene.bodies().size()); ++i) {
            const Math::Vector3& p = scene.bodies()[i]->transform.position;
            if (std::fabs(p.x) <= floorHalfWidth && std::fabs(p.z) <= floorHalfWidth) {
                EXPECT_GT(p.y, floorTop) << "block " << i << " at step " << step;
            }
        }
    };
    const std::uint64_t first = runFullScene(400, finiteAndAboveTheFloor);
    ASSERT_FALSE(HasFailure());
    const std::uint64_t second = runFullScene(400, [](const PhysicsTestScene&, int) {});
    EXPECT_EQ(first, second);
}

// No block over the floor gets its centre more than 0.05 below its resting
// height at any step while the program's scene falls and settles.
TEST_F(ScenarioTest, FullSceneKeepsBlocksOutOfTheFloor)
{
    runFullScene(400, [](const PhysicsTestScene& scene, int step) {
        for (int i = 1; i < static_cast<int>(scene.bodies().size()); ++i) {
            const Math::Vector3& p = scene.bodies()[i]->transform.position;
            if (std::fabs(p.x) <= floorHalfWidth && std::fabs(p.z) <= floorHalfWidth) {
                EXPECT_GE(p.y, restingCentre - 0.05f) << "block " << i << " at step " << step;
            }
        }
    });
}

} // namespace
} // namespace Tolvane
