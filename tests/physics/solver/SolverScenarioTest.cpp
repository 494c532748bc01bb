// The solver response on the shipped scenes: piles settle on the floor without
// sinking, towers stand, friction and restitution give the textbook figures,
// fast bodies stop at the floor, and islands sleep and wake.
#include "BoxModels.h"
#include "geometry/BodyHulls.h"
#include "physics/PhysicalUniverse.h"
#include "physics/solver/WorkerPool.h"
#include "scene/PhysicsTestScene.h"
#include "scene/SceneFile.h"
#include "scene/SettlingFigures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace Tolvane {
namespace {

using Math::Vector3;
using Physics::PhysicalObject;
using Physics::PhysicalUniverse;

constexpr float gravity = 9.81f;
constexpr float friction = 0.5f;
constexpr float timeStep = 0.025f;
constexpr float restingCentre = -6.0f;

class SolverScenario : public ::testing::Test {
  protected:
    // Three threads split the work three ways even on a machine of two cores.
    void SetUp() override
    {
        PhysicalUniverse::reset();
        Physics::WorkerPool::setRunningLimit(3);
    }
    void TearDown() override
    {
        Physics::WorkerPool::setRunningLimit(0);
        PhysicalUniverse::setThreads(0);
        PhysicalUniverse::reset();
    }

    /// The shipped scene, with glibc's generator in its start-up state for any jitter.
    std::unique_ptr<PhysicsTestScene> load(const std::string& name, bool sleeping = true)
    {
        PhysicalUniverse::reset();
        std::srand(1);
        auto scene =
            std::make_unique<PhysicsTestScene>(loadSceneFile(std::string(TOLVANE_SCENES_DIR) + "/" + name));
        PhysicalUniverse::contactSettings.sleeping = sleeping;
        return scene;
    }

    /// Steps the universe, handing each step's deepest pair overlap to figures.
    static void run(int steps, SettlingFigures* figures = nullptr)
    {
        for (int step = 1; step <= steps; ++step) {
            PhysicalUniverse::step();
            if (figures)
                figures->record(step, -PhysicalUniverse::contactStatistics().deepestPairSeparation);
        }
    }

    /// The lowest point of a body's hulls.
    static float lowestPoint(const PhysicalObject& body)
    {
        const Math::Matrix3 r = Math::toMatrix3(body.transform.orientation);
        float lowest = INFINITY;
        for (const auto& hull : body.model->hulls().hulls)
            for (const Vector3& v : hull.vertices)
                lowest = std::min(lowest, (body.transform.position + r * v).y);
        return lowest;
    }

