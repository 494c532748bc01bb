// Kinematic bodies under the solver response: a turning platform carries the
// cubes set on it, a moving body pushes and wakes what it meets at its own
// velocity, and nothing pushes it, not even the floor it passes through.
#include "ShippedSceneTest.h"
#include "math/Matrix3.h"
#include "math/Quaternion.h"
#include "math/Transform.h"
#include "scene/SceneFile.h"

#include <cmath>
#include <string>
#include <vector>

namespace Tolvane {
namespace {

using Math::Vector3;
using Physics::PhysicalObject;

constexpr float timeStep = 0.025f;
/// Steps of one turn of a platform at 1 rad/s.
constexpr int stepsPerTurn = static_cast<int>(2.0f * 3.14159265f / timeStep + 0.5f);

/// Where a point is in the frame of a body: how far it slid relative to it.
Vector3 inFrameOf(const PhysicalObject& body, const Vector3& point)
{
    return Math::transposeTimes(Math::toMatrix3(body.transform.orientation), point - body.transform.position);
}

class KinematicScenario : public Testing::ShippedSceneTest {
  protected:
    /// A scene of the shipped models from its bodies' JSON.
    static std::unique_ptr<PhysicsTestScene> build(const std::string& bodies)
    {
        Physics::PhysicalUniverse::reset();
        return std::make_unique<PhysicsTestScene>(parseSceneText(
            R"({"models": {"cube": "SimpleCube.ac", "floor": "Floor.ac"}, "bodies": [)" + bodies + "]}",
            "kinematic", TOLVANE_DATA_DIR));
    }
};

TEST_F(KinematicScenario, TurningPlatformCarriesItsCubesRoundWithoutSlidingOff)
{
    const auto scene = load("spinning-platform.json");
    const PhysicalObject& platform = *scene->bodies()[1];
    // The first turn picks the cubes up from rest; the second must carry them.
    run(stepsPerTurn);
    std::vector<Vector3> before;
    for (std::size_t i = 2; i < scene->bodies().size(); ++i)
        before.push_back(inFrameOf(platform, scene->bodies()[i]->transform.position));
    run(stepsPerTurn);
    for (std::size_t i = 2; i < scene->bodies().size(); ++i) {
        SCOPED_TRACE(scene->bodyName(i));
        const PhysicalObject& cube = *scene->bodies()[i];
        const Vector3 slid = inFrameOf(platform, cube.transform.position) - before[i - 2];
        EXPECT_LT(slid.length(), 0.05f);
        EXPECT_NEAR(cube.angularVelocity.y, 1.0f, 0.01f);
        EXPECT_NEAR(cube.transform.position.y, -2.5f, 0.01f);
    }
    // The platform turned exactly two turns about its own centre, unmoved.
    EXPECT_EQ(platform.transform.position, Vector3(0.0f, -4.0f, 0.0f));
    EXPECT_EQ(platform.angularVelocity, Vector3(0.0f, 1.0f, 0.0f));
    const float turned = 2.0f * std::acos(std::fabs(platform.transform.orientation.w));
    EXPECT_NEAR(turned, std::fabs(std::remainder(2.0f * stepsPerTurn * timeStep, 2.0f * 3.14159265f)), 1e-3f);
}

TEST_F(KinematicScenario, MovingBodyWakesAndPushesASleepingCubeAndIsNeverPushed)
{
    // The pusher reaches below the floor's top: fixed and kinematic bodies do
    // not collide, so the floor neither lifts nor stops it.
    const auto scene = build(R"({"model": "floor", "position": [0, -7, 0], "fixed": true},
        {"model": "cube", "position": [0, -6, 0]},
        {"model": "cube", "position": [-5, -6.2, 0], "kinematic": true})");
    PhysicalObject& cube = *scene->bodies()[1];
    PhysicalObject& pusher = *scene->bodies()[2];
    run(40);
    ASSERT_TRUE(cube.solverMemory.asleep);
    // Setting its velocity alone is no move by code: the cube sleeps on until met.
    pusher.velocity = Vector3(2.0f, 0.0f, 0.0f);
    run(20);
    EXPECT_TRUE(cube.solverMemory.asleep);
    run(60);
    EXPECT_FALSE(cube.solverMemory.asleep);
    // Pushed ahead at the pusher's speed against the floor's friction, faces touching.
    EXPECT_NEAR(cube.velocity.x, 2.0f, 0.02f);
    EXPECT_NEAR(cube.transform.position.x - pusher.transform.position.x, 2.0f, 0.02f);
    EXPECT_NEAR(pusher.transform.position.x, -5.0f + 2.0f * 80 * timeStep, 1e-3f);
    EXPECT_EQ(pusher.transform.position.y, -6.2f);
    EXPECT_EQ(pusher.velocity, Vector3(2.0f, 0.0f, 0.0f));
    EXPECT_EQ(pusher.transform.orientation, Math::Quaternion());
}

TEST_F(KinematicScenario, KinematicBodiesPassThroughEachOtherAndStandingStillActAsFixed)
{
    // Two kinematic bodies crossing, and a cube dropped on a kinematic one at rest.
    const auto scene =
        build(R"({"model": "cube", "position": [-2, 0, 0], "velocity": [1, 0, 0], "kinematic": true},
        {"model": "cube", "position": [2, 0, 0], "velocity": [-1, 0, 0], "kinematic": true},
        {"model": "cube", "position": [10, 0, 0], "kinematic": true},
        {"model": "cube", "position": [10, 3, 0]})");
    run(160);
    EXPECT_NEAR(scene->bodies()[0]->transform.position.x, 2.0f, 1e-3f);
    EXPECT_NEAR(scene->bodies()[1]->transform.position.x, -2.0f, 1e-3f);
    EXPECT_EQ(scene->bodies()[2]->transform.position, Vector3(10.0f, 0.0f, 0.0f));
    EXPECT_NEAR(scene->bodies()[3]->transform.position.y, 2.0f, 0.01f);
    EXPECT_TRUE(scene->bodies()[3]->solverMemory.asleep);
}

TEST_F(KinematicScenario, DrivenToATargetPoseItArrivesInOneStep)
{
    // Turns of less and more than half a turn: the second goes the short way.
    for (const float angle : {2.0f, 4.0f}) {
        SCOPED_TRACE("angle " + std::to_string(angle));
        const auto scene = build(R"({"model": "cube", "position": [0, 0, 0], "kinematic": true})");
        PhysicalObject& body = *scene->bodies()[0];
        Math::Transform target;
        target.position = Vector3(1.0f, 2.0f, 0.5f);
        target.orientation = Math::fromAxisAngle(Math::safeDirection(Vector3(1.0f, 1.0f, 0.0f)), angle);
        body.moveKinematicTo(target, timeStep);
        EXPECT_LT(body.angularVelocity.length() * timeStep, 3.14159265f + 1e-5f);
        run(1);
        EXPECT_LT((body.transform.position - target.position).length(), 1e-5f);
        const Math::Quaternion& q = body.transform.orientation;
        const Math::Quaternion& t = target.orientation;
        EXPECT_NEAR(std::fabs(q.w * t.w + q.x * t.x + q.y * t.y + q.z * t.z), 1.0f, 1e-5f);
    }
}

} // namespace
} // namespace Tolvane
