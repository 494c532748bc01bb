// Building the test scene and placing its blocks on the jittered lattice.
#include "scene/PhysicsTestScene.h"
#include "physics/PhysicalUniverse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace Tolvane {
namespace {

using Physics::PhysicalUniverse;

class PhysicsTestSceneTest : public ::testing::Test {
  protected:
    void SetUp() override { PhysicalUniverse::reset(); }
    void TearDown() override { PhysicalUniverse::reset(); }
};

TEST_F(PhysicsTestSceneTest, BuildsTheFloorFirstAndTheBlocksInOneRegisteredSet)
{
    PhysicsTestScene scene(TOLVANE_DATA_DIR);
    ASSERT_EQ(scene.bodies().size(), 126u);
    EXPECT_EQ(scene.blockCount(), 125);

    const auto& floor = *scene.floor();
    EXPECT_TRUE(floor.fixed);
    EXPECT_EQ(floor.mass, 1e20f);
    EXPECT_EQ(floor.transform.position, Math::Vector3(0.0f, -7.0f, 0.0f));
    EXPECT_EQ(floor.model, scene.floorModel());
    for (int i = 1; i <= 125; ++i) {
        const auto& block = *scene.bodies()[i];
        EXPECT_FALSE(block.fixed);
        EXPECT_EQ(block.mass, 1.0f);
        EXPECT_EQ(block.model, scene.blockModel());
        // Inertia derived from the mass and the cube's radius, not left at identity.
        EXPECT_NEAR(block.inertia[0], 0.4 * 3.0, 1e-5);
    }

    ASSERT_EQ(PhysicalUniverse::collisionSets.size(), 1u);
    EXPECT_EQ(PhysicalUniverse::collisionSets[0], scene.collisionSet());
    EXPECT_TRUE(scene.collisionSet()->selfCollision);
    EXPECT_EQ(scene.collisionSet()->getBodies(), scene.bodies());
    EXPECT_EQ(PhysicalUniverse::gravity, Math::Vector3(0.0f, -9.81f, 0.0f));
}

TEST_F(PhysicsTestSceneTest, LatticeRunsUpThenAcrossThenBack)
{
    PhysicsTestScene scene(TOLVANE_DATA_DIR);
    const auto& points = scene.latticePoints();
    ASSERT_EQ(points.size(), 125u);
    EXPECT_EQ(points[0], Math::Vector3(0.0f, 2.5f, 0.0f));
    EXPECT_EQ(points[4], Math::Vector3(0.0f, 12.5f, 0.0f));
    EXPECT_EQ(points[5], Math::Vector3(2.5f, 2.5f, 0.0f));
    EXPECT_EQ(points[25], Math::Vector3(0.0f, 2.5f, 2.5f));
    EXPECT_EQ(points[124], Math::Vector3(10.0f, 12.5f, 10.0f));

    // A smaller lattice keeps the spacing and the start height and wraps sooner.
    PhysicalUniverse::reset();
    PhysicsTestScene small(TOLVANE_DATA_DIR, 2);
    ASSERT_EQ(small.bodies().size(), 9u);
    const Math::Vector3 expected[] = {{0.0f, 2.5f, 0.0f}, {0.0f, 5.0f, 0.0f}, {2.5f, 2.5f, 0.0f},
                                      {2.5f, 5.0f, 0.0f}, {0.0f, 2.5f, 2.5f}, {0.0f, 5.0f, 2.5f},
                                      {2.5f, 2.5f, 2.5f}, {2.5f, 5.0f, 2.5f}};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(small.latticePoints()[i], expected[i]) << i;
}

TEST_F(PhysicsTestSceneTest, LatticeSizeMustFitTheFloor)
{
    for (int size : {0, -1, 13}) {
        try {
            PhysicsTestScene scene(TOLVANE_DATA_DIR, size);
            ADD_FAILURE() << "size " << size << " accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Lattice size must be between 1 and 12");
        }
    }
    EXPECT_TRUE(PhysicalUniverse::collisionSets.empty());

