// A movable body on a model with a part that is not convex collides with it
// as its convex hull, and the engine says so once per model.
#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"
#include "scene/SceneFile.h"

#include <gtest/gtest.h>

#include <string>

namespace Tolvane {
namespace {

using Physics::PhysicalUniverse;

/// Standard error while the scene at name steps twice, body 1 made movable when asked.
std::string reportOfTwoSteps(const std::string& name, bool movableChannel)
{
    PhysicalUniverse::reset();
    const PhysicsTestScene scene(loadSceneFile(std::string(TOLVANE_SCENES_DIR) + "/" + name));
    if (movableChannel)
        scene.bodies()[1]->fixed = false;
    testing::internal::CaptureStderr();
    PhysicalUniverse::step();
    PhysicalUniverse::step();
    const std::string said = testing::internal::GetCapturedStderr();
    PhysicalUniverse::reset();
    return said;
}

TEST(ConcavePart, MovableBodyOnAConcavePartIsToldOnceAndFixedOrConvexOnesNot)
{
    const std::string expected = "Channel.ac: part \"channel\" collides as its convex hull; split it into "
                                 "convex parts for an exact shape\n";
    const std::string movable = reportOfTwoSteps("channel.json", true);
    ASSERT_GE(movable.size(), expected.size());
    EXPECT_EQ(movable.substr(movable.size() - expected.size()), expected);
    EXPECT_EQ(movable.find('\n'), movable.size() - 1) << "said more than once: " << movable;

    // The model was read again for this scene, so it may speak again; fixed it does not.
    EXPECT_EQ(reportOfTwoSteps("channel.json", false), "");
    EXPECT_EQ(reportOfTwoSteps("lattice.json", false), "");
}

} // namespace
} // namespace Tolvane
