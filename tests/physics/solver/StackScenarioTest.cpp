// The solver response on stacks and impacts: heavy cubes on light ones hold
// still, a fast cube into a wall does not drive its cubes into one another,
// and a cube landing while it slides stops sliding in the impact.
#include "ShippedSceneTest.h"
#include "physics/PhysicalUniverse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace Tolvane {
namespace {

using Physics::PhysicalObject;
using Physics::PhysicalUniverse;

class StackScenario : public Testing::ShippedSceneTest {
  protected:
    static float speed(const PhysicalObject& body) { return body.velocity.length(); }
};

// Twenty cubes stacked exactly: the contacts low in the tower carry the
// weight of many cubes and are made stiff enough that the tower does not bend
// over. On contacts as soft as a short stack's, its lean grows by a third
// every 100 steps and it falls near step 1800.
TEST_F(StackScenario, TallTowerStandsStraightAndItsLeanDoesNotGrow)
{
    const auto scene = load("tower-20.json");
    const PhysicalObject& top = *scene->bodies().back();
    const Math::Vector3 start = top.transform.position;
    const auto lean = [&] {
        return std::hypot(top.transform.position.x - start.x, top.transform.position.z - start.z);
    };
    float worst[3] = {0.0f, 0.0f, 0.0f};
    for (int step = 1; step <= 1500; ++step) {
        PhysicalUniverse::step();
        float& window = worst[(step - 1) / 500];
        window = std::max(window, lean());
    }
    EXPECT_LT(worst[2], 0.02f);
    EXPECT_LE(worst[2], worst[1] + 0.002f);
    EXPECT_GT(top.transform.position.y, start.y - 0.05f);
}

// Cards leaning on each other at 20 degrees hold by friction at the floor
// and by their edges at the top, a card laid across two such frames carries
// a third: the house stands.
TEST_F(StackScenario, CardHouseStands)
{
    const auto scene = load("card-house.json");
    std::vector<Math::Vector3> start;
    for (const auto& body : scene->bodies())
        start.push_back(body->transform.position);
    for (int step = 1; step <= 1000; ++step)
        PhysicalUniverse::step();
    for (std::size_t i = 1; i < start.size(); ++i)
        EXPECT_LT((scene->bodies()[i]->transform.position - start[i]).length(), 0.05f) << "card " << i;
}

// Three cubes, the middle one 10 or 100 times heavier. Once the stack has taken
// its load, nothing may creep: a contact that keeps sinking and pushing back
// shows as a cube that never stops.
TEST_F(StackScenario, HeavyCubeBetweenLightOnesHoldsStill)
{
    for (const char* name : {"stack-1-10-1.json", "stack-1-100-1.json"}) {
        SCOPED_TRACE(name);
        const auto scene = load(name);
        const auto& bodies = scene->bodies();
        for (int step = 1; step <= 1200; ++step) {
            PhysicalUniverse::step();
            if (step < 400)
                continue;
            for (std::size_t i = 1; i < bodies.size(); ++i) {
                ASSERT_LT(speed(*bodies[i]), 0.01f) << "cube " << i << " at step " << step;
            }
        }
        // Each cube still on the one below, none turned over.
        EXPECT_NEAR(bodies[3]->transform.position.y, -2.0f, 0.1f);
        EXPECT_NEAR(bodies[3]->transform.position.x, 0.0f, 0.01f);
    }
}

// A 1000-times heavier cube on a light one: the stack stands, each cube on
// the one below, and the top sinks by less than 0.05.
TEST_F(StackScenario, ThousandTimesHeavierCubeDoesNotCrushTheLightOne)
{
    const auto scene = load("stack-1-1000-1.json");
    for (int step = 1; step <= 1200; ++step)
        PhysicalUniverse::step();
    const auto& bodies = scene->bodies();
    for (std::size_t i = 2; i < bodies.size(); ++i) {
        EXPECT_GT(bodies[i]->transform.position.y - bodies[i - 1]->transform.position.y, 1.9f)
            << "cube " << i;
        EXPECT_LT(std::fabs(bodies[i]->transform.position.x - bodies[i - 1]->transform.position.x), 0.25f)
            << "cube " << i;
    }
    EXPECT_GT(bodies[3]->transform.position.y, -2.05f);
}

// A cube at 100 units/s into a resting 3 x 3 wall: every contact it makes is
// held, so no two cubes overlap by more than a sliver during the impact.
TEST_F(StackScenario, FastCubeIntoAWallOverlapsNoCubeDeeply)
{
    const auto scene = load("wall-struck.json");
    float deepest = 0.0f;
    for (int step = 1; step <= 400; ++step) {
        PhysicalUniverse::step();
        deepest = std::max(deepest, -PhysicalUniverse::contactStatistics().deepestPairSeparation);
    }
    EXPECT_LE(deepest, 0.05f);
}

// Landing at 13.7 units/s while sliding at 1.5: the impact's normal impulse
// is over ten times what friction needs to stop the slide, so the cube leaves
// the floor neither sliding nor rolling.
TEST_F(StackScenario, CubeLandingFastWhileSlidingStopsSlidingInTheImpact)
{
    const auto scene = load("slide-landing.json");
    PhysicalObject& cube = *scene->bodies()[1];
    for (int step = 0; step < 100 && cube.velocity.y <= 0.0f; ++step)
        PhysicalUniverse::step();
    EXPECT_NEAR(cube.velocity.y, 0.5f * 13.73f, 0.1f);
    EXPECT_LT(Math::Vector3(cube.velocity.x, 0.0f, cube.velocity.z).length(), 0.05f);
    EXPECT_LT(cube.angularVelocity.length(), 0.05f);
}

} // namespace
} // namespace Tolvane