    PhysicsTestScene largest(TOLVANE_DATA_DIR, 12);
    EXPECT_EQ(largest.blockCount(), 1728);
    EXPECT_EQ(largest.latticePoints().back(), Math::Vector3(27.5f, 30.0f, 27.5f));
}

TEST_F(PhysicsTestSceneTest, MissingModelFolderIsReported)
{
    EXPECT_THROW(PhysicsTestScene scene("/nonexistent/models"), std::runtime_error);
    EXPECT_TRUE(PhysicalUniverse::collisionSets.empty());
}

TEST_F(PhysicsTestSceneTest, JitterStaysWithinATenthWhateverRandMaxIs)
{
    EXPECT_EQ(latticeJitter(0), -0.1f);
    EXPECT_EQ(latticeJitter(RAND_MAX), 0.1f);
    EXPECT_NEAR(latticeJitter(RAND_MAX / 2), 0.0f, 1e-7);
    // Values a C library with RAND_MAX 32767 never produces must not leave the range.
    for (int value : {32767, 32768, 1 << 20, RAND_MAX / 3, RAND_MAX - 1}) {
        const float jitter = latticeJitter(value);
        EXPECT_GE(jitter, -0.1f) << value;
        EXPECT_LE(jitter, 0.1f) << value;
    }
}

TEST_F(PhysicsTestSceneTest, ResetPlacesEachBlockByOneRandDrawAndStopsIt)
{
    // The scene never seeds the generator; seeding here only makes its draws
    // known to the test: the first 27 for building, the next 27 for the reset.
    std::srand(12345);
    std::vector<int> draws(54);
    for (int& draw : draws)
        draw = std::rand();
    std::srand(12345);
    PhysicsTestScene scene(TOLVANE_DATA_DIR, 3);
    auto checkPlacement = [&scene, &draws](int firstDraw) {
        for (int i = 0; i < scene.blockCount(); ++i) {
            const float jitter = latticeJitter(draws[firstDraw + i]);
            const auto& block = *scene.bodies()[i + 1];
            const Math::Vector3& point = scene.latticePoints()[i];
            EXPECT_EQ(block.transform.position,
                      Math::Vector3(point.x + jitter, point.y + jitter, point.z + jitter));
            EXPECT_EQ(block.transform.orientation, Math::Quaternion());
            EXPECT_TRUE(block.transform.dirty);
            EXPECT_EQ(block.velocity, Math::Vector3());
            EXPECT_EQ(block.angularVelocity, Math::Vector3());
        }
    };
    checkPlacement(0);

    // The blocks move and spin; a reset continues the sequence and stops them again.
    for (const auto& body : scene.bodies()) {
        body->velocity = {1.0f, 2.0f, 3.0f};
        body->angularVelocity = {0.5f, 0.0f, 0.0f};
        body->transform.orientation = Math::Quaternion(0.0f, 1.0f, 0.0f, 0.0f);
    }
    const Math::Vector3 firstPlace = scene.bodies()[1]->transform.position;
    scene.resetBlocks();
    checkPlacement(27);
    EXPECT_NE(scene.bodies()[1]->transform.position, firstPlace);
    EXPECT_EQ(scene.floor()->transform.position, Math::Vector3(0.0f, -7.0f, 0.0f));
}

TEST_F(PhysicsTestSceneTest, HashSeesEveryFieldOfEveryBody)
{
    PhysicsTestScene scene(TOLVANE_DATA_DIR, 1);
    const std::uint64_t original = scene.stateHash();
    EXPECT_EQ(scene.stateHash(), original);
    auto& block = *scene.bodies()[1];
    auto changed = [&](auto& field, auto value) {
        const auto kept = field;
        field = value;
        const bool differs = scene.stateHash() != original;
        field = kept;
        return differs;
    };
    EXPECT_TRUE(changed(block.transform.position.z, 1e-7f));
    EXPECT_TRUE(changed(block.transform.orientation.x, 1e-7f));
    EXPECT_TRUE(changed(block.velocity.y, -0.0f));
    EXPECT_TRUE(changed(block.angularVelocity.x, 1e-7f));
    EXPECT_TRUE(changed(scene.floor()->transform.position.x, 1.0f));
}

} // namespace
} // namespace Tolvane
