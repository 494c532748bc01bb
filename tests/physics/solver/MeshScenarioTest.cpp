// Movable blocks against fixed concave models, which collide by their
// triangles: a cube in a channel's groove, a slide and a fast cube on a floor
// of 20,000 triangles, and the program's lattice falling into a bowl and onto
// the terrain.
#include "ShippedSceneTest.h"
#include "physics/PhysicalUniverse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

namespace Tolvane {
namespace {

using Math::Vector3;
using Physics::PhysicalObject;
using Physics::PhysicalUniverse;

class MeshScenario : public Testing::ShippedSceneTest {};

// The channel's hull would hold the cube 2 units up, over the groove.
TEST_F(MeshScenario, CubeDroppedIntoTheChannelRestsOnTheGroovesFloor)
{
    const auto scene = load("channel.json");
    const PhysicalObject& cube = *scene->bodies().back();
    run(200);
    EXPECT_NEAR(cube.transform.position.y, -5.0f, 0.01f);
    EXPECT_NEAR(cube.transform.position.x, 0.0f, 0.01f);
    EXPECT_LT(cube.velocity.length(), 0.01f);
}

// Across the tiled floor's seams the cube neither catches nor hops: it stops
// where friction stops it on a plain floor, on a straight line, never rising.
TEST_F(MeshScenario, CubeSlidesAcrossTheTiledFloorAsOnAPlainOne)
{
    const auto scene = load("tiled-slide.json");
    const PhysicalObject& cube = *scene->bodies().back();
    const Vector3 start = cube.transform.position;
    float highest = start.y;
    float widest = 0.0f;
    for (int step = 0; step < 200; ++step) {
        PhysicalUniverse::step();
        highest = std::max(highest, cube.transform.position.y);
        widest = std::max(widest, std::fabs(cube.transform.position.z - start.z));
    }
    const float expected = 25.0f / (2.0f * 0.5f * 9.81f);
    EXPECT_NEAR(cube.transform.position.x - start.x, expected, 0.05f * expected);
    EXPECT_LT(highest - start.y, 0.005f);
    EXPECT_LT(widest, 0.01f);
}

TEST_F(MeshScenario, CubeAt400UnitsPerSecondStopsOnTheTiledFloor)
{
    const auto scene = load("tiled-fast-cube.json");
    const PhysicalObject& cube = *scene->bodies().back();
    for (int step = 0; step < 100; ++step) {
        PhysicalUniverse::step();
        // The cube's centre never comes nearer the floor's top (y = -7) than its half-size.
        ASSERT_GT(cube.transform.position.y, -6.0f - 0.02f) << "step " << step;
    }
}

TEST_F(MeshScenario, LatticeFallsIntoTheBowlAndSettlesInsideIt)
{
    const auto scene = load("lattice-bowl.json");
    run(600);
    const Vector3 centre = scene->bodies()[1]->transform.position;
    for (std::size_t i = 2; i < scene->bodies().size(); ++i) {
        const PhysicalObject& cube = *scene->bodies()[i];
        EXPECT_TRUE(cube.solverMemory.asleep) << "cube " << i;
        // Within the rim (radius 13.2 about the bowl's axis) and above its lowest point.
        EXPECT_LT(std::hypot(cube.transform.position.x - centre.x, cube.transform.position.z - centre.z),
                  12.0f)
            << "cube " << i;
        EXPECT_GT(cube.transform.position.y, centre.y - 7.0f) << "cube " << i;
    }
}

// A pile falling on a mesh never sinks into it: a corner left out of its
// four points, or a corner beside a triangle counted as under it, once let
// cubes of these very placements sink 1.04 into the tiled floor and 0.27
// into the terrain.
TEST_F(MeshScenario, LatticesFallingOnMeshesNeverSinkIntoThem)
{
    struct Case {
        const char* scene;
        unsigned seed;
        int steps;
    };
    for (const auto& [name, seed, steps] :
         {Case{"lattice-tiled.json", 2u, 270}, Case{"lattice-terrain.json", 1u, 80}}) {
        SCOPED_TRACE(testing::Message() << name << ", seed " << seed);
        std::srand(seed);
        const auto scene = load(name);
        float deepest = 0.0f;
        for (int step = 0; step < steps; ++step) {
            PhysicalUniverse::step();
            deepest = std::max(deepest, -PhysicalUniverse::contactStatistics().deepestFixedSeparation);
        }
        EXPECT_LT(deepest, 0.1f);
    }
}

// The program's lattice landing on the terrain's slopes: cubes tumble down
// them and strike each other, and a cube struck while it rests on the ground
// is driven into it. Every cube is asleep by step 400, and none ever sank into
// the ground deeper than 0.03.
TEST_F(MeshScenario, LatticeOnTheTerrainSleepsBy400StepsAndNeverSinksPast003)
{
    std::srand(1);
    const auto scene = load("lattice-terrain.json");
    float deepest = 0.0f;
    for (int step = 0; step < 400; ++step) {
        PhysicalUniverse::step();
        deepest = std::max(deepest, -PhysicalUniverse::contactStatistics().deepestFixedSeparation);
    }
    EXPECT_LE(deepest, 0.03f);
    for (std::size_t i = 1; i < scene->bodies().size(); ++i)
        EXPECT_TRUE(scene->bodies()[i]->solverMemory.asleep) << "cube " << i;
}

} // namespace
} // namespace Tolvane