    /// True when one of the body's axes points straight up or down.
    static bool lyingOnAFace(const PhysicalObject& body)
    {
        const Math::Axes axes = Math::toAxes(body.transform.orientation);
        return std::max({std::fabs(axes.xAxis.y), std::fabs(axes.yAxis.y), std::fabs(axes.zAxis.y)}) > 0.999f;
    }
};

TEST_F(SolverScenario, ProgramLatticeSettlesOnTheFloorWithoutSinking)
{
    const auto scene = load("lattice.json");
    SettlingFigures figures(*scene);
    run(400, &figures);
    const SettlingSummary result = figures.summary();
    ASSERT_TRUE(result.settledStep);
    EXPECT_LE(*result.settledStep, 300);
    EXPECT_EQ(result.blocksAsleep, 125);
    EXPECT_EQ(result.blocksOffFloor, 0);
    EXPECT_EQ(result.blocksThroughFloor, 0);
    EXPECT_LE(result.deepestFloorPenetration, 0.03f);
    EXPECT_LE(result.deepestPairPenetration, 0.05f);
    EXPECT_LE(*result.floorPenetrationAfterSettling, 0.01f);
    EXPECT_LE(*result.pairPenetrationAfterSettling, 0.01f);
}

TEST_F(SolverScenario, OtherJittersLandAsShallowly)
{
    // Other placements of the program's lattice: every hard landing is caught
    // within the same depths, whatever lands on what first.
    for (const unsigned seed : {2u, 3u, 4u, 5u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        PhysicalUniverse::reset();
        std::srand(seed);
        PhysicsTestScene scene(TOLVANE_DATA_DIR);
        SettlingFigures figures(scene);
        run(400, &figures);
        const SettlingSummary result = figures.summary();
        ASSERT_TRUE(result.settledStep);
        EXPECT_EQ(result.blocksOffFloor, 0);
        EXPECT_LE(result.deepestFloorPenetration, 0.03f);
        EXPECT_LE(result.deepestPairPenetration, 0.05f);
    }
}

TEST_F(SolverScenario, IslandsFarApartDoNotAffectEachOther)
{
    // Small islands are solved together; a pile must end exactly as it does alone.
    SceneDescription alone = builtInScene(TOLVANE_DATA_DIR, 3);
    alone.lattices[0].origin = {-20.0f, 2.5f, -20.0f};
    alone.lattices[0].jitter = LatticeJitter::seeded;
    alone.lattices[0].seed = 7;
    SceneDescription together = alone;
    together.lattices.push_back(alone.lattices[0]);
    together.lattices[1].origin = {15.0f, 2.5f, 15.0f};
    together.lattices[1].seed = 8;

    struct End {
        Vector3 position;
        Math::Quaternion orientation;
        Vector3 velocity;
    };
    std::vector<End> ends;
    for (const SceneDescription* description : {&alone, &together}) {
        PhysicalUniverse::reset();
        PhysicsTestScene scene(*description);
        run(150);
        for (int i = 1; i <= alone.lattices[0].bodyCount(); ++i) {
            const PhysicalObject& body = *scene.bodies()[static_cast<std::size_t>(i)];
            if (description == &alone) {
                ends.push_back({body.transform.position, body.transform.orientation, body.velocity});
                continue;
            }
            const End& expected = ends[static_cast<std::size_t>(i - 1)];
            EXPECT_EQ(body.transform.position, expected.position) << "block " << i;
            EXPECT_EQ(body.transform.orientation, expected.orientation) << "block " << i;
            EXPECT_EQ(body.velocity, expected.velocity) << "block " << i;
        }
    }
}

TEST_F(SolverScenario, WithoutSleepingThePileHoldsStill)
{
    const auto scene = load("lattice.json", false);
    run(400);
    std::vector<Math::Transform> settled;
    for (const auto& body : scene->bodies())
        settled.push_back(body->transform);
    run(200);
    for (std::size_t i = 1; i < settled.size(); ++i) {
        const PhysicalObject& body = *scene->bodies()[i];
        EXPECT_LT((body.transform.position - settled[i].position).length(), 0.05f) << "block " << i;
        const Math::Quaternion& a = body.transform.orientation;
        const Math::Quaternion& b = settled[i].orientation;
        const float cosine = std::fabs(a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z);
        EXPECT_GT(cosine, std::cos(0.5f * 3.14159265f / 180.0f)) << "block " << i << " turned over a degree";
        EXPECT_FALSE(body.solverMemory.asleep);
    }
}

TEST_F(SolverScenario, TowerAndPyramidStandWithoutSleeping)
{
    for (const char* name : {"tower-10.json", "pyramid.json"}) {
        SCOPED_TRACE(name);
        const auto scene = load(name, false);
        const PhysicalObject& top = *scene->bodies().back();
        const Vector3 start = top.transform.position;
        run(2400);
        const Vector3 sideways(top.transform.position.x - start.x, 0.0f, top.transform.position.z - start.z);
        EXPECT_LT(sideways.length(), 0.05f);
        // Standing: the top cube sank by no more than the contacts below it give.
        EXPECT_NEAR(top.transform.position.y, start.y, 0.1f);
        EXPECT_TRUE(lyingOnAFace(top));
    }
}

TEST_F(SolverScenario, FrictionStopsTheSlideAlongItsDirectionAndHoldsTheShallowRamp)
{
    // Sliding to a stop takes v² / (2 μ g), along a diagonal too: friction acts
    // against the motion, not on each axis on its own.
    for (const Vector3 push : {Vector3(5.0f, 0.0f, 0.0f), Vector3(3.0f, 0.0f, 4.0f)}) {
        const auto scene = load("slide.json");
        PhysicalObject& cube = *scene->bodies()[1];
        cube.velocity = push;
        run(200);
        const Vector3 moved = cube.transform.position - Vector3(0.0f, restingCentre, 0.0f);
        const float expected = push.squaredLength() / (2.0f * friction * gravity);
        EXPECT_NEAR(moved.length(), expected, 0.05f * expected);
        EXPECT_NEAR(Math::dot(moved, push) / (moved.length() * push.length()), 1.0f, 1e-4f);
        EXPECT_LT(cube.velocity.length(), 0.01f);
    }

    // tan 20° < μ: the cube stays; tan 35° > μ: it slides at g (sin 35° − μ cos 35°).
    const auto shallow = load("ramp-20.json", false);
    const Vector3 start = shallow->bodies()[1]->transform.position;
    run(400);
    EXPECT_LT((shallow->bodies()[1]->transform.position - start).length(), 0.01f);

    const auto steep = load("ramp-35.json");
    const Vector3 top = steep->bodies()[1]->transform.position;
    constexpr int steps = 60;
    run(steps);
    const float t = steps * timeStep;
    const float slid = (steep->bodies()[1]->transform.position - top).length();
    const float angle = 35.0f * 3.14159265f / 180.0f;
    const float expected = gravity * (std::sin(angle) - friction * std::cos(angle));
    EXPECT_NEAR(2.0f * slid / (t * t), expected, 0.05f * expected);
}

TEST_F(SolverScenario, BouncesAtHalfTheImpactSpeedOnlyAboveTheThreshold)
{
    const auto scene = load("drop-flat.json");
    PhysicalObject& cube = *scene->bodies()[1];
    float before = 0.0f;
    while (cube.velocity.y <= 0.0f) {
        before = cube.velocity.y;
        PhysicalUniverse::step();
    }
    EXPECT_NEAR(cube.velocity.y / -before, 0.5f, 0.025f);
    EXPECT_LT(Vector3(cube.velocity.x, 0.0f, cube.velocity.z).length(), 1e-3f);
    run(400);
    EXPECT_NEAR(cube.transform.position.y, restingCentre, 0.01f);
    EXPECT_TRUE(cube.solverMemory.asleep);

    // Meeting the floor at about 0.6 units/s, below the threshold of 1: no bounce.
    const auto slow = load("drop-flat.json");
    PhysicalObject& dropped = *slow->bodies()[1];
    dropped.transform.position.y = restingCentre + 0.02f;
    float fastest = 0.0f;
    for (int step = 0; step < 40; ++step) {
        PhysicalUniverse::step();
        fastest = std::max(fastest, dropped.velocity.y);
    }
    EXPECT_LT(fastest, 0.05f);
    EXPECT_NEAR(dropped.transform.position.y, restingCentre, 0.01f);
}

TEST_F(SolverScenario, FastAndTumblingCubesStopAtTheFloor)
{
    const auto fast = load("fast-cube.json");
    const PhysicalObject& cube = *fast->bodies()[1];
    for (int step = 0; step < 400; ++step) {
        PhysicalUniverse::step();
        ASSERT_GE(lowestPoint(cube), -7.0f - PhysicalUniverse::contactSettings.allowedPenetration) << step;
    }

    // Dropped exactly on an edge or a corner, the cube bounces on it without
    // sinking in and, nothing pushing it either way, comes to rest balanced
    // above where it landed.
    for (const char* name : {"drop-edge.json", "drop-corner.json"}) {
        SCOPED_TRACE(name);
        const auto scene = load(name);
        const PhysicalObject& tumbling = *scene->bodies()[1];
        for (int step = 0; step < 400; ++step) {
            PhysicalUniverse::step();
            ASSERT_GE(lowestPoint(tumbling), -7.0f - 0.03f) << step;
        }
        EXPECT_TRUE(tumbling.solverMemory.asleep);
        EXPECT_LT(Vector3(tumbling.transform.position.x, 0.0f, tumbling.transform.position.z).length(),
                  0.01f);
    }

    // Landing on an edge a little off balance, it tips onto a face and lies flat,
    // without turning about the upright axis.
    const auto scene = load("drop-edge.json");
    PhysicalObject& tipping = *scene->bodies()[1];
    tipping.transform.orientation = Math::fromAxisAngle({0.0f, 0.0f, 1.0f}, 40.0f * 3.14159265f / 180.0f);
    run(400);
    EXPECT_NEAR(tipping.transform.position.y, restingCentre, 0.01f);
    EXPECT_TRUE(lyingOnAFace(tipping));
    EXPECT_LT(std::fabs(tipping.transform.orientation.y), 0.01f);
}

// A plank whose model turns it within the body, off the body's origin: its
// hull is a box on axes of its own. Dropped tilted onto a plank lying on the
// floor, across it, it lands, tips flat onto it and rests there, neither
// sinking into it nor pushing the lower one into the floor.
TEST_F(SolverScenario, TurnedPlankDroppedOnAnotherRestsFlatOnIt)
{
    const Math::Matrix3 turn =
        Math::toMatrix3(Math::fromAxisAngle(Math::normalized({1.0f, 2.0f, 0.5f}), 0.6f));
    const Vector3 half(1.5f, 0.4f, 1.0f);
    const Vector3 offset(0.3f, 0.0f, -0.2f);
    std::vector<Vector3> corners;
    for (int c = 0; c < 8; ++c)
        corners.push_back(
            turn * Vector3(c & 1 ? half.x : -half.x, c & 2 ? half.y : -half.y, c & 4 ? half.z : -half.z) +
            offset);
    // The corners of boxPart's order, so that its triangles wind outwards.
    const std::vector<Vector3> vertices{corners[0], corners[1], corners[3], corners[2],
                                        corners[4], corners[5], corners[7], corners[6]};
    const std::uint16_t triangles[12][3] = {{4, 5, 6}, {4, 6, 7}, {0, 2, 1}, {0, 3, 2}, {1, 2, 6}, {1, 6, 5},
                                            {0, 4, 7}, {0, 7, 3}, {3, 7, 6}, {3, 6, 2}, {0, 1, 5}, {0, 5, 4}};
    const auto model = Physics::Testing::trianglePart(vertices, triangles);
    ASSERT_TRUE(model->hulls().hulls.front().box.has_value());
    // Turned back by the model's turn, the plank's thin axis stands upright.
    const Math::Quaternion flat = Math::fromAxisAngle(Math::normalized({1.0f, 2.0f, 0.5f}), -0.6f);
    const auto scene = load("drop-flat.json");
    PhysicalObject& lower = *scene->bodies()[1];
    lower.model = model;
    lower.transform.orientation = flat;
    lower.transform.position =
        Vector3(0.0f, -7.0f + half.y, 0.0f) - Math::toMatrix3(lower.transform.orientation) * offset;
    lower.transform.dirty = true;
    auto upper = std::make_shared<PhysicalObject>(model);
    upper->transform.orientation =
        Math::fromAxisAngle({0.0f, 1.0f, 0.0f}, 0.6f) * Math::fromAxisAngle({0.0f, 0.0f, 1.0f}, 0.15f) * flat;
    upper->transform.position = lower.transform.position + Vector3(0.2f, 2.0f * half.y + 1.0f, -0.1f);
    scene->collisionSet()->addBody(upper);
    const auto uprightAxis = [](const PhysicalObject& body) {
        const Math::Matrix3 r = Math::toMatrix3(body.transform.orientation);
        const Physics::Collision::HullBox& box = *body.model->hulls().hulls.front().box;
        float upright = 0.0f;
        for (const Vector3& axis : box.axes)
            upright = std::max(upright, std::fabs((r * axis).y));
        return upright;
    };
    for (int step = 0; step < 400; ++step) {
        PhysicalUniverse::step();
        ASSERT_GE(lowestPoint(lower), -7.0f - 0.03f) << step;
        ASSERT_GE(lowestPoint(*upper), lowestPoint(lower) + 2.0f * half.y - 0.03f) << step;
    }
    EXPECT_GT(uprightAxis(*upper), 0.999f);
    EXPECT_GT(uprightAxis(lower), 0.999f);
    EXPECT_NEAR(lowestPoint(*upper), -7.0f + 2.0f * half.y, 0.02f);
    EXPECT_NEAR(lowestPoint(lower), -7.0f, 0.02f);
    EXPECT_LT(upper->velocity.length(), 0.01f);
}

TEST_F(SolverScenario, SleepingCubeWakesWhenStruckOrMovedAndSleepsAgain)
{
    const auto scene = load("drop-flat.json");
    PhysicalObject& lower = *scene->bodies()[1];
    const auto touching = [] { return PhysicalUniverse::contactStatistics().touchingPairs; };
    run(200);
    ASSERT_TRUE(lower.solverMemory.asleep);
    EXPECT_EQ(lower.velocity, Vector3());

    // Another cube dropped onto it wakes it on impact.
    auto upper = std::make_shared<PhysicalObject>(lower.model);
    upper->transform.position = {0.2f, restingCentre + 4.0f, -0.1f};
    scene->collisionSet()->addBody(upper);
    bool woke = false;
    for (int step = 0; step < 300; ++step) {
        PhysicalUniverse::step();
        woke = woke || !lower.solverMemory.asleep;
    }
    EXPECT_TRUE(woke);
    EXPECT_TRUE(lower.solverMemory.asleep);
    EXPECT_TRUE(upper->solverMemory.asleep);
    EXPECT_NEAR(upper->transform.position.y, restingCentre + 2.0f, 0.02f);
    EXPECT_EQ(touching(), 2);

    // Code moving one cube of the sleeping pair wakes both; the upper one falls.
    lower.transform.position.x += 3.0f;
    lower.transform.dirty = true;
    PhysicalUniverse::step();
    EXPECT_FALSE(lower.solverMemory.asleep);
    EXPECT_FALSE(upper->solverMemory.asleep);
    EXPECT_EQ(touching(), 1);
    run(300);
    EXPECT_NEAR(upper->transform.position.y, restingCentre, 0.02f);
}

TEST_F(SolverScenario, CopyOfASleepingCubeSleepsOnItsOwn)
{
    // A copy is a body of its own, in an island of its own: set down apart
    // from its sleeping original, it neither wakes the original nor is woken
    // when code moves the original later.
    const auto scene = load("drop-flat.json");
    PhysicalObject& original = *scene->bodies()[1];
    run(200);
    ASSERT_TRUE(original.solverMemory.asleep);
    auto copy = std::make_shared<PhysicalObject>(original);
    copy->transform.position.x += 10.0f;
    scene->collisionSet()->addBody(copy);
    PhysicalUniverse::step();
    EXPECT_TRUE(original.solverMemory.asleep);
    run(200);
    ASSERT_TRUE(copy->solverMemory.asleep);
    EXPECT_NEAR(copy->transform.position.y, restingCentre, 0.02f);

    original.transform.position.x -= 3.0f;
    original.transform.dirty = true;
    PhysicalUniverse::step();
    EXPECT_FALSE(original.solverMemory.asleep);
    EXPECT_TRUE(copy->solverMemory.asleep);
}

TEST_F(SolverScenario, CubesTouchingNothingFallAsleepOnEveryNumberOfThreads)
{
    // Without gravity, cubes set at rest in the air touch nothing: they are
    // only moved, never solved, and must fall asleep once still long enough,
    // as the one resting on the floor does; a drifting one stays awake.
    for (const int threads : {1, 2}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        const auto scene = load("drop-flat.json");
        PhysicalUniverse::setThreads(threads);
        PhysicalUniverse::gravity = {};
        PhysicalObject& resting = *scene->bodies()[1];
        resting.transform.position.y = restingCentre;
        std::vector<std::shared_ptr<PhysicalObject>> floating;
        for (int k = 0; k < 3; ++k) {
            floating.push_back(std::make_shared<PhysicalObject>(resting.model));
            floating.back()->transform.position = {10.0f * static_cast<float>(k + 1), 5.0f, 0.0f};
            scene->collisionSet()->addBody(floating.back());
        }
        auto drifting = std::make_shared<PhysicalObject>(resting.model);
        drifting->transform.position = {-10.0f, 5.0f, 0.0f};
        drifting->velocity = {0.0f, 0.0f, 1.0f};
        scene->collisionSet()->addBody(drifting);
        run(40);
        EXPECT_TRUE(resting.solverMemory.asleep);
        for (const auto& body : floating) {
            EXPECT_TRUE(body->solverMemory.asleep);
            EXPECT_EQ(body->transform.position.y, 5.0f);
        }
        EXPECT_FALSE(drifting->solverMemory.asleep);
        EXPECT_EQ(PhysicalUniverse::contactStatistics().sleepingBodies, 4);
    }
}

TEST_F(SolverScenario, BodiesKeepingTheirPlaceAreFoundWhereTheyAre)
{
    // A cube falling from high up keeps the steps busy while the dropped one
    // sleeps and a fixed block stands aside. Then code moves the block under
    // the falling cube, which must stop on it; and a cube set down without
    // speed on the sleeper (the set changes) wakes it without striking it.
    const auto scene = load("drop-flat.json");
    PhysicalUniverse::contactSettings.restitution = 0.0f;
    PhysicalObject& lower = *scene->bodies()[1];
    auto block = std::make_shared<PhysicalObject>(lower.model);
    block->fixed = true;
    block->transform.position = {30.0f, restingCentre, 0.0f};
    auto falling = std::make_shared<PhysicalObject>(lower.model);
    falling->transform.position = {10.0f, 300.0f, 0.0f};
    scene->collisionSet()->addBody(block);
    scene->collisionSet()->addBody(falling);
    run(300);
    ASSERT_TRUE(lower.solverMemory.asleep);
    // A pair asleep still presses, and is counted while others move.
    EXPECT_EQ(PhysicalUniverse::contactStatistics().touchingPairs, 1);
    block->transform.position.x = 10.0f;
    block->transform.dirty = true;
    run(50);
    EXPECT_NEAR(falling->transform.position.y, restingCentre + 2.0f, 0.02f);

    auto upper = std::make_shared<PhysicalObject>(lower.model);
    upper->transform.position = lower.transform.position + Vector3(0.3f, 2.001f, 0.0f);
    scene->collisionSet()->addBody(upper);
    run(100);
    EXPECT_NEAR(lower.transform.position.y, restingCentre, 0.01f);
    EXPECT_NEAR(upper->transform.position.y, restingCentre + 2.0f, 0.02f);
}

TEST_F(SolverScenario, SleepingCubeGivenABiggerModelWakesAndRestsOnItsNewShape)
{
    // The same sets step after step keep their list of bodies; a model swapped
    // in between steps must still be the one collided with.
    const auto scene = load("drop-flat.json");
    PhysicalObject& cube = *scene->bodies()[1];
    run(200);
    ASSERT_TRUE(cube.solverMemory.asleep);

    cube.model = Physics::Testing::boxPart({-2.0f, -2.0f, -2.0f}, {2.0f, 2.0f, 2.0f});
    PhysicalUniverse::step();
    EXPECT_FALSE(cube.solverMemory.asleep);
    run(300);
    EXPECT_TRUE(cube.solverMemory.asleep);
    EXPECT_NEAR(cube.transform.position.y, restingCentre + 1.0f, 0.02f);
    EXPECT_NEAR(lowestPoint(cube), restingCentre - 1.0f, 0.02f);
}

TEST_F(SolverScenario, BodyPutInAnotherBodysPlaceInTheSetIsSteppedInstead)
{
    // The set keeps its length and its handles' places; only the body one
    // handle holds changes. The new body must be the one stepped.
    const auto scene = load("drop-flat.json");
    std::shared_ptr<PhysicalObject>& handle = scene->collisionSet()->bodies[1];
    const std::shared_ptr<PhysicalObject> resting = handle;
    run(200);
    ASSERT_TRUE(resting->solverMemory.asleep);
    const Vector3 restingPlace = resting->transform.position;

    auto falling = std::make_shared<PhysicalObject>(resting->model);
    falling->transform.position = {4.0f, restingCentre + 3.0f, 0.0f};
    handle = falling;
    run(200);
    EXPECT_EQ(resting->transform.position, restingPlace);
    EXPECT_NEAR(falling->transform.position.y, restingCentre, 0.02f);
    EXPECT_TRUE(falling->solverMemory.asleep);
}

TEST_F(SolverScenario, CubeGivenAFreshModelEveryStepKeepsRestingOnTheFloor)
{
    // Each step the cube gets a new, bigger model and the last one is freed,
    // so a model may come back at a freed one's address: the hulls collided
    // with must always be the current model's.
    const auto scene = load("drop-flat.json");
    PhysicalObject& cube = *scene->bodies()[1];
    const std::vector<Vector3> corners{{-1.5f, -1.5f, -1.5f}, {1.5f, 1.5f, 1.5f}};
    PhysicalUniverse::step();
    for (int step = 0; step < 300; ++step) {
        cube.model = Physics::Testing::boxPart(corners[0], corners[1]);
        PhysicalUniverse::step();
    }
    EXPECT_NEAR(cube.transform.position.y, restingCentre + 0.5f, 0.02f);
    EXPECT_NEAR(lowestPoint(cube), restingCentre - 1.0f, 0.02f);
}

TEST_F(SolverScenario, CubeGivenItsShapeInFlightLandsOnTheFloor)
{
    // Without a model the falling cube collides with nothing; the shape it is
    // given on the way down must be collided with from then on.
    const auto scene = load("drop-flat.json");
    PhysicalObject& cube = *scene->bodies()[1];
    const std::shared_ptr<Physics::PhysicalModel> shape = cube.model;
    cube.model = nullptr;
    run(10);
    ASSERT_GT(cube.transform.position.y, restingCentre + 1.0f);
    cube.model = shape;
    run(300);
    EXPECT_NEAR(cube.transform.position.y, restingCentre, 0.02f);
}

TEST_F(SolverScenario, PileEndsTheSameWhateverTheWorldSteppedBefore)
{
    // The contact world keeps its buffers from scene to scene; what a smaller
    // or a bigger scene left in them must not show in the next one's result.
    const auto stepScene = [](int lattice, int steps) {
        PhysicalUniverse::reset();
        std::srand(1);
        PhysicsTestScene scene(builtInScene(TOLVANE_DATA_DIR, lattice));
        PhysicalUniverse::setThreads(2);
        run(steps);
        return scene.stateHash();
    };
    stepScene(1, 60);
    const std::uint64_t afterSmaller = stepScene(4, 150);
    stepScene(6, 100);
    EXPECT_EQ(stepScene(4, 150), afterSmaller);
}

TEST_F(SolverScenario, EveryNumberOfThreadsEndsInTheSameState)
{
    // Columns of a pile falling and settling, islands solved side by side;
    // and a solid block of 256 cubes, one island too big to share the
    // threads, whose passes are spread over them.
    SceneDescription block = builtInScene(TOLVANE_DATA_DIR, 1);
    block.lattices[0] = {
        "block", 0,     {{8, 4, 8}}, {0.0f, -6.0f, 0.0f}, {2.0f, 2.0f, 2.0f}, LatticeJitter::none, 0,
        1.0f,    false, {}};
    // And a carpet of 144 cubes on a turning kinematic floor, in islands
    // batched on several threads that all read the floor.
    SceneDescription carpet = builtInScene(TOLVANE_DATA_DIR, 1);
    carpet.bodies[0].fixed = false;
    carpet.bodies[0].traits.kinematic = true;
    carpet.bodies[0].angularVelocity = {0.0f, 0.2f, 0.0f};
    carpet.lattices[0] = {
        "carpet", 0, {{12, 1, 12}}, {-14.0f, -6.0f, -14.0f}, {2.5f, 2.5f, 2.5f}, LatticeJitter::none, 0, 1.0f,
        false,    {}};
    const auto scenes = {builtInScene(TOLVANE_DATA_DIR, 6), block, carpet};
    for (const SceneDescription& description : scenes) {
        std::uint64_t expected = 0;
        int touching = 0;
        for (const int threads : {1, 2, 3}) {
            SCOPED_TRACE(std::to_string(description.bodyCount()) + " bodies, " + std::to_string(threads) +
                         " threads");
            PhysicalUniverse::reset();
            std::srand(1);
            PhysicsTestScene scene(description);
            PhysicalUniverse::setThreads(threads);
            run(100);
            // The threads count the pairs pressed together between them: every
            // pair once, whatever share each thread takes.
            const int pressed = PhysicalUniverse::contactStatistics().touchingPairs;
            if (threads == 1) {
                expected = scene.stateHash();
                touching = pressed;
            }
            EXPECT_EQ(scene.stateHash(), expected);
            EXPECT_EQ(pressed, touching);
            EXPECT_GT(pressed, 0);
        }
    }
}

TEST_F(SolverScenario, WidePlateDroppedOnSleepingBlocksRestsOnThemOnEveryNumberOfThreads)
{
    // A carpet of 256 blocks sleeps on the floor; a plate spanning all of
    // them, too large for the broad phase's cells, falls on it. Only the
    // plate looks for partners, and every block must be found, whichever
    // thread holds its cells.
    SceneDescription carpet = builtInScene(TOLVANE_DATA_DIR, 1);
    carpet.lattices[0] = {"carpet",
                          0,
                          {{16, 1, 16}},
                          {-18.75f, -6.0f, -18.75f},
                          {2.5f, 2.5f, 2.5f},
                          LatticeJitter::none,
                          0,
                          1.0f,
                          false,
                          {}};
    std::uint64_t expected = 0;
    for (const int threads : {1, 2}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        PhysicalUniverse::reset();
        std::srand(1);
        PhysicsTestScene scene(carpet);
        PhysicalUniverse::setThreads(threads);
        run(150);
        ASSERT_EQ(PhysicalUniverse::contactStatistics().sleepingBodies, 256);
        auto plate = std::make_shared<PhysicalObject>(
            Physics::Testing::boxPart({-20.0f, -0.5f, -20.0f}, {20.0f, 0.5f, 20.0f}));
        plate->transform.position = {0.0f, restingCentre + 3.0f, 0.0f};
        scene.collisionSet()->bodies.push_back(plate);
        run(200);
        EXPECT_NEAR(plate->transform.position.y, restingCentre + 1.5f, 0.05f);
        EXPECT_TRUE(lyingOnAFace(*plate));
        if (threads == 1)
            expected = scene.stateHash();
        EXPECT_EQ(scene.stateHash(), expected);
    }
}

TEST_F(SolverScenario, PileWokenBesideASleepingOneEndsTheSameOnEveryNumberOfThreads)
{
    // Two piles settle and sleep; code lifts a block of one, which wakes and
    // falls back while the other sleeps on, its contacts kept as they were.
    SceneDescription piles = builtInScene(TOLVANE_DATA_DIR, 3);
    piles.lattices[0].origin = {-20.0f, 2.5f, -20.0f};
    piles.lattices[0].jitter = LatticeJitter::seeded;
    piles.lattices[0].seed = 7;
    piles.lattices.push_back(piles.lattices[0]);
    piles.lattices[1].origin = {15.0f, 2.5f, 15.0f};
    piles.lattices[1].seed = 8;
    const std::size_t pileSize = static_cast<std::size_t>(piles.lattices[0].bodyCount());

    std::uint64_t expected = 0;
    for (const int threads : {1, 2, 3}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        PhysicalUniverse::reset();
        PhysicsTestScene scene(piles);
        PhysicalUniverse::setThreads(threads);
        run(400);
        ASSERT_EQ(PhysicalUniverse::contactStatistics().sleepingBodies, static_cast<int>(2 * pileSize));

        // The top block of the first pile.
        PhysicalObject* top = scene.bodies()[1].get();
        for (std::size_t i = 1; i <= pileSize; ++i)
            if (scene.bodies()[i]->transform.position.y > top->transform.position.y)
                top = scene.bodies()[i].get();
        PhysicalObject& lifted = *top;
        const float restingHeight = lifted.transform.position.y;
        lifted.transform.position.y += 3.0f;
        lifted.transform.dirty = true;
        std::vector<Vector3> sleepers;
        for (std::size_t i = pileSize + 1; i <= 2 * pileSize; ++i)
            sleepers.push_back(scene.bodies()[i]->transform.position);
        run(60);
        EXPECT_FALSE(lifted.solverMemory.asleep);
        for (std::size_t i = pileSize + 1; i <= 2 * pileSize; ++i) {
            EXPECT_TRUE(scene.bodies()[i]->solverMemory.asleep) << "block " << i;
            EXPECT_EQ(scene.bodies()[i]->transform.position, sleepers[i - pileSize - 1]) << "block " << i;
        }
        run(340);
        EXPECT_NEAR(lifted.transform.position.y, restingHeight, 0.5f);
        if (threads == 1)
            expected = scene.stateHash();
        EXPECT_EQ(scene.stateHash(), expected);
    }
}

TEST_F(SolverScenario, DesignedResponseStaysSelectableWithItsResults)
{
    // The program's scene under the first response ends as it always has.
    std::srand(1);
    PhysicsTestScene scene(TOLVANE_DATA_DIR);
    PhysicalUniverse::contactSettings.response = Physics::ResponseKind::designed;
    run(400);
    EXPECT_EQ(scene.stateHash(), 0x487444561f38fb1full);
}

} // namespace
} // namespace Tolvane
