// Steps of the solver response take no heap memory once the first steps have
// grown its buffers to the scene's size.
#include "AllocationCounter.h"
#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"
#include "scene/SceneFile.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace Tolvane {
namespace {

using Physics::PhysicalUniverse;

/// The heap allocations of the next steps of the universe.
std::size_t allocationsOver(int steps)
{
    Testing::AllocationCounter counter;
    for (int step = 0; step < steps; ++step)
        PhysicalUniverse::step();
    return counter.count();
}

TEST(StepAllocations, SettlingLatticeStepsAllocateNothingAfterWarmUp)
{
    PhysicalUniverse::reset();
    std::srand(1);
    PhysicsTestScene scene(TOLVANE_DATA_DIR);
    // One thread: the narrow phase's scratch is kept per thread, and which
    // thread gets which pairs changes with the machine's load.
    PhysicalUniverse::setThreads(1);
    // The landing, when the most pairs and points there will ever be meet.
    for (int step = 0; step < 100; ++step)
        PhysicalUniverse::step();
    ASSERT_GT(PhysicalUniverse::contactStatistics().awakeBodies, 0) << "the pile must still be settling";
    EXPECT_EQ(allocationsOver(100), 0u);

    // The counter does see allocations: the designed response makes a record per colliding pair.
    PhysicalUniverse::contactSettings.response = Physics::ResponseKind::designed;
    Testing::AllocationCounter counter;
    PhysicalUniverse::step();
    EXPECT_GT(counter.count(), 0u);
    PhysicalUniverse::reset();
    PhysicalUniverse::setThreads(0);
}

TEST(StepAllocations, JointedStepsAllocateNothingAfterWarmUp)
{
    // Joints alone (a hanging chain whose neighbours do not collide) and
    // joints with contacts (the cradle's cubes striking one another), once the
    // most contacts the scene will have have met: the cradle's swing back
    // strikes the row at several points at once.
    struct Case {
        const char* scene;
        int warmUp;
    };
    for (const auto& [name, warmUp] : {Case{"chain-30-heavy.json", 100}, Case{"newtons-cradle.json", 400}}) {
        SCOPED_TRACE(name);
        PhysicalUniverse::reset();
        PhysicsTestScene scene(loadSceneFile(std::string(TOLVANE_SCENES_DIR) + "/" + name));
        PhysicalUniverse::setThreads(1);
        for (int step = 0; step < warmUp; ++step)
            PhysicalUniverse::step();
        EXPECT_EQ(allocationsOver(100), 0u);
    }
    PhysicalUniverse::reset();
    PhysicalUniverse::setThreads(0);
}

TEST(StepAllocations, KinematicBodiesMaterialsAndLayersAllocateNothingAfterWarmUp)
{
    // A turning platform carrying cubes, bodies of their own materials, and a
    // body outside layer 0, all in one world.
    for (const char* name : {"spinning-platform.json", "materials.json"}) {
        SCOPED_TRACE(name);
        PhysicalUniverse::reset();
        PhysicsTestScene scene(loadSceneFile(std::string(TOLVANE_SCENES_DIR) + "/" + name));
        scene.bodies().back()->collisionLayer = 3;
        PhysicalUniverse::setThreads(1);
        for (int step = 0; step < 100; ++step)
            PhysicalUniverse::step();
        Testing::AllocationCounter counter;
        for (int step = 0; step < 40; ++step)
            PhysicalUniverse::step();
        EXPECT_EQ(counter.count(), 0u);
    }
    PhysicalUniverse::reset();
    PhysicalUniverse::setThreads(0);
}

} // namespace
} // namespace Tolvane
