// Bodies' own materials and collision layers under the solver response: ice
// slides farther and bounces less than rubber by the combined values, and
// bodies whose layers and masks do not match fall through each other while
// the others collide.
#include "ShippedSceneTest.h"
#include "physics/solver/ContactSettings.h"
#include "scene/SceneFile.h"

#include <cmath>
#include <string>

namespace Tolvane {
namespace {

using Math::Vector3;
using Physics::CombineRule;
using Physics::PhysicalObject;

constexpr float gravity = 9.81f;
constexpr float restingCentre = -6.0f;

using MaterialScenario = Testing::ShippedSceneTest;

TEST(CombineRules, EachRuleGivesItsValue)
{
    struct Row {
        CombineRule rule;
        float expected;
    };
    for (const Row row :
         {Row{CombineRule::geometricMean, 0.2f}, Row{CombineRule::mean, 0.25f}, Row{CombineRule::min, 0.1f},
          Row{CombineRule::max, 0.4f}, Row{CombineRule::product, 0.04f}})
        EXPECT_FLOAT_EQ(Physics::combine(row.rule, 0.1f, 0.4f), row.expected);
    // A frictionless body makes a frictionless pair by the default rule.
    EXPECT_EQ(Physics::combine(CombineRule::geometricMean, 0.0f, 2.0f), 0.0f);
}

TEST_F(MaterialScenario, IceSlidesFartherAndBouncesLessThanRubberByTheCombinedValues)
{
    const auto scene = load("materials.json");
    PhysicalObject& iceSlide = *scene->bodies()[1];
    PhysicalObject& rubberSlide = *scene->bodies()[2];
    PhysicalObject& iceDrop = *scene->bodies()[3];
    PhysicalObject& rubberDrop = *scene->bodies()[4];
    const float startX = iceSlide.transform.position.x;

    // The first rebound of each dropped cube, against its speed at the floor.
    float iceBefore = 0.0f, rubberBefore = 0.0f, iceRebound = 0.0f, rubberRebound = 0.0f;
    for (int step = 0; step < 400; ++step) {
        const float ice = iceDrop.velocity.y;
        const float rubber = rubberDrop.velocity.y;
        Physics::PhysicalUniverse::step();
        if (iceRebound == 0.0f && ice < 0.0f && iceDrop.velocity.y >= 0.0f) {
            iceBefore = ice;
            iceRebound = iceDrop.velocity.y;
        }
        if (rubberRebound == 0.0f && rubber < 0.0f && rubberDrop.velocity.y > 0.0f) {
            rubberBefore = rubber;
            rubberRebound = rubberDrop.velocity.y;
        }
    }
    // The floor gives no bounce of its own; the larger restitution wins.
    EXPECT_NEAR(rubberRebound / -rubberBefore, 0.9f, 0.05f);
    EXPECT_NEAR(iceRebound / -iceBefore, 0.1f, 0.05f);

    // Sliding to a stop takes v² / (2 μ g), μ the geometric mean of the
    // cube's and the floor's (the world's 0.5).
    for (const PhysicalObject* cube : {&iceSlide, &rubberSlide}) {
        const float mu = std::sqrt(*cube->friction * 0.5f);
        const float expected = 25.0f / (2.0f * mu * gravity);
        EXPECT_NEAR(cube->transform.position.x - startX, expected, 0.05f * expected);
        EXPECT_NEAR(cube->transform.position.y, restingCentre, 0.01f);
        EXPECT_LT(cube->velocity.length(), 0.01f);
    }
}

TEST_F(MaterialScenario, BodiesCollideOnlyWhenEachMaskHoldsTheOthersLayer)
{
    Physics::PhysicalUniverse::reset();
    // Three stacks, each of a cube resting on the floor and one dropped on it:
    // the same layer left out of both masks, layers each mask holds, and
    // layers only one mask holds. The floor (layer 0) is in every mask.
    const auto scene = std::make_unique<PhysicsTestScene>(parseSceneText(
        R"({"models": {"cube": "SimpleCube.ac", "floor": "Floor.ac"}, "bodies": [
        {"model": "floor", "position": [0, -7, 0], "fixed": true},
        {"model": "cube", "position": [-6, -6, 0], "layer": 1, "mask": [0]},
        {"model": "cube", "position": [-6, -2, 0], "layer": 1, "mask": [0]},
        {"model": "cube", "position": [0, -6, 0], "layer": 2, "mask": [0, 3]},
        {"model": "cube", "position": [0, -2, 0], "layer": 3, "mask": [0, 2]},
        {"model": "cube", "position": [6, -6, 0], "layer": 5, "mask": [0]},
        {"model": "cube", "position": [6, -2, 0], "layer": 6, "mask": [0, 5]}]})",
        "layers", TOLVANE_DATA_DIR));
    run(200);
    const auto& bodies = scene->bodies();
    for (int stack = 0; stack < 3; ++stack) {
        SCOPED_TRACE("stack " + std::to_string(stack));
        const PhysicalObject& low = *bodies[1 + 2 * stack];
        const PhysicalObject& high = *bodies[2 + 2 * stack];
        EXPECT_NEAR(low.transform.position.y, restingCentre, 0.01f);
        const float expectedHigh = stack == 1 ? restingCentre + 2.0f : restingCentre;
        EXPECT_NEAR(high.transform.position.y, expectedHigh, 0.01f);
        EXPECT_NEAR(high.transform.position.x, low.transform.position.x, 0.01f);
    }

    // Code emptying a sleeping cube's mask wakes it: it falls through the
    // floor, and the cube it held up falls through it onto the floor.
    PhysicalObject& sleeper = *bodies[3];
    ASSERT_TRUE(sleeper.solverMemory.asleep);
    sleeper.collisionMask = 0;
    run(160);
    EXPECT_LT(sleeper.transform.position.y, restingCentre - 10.0f);
    EXPECT_NEAR(bodies[4]->transform.position.y, restingCentre, 0.01f);
}

} // namespace
} // namespace Tolvane
