// The universe step: stamps, gravity, pair enumeration, the collision signal and
// the clearing of forces, on cubes read from the shipped model file.
#include "physics/PhysicalUniverse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace Tolvane::Physics {
namespace {

class UniverseTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        PhysicalUniverse::reset();
        // These tests pin down the designed response's collision map and pass.
        PhysicalUniverse::contactSettings.response = ResponseKind::designed;
        cubeModel = loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/SimpleCube.ac");
    }
    void TearDown() override { PhysicalUniverse::reset(); }

    std::shared_ptr<PhysicalObject> cube(const Math::Vector3& position, bool fixed = false)
    {
        auto body = std::make_shared<PhysicalObject>(cubeModel);
        body->mass = 1.0f;
        body->updateInertia();
        body->transform.position = position;
        body->fixed = fixed;
        return body;
    }

    static std::shared_ptr<CollisionSet>
    registeredSet(const std::vector<std::shared_ptr<PhysicalObject>>& bodies, bool selfCollision = true)
    {
        auto set = std::make_shared<CollisionSet>();
        set->selfCollision = selfCollision;
        for (const auto& body : bodies)
            set->addBody(body);
        PhysicalUniverse::addCollisionSet(set);
        return set;
    }

    std::shared_ptr<PhysicalModel> cubeModel;
};

TEST_F(UniverseTest, StepWithoutSetsOnlyAdvancesTheCounter)
{
    PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};
    PhysicalUniverse::step();
    EXPECT_EQ(PhysicalUniverse::stepCount, 11);
    EXPECT_TRUE(PhysicalUniverse::collisionMap.empty());
    PhysicalUniverse::step();
    EXPECT_EQ(PhysicalUniverse::stepCount, 12);
}

TEST_F(UniverseTest, FreeFallFollowsGravityAndClearsForces)
{
    auto body = cube({0.0f, 0.0f, 0.0f});
    registeredSet({body});
    PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};

    PhysicalUniverse::step();
    EXPECT_FLOAT_EQ(body->velocity.y, -0.24525f);
    EXPECT_NEAR(body->transform.position.y, -9.81 * 0.025 * 0.025 / 2, 1e-7);
    EXPECT_EQ(body->force, Math::Vector3());

    PhysicalUniverse::step();
    EXPECT_FLOAT_EQ(body->velocity.y, -0.4905f);
    EXPECT_EQ(body->velocity.x, 0.0f);
    EXPECT_EQ(body->velocity.z, 0.0f);
    EXPECT_EQ(body->force, Math::Vector3());
    EXPECT_TRUE(PhysicalUniverse::collisionMap.empty());
}

TEST_F(UniverseTest, FirstStepRefreshesShapesWithStampEleven)
{
    // Two overlapping cubes: the narrow phase must bring both polyhedra to the
    // bodies' poses, which it does only for a stamp they have not seen (they start at 0).
    auto a = cube({0.0f, 0.0f, 0.0f});
    auto b = cube({0.0f, 1.5f, 0.0f});
    registeredSet({a, b});

    std::int32_t stampAtSignal = 0;
    float lowestVertexOfB = 0.0f;
    PhysicalUniverse::collisionSignal.connect([&](std::shared_ptr<PhysicalObjectCollisionSolver> solver) {
        stampAtSignal = PhysicalUniverse::stepCount;
        // The model file's root is a group; the cube's vertices are in its one kid.
        const auto& leaf = solver->bodyB->shape->kids().at(0);
        lowestVertexOfB = leaf->worldVertices().at(0).y;
        for (const auto& v : leaf->worldVertices())
            lowestVertexOfB = std::min(lowestVertexOfB, v.y);
    });
    PhysicalUniverse::step();
    EXPECT_EQ(stampAtSignal, 11);
    EXPECT_FLOAT_EQ(lowestVertexOfB, 0.5f);
}

TEST_F(UniverseTest, SignalFiresOncePerCollidingPairBeforeFiling)
{
    // a-b and b-c overlap; a and c are far apart.
    auto a = cube({0.0f, 0.0f, 0.0f});
    auto b = cube({0.0f, 1.8f, 0.0f});
    auto c = cube({0.0f, 3.6f, 0.0f});
    registeredSet({a, b, c});

    std::vector<std::shared_ptr<PhysicalObjectCollisionSolver>> published;
    bool filedBeforeSignal = false;
    PhysicalUniverse::collisionSignal.connect([&](std::shared_ptr<PhysicalObjectCollisionSolver> solver) {
        for (const auto& [body, reports] : PhysicalUniverse::collisionMap)
            for (const auto& report : reports)
                if (report->solver == solver)
                    filedBeforeSignal = true;
        published.push_back(solver);
    });
    PhysicalUniverse::step();

    ASSERT_EQ(published.size(), 2u);
    EXPECT_FALSE(filedBeforeSignal);
    EXPECT_EQ(published[0]->bodyA, a);
    EXPECT_EQ(published[0]->bodyB, b);
    EXPECT_EQ(published[1]->bodyA, b);
    EXPECT_EQ(published[1]->bodyB, c);
    // Each solver is filed once under each of its bodies.
    auto& map = PhysicalUniverse::collisionMap;
    ASSERT_EQ(map.size(), 3u);
    ASSERT_EQ(map[a].size(), 1u);
    ASSERT_EQ(map[b].size(), 2u);
    ASSERT_EQ(map[c].size(), 1u);
    EXPECT_EQ(map[a].front()->solver, published[0]);
    EXPECT_EQ(map[c].front()->solver, published[1]);
}

TEST_F(UniverseTest, PairsAreTestedOnlyWithinSelfCollidingSets)
{
    // Overlapping pairs that must not collide: inside a set that does not test
    // itself, and across two sets. All four fall freely, side by side.
    auto a = cube({0.0f, 0.0f, 0.0f});
    auto b = cube({0.0f, 1.0f, 0.0f});
    auto c = cube({10.0f, 0.0f, 0.0f});
    auto d = cube({10.0f, 1.0f, 0.0f});
    registeredSet({a, b}, false);
    registeredSet({c});
    registeredSet({d});
    PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};
    int signals = 0;
    PhysicalUniverse::collisionSignal.connect([&](auto) { ++signals; });

    for (int i = 0; i < 3; ++i)
        PhysicalUniverse::step();
    EXPECT_EQ(signals, 0);
    for (const auto& body : {a, b, c, d})
        EXPECT_FLOAT_EQ(body->velocity.y, 3 * -0.24525f);
    EXPECT_EQ(b->transform.position.y - a->transform.position.y, 1.0f);
}

TEST_F(UniverseTest, SwitchingSelfCollisionOffStopsTestsFromTheNextStep)
{
    auto a = cube({0.0f, 0.0f, 0.0f});
    auto b = cube({0.0f, 1.5f, 0.0f});
    auto set = registeredSet({a, b});
    int signals = 0;
    PhysicalUniverse::collisionSignal.connect([&](auto) { ++signals; });
    PhysicalUniverse::step();
    EXPECT_EQ(signals, 1);
    set->selfCollision = false;
    a->transform.position = {0.0f, 0.0f, 0.0f};
    b->transform.position = {0.0f, 1.5f, 0.0f};
    PhysicalUniverse::step();
    EXPECT_EQ(signals, 1);
}

TEST_F(UniverseTest, FixedBodiesArePairedButNeverMoved)
{
    auto a = cube({0.0f, 0.0f, 0.0f}, true);
    auto b = cube({0.0f, 1.5f, 0.0f}, true);
    registeredSet({a, b});
    PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};
    int signals = 0;
    PhysicalUniverse::collisionSignal.connect([&](auto) { ++signals; });

    PhysicalUniverse::step();
    EXPECT_EQ(signals, 1);
    EXPECT_EQ(PhysicalUniverse::collisionMap.size(), 2u);
    EXPECT_EQ(a->transform.position, Math::Vector3(0.0f, 0.0f, 0.0f));
    EXPECT_EQ(b->transform.position, Math::Vector3(0.0f, 1.5f, 0.0f));
    EXPECT_EQ(a->velocity, Math::Vector3());
    EXPECT_EQ(a->force, Math::Vector3());
}

TEST_F(UniverseTest, BodyAddedBySlotDuringThePassWaitsForTheNextStep)
{
    // A slot adds a body to a second set while the first set's pairs are being
    // tested. The pass keeps the snapshots it started with, so the newcomer is
    // neither read past the end of the predictions nor tested in this step.
    auto a = cube({0.0f, 0.0f, 0.0f});
    auto b = cube({0.0f, 1.5f, 0.0f});
    auto c = cube({20.0f, 0.0f, 0.0f});
    auto newcomer = cube({20.0f, 1.5f, 0.0f});
    registeredSet({a, b});
    auto second = registeredSet({c});
    std::vector<std::shared_ptr<PhysicalObject>> collided;
    PhysicalUniverse::collisionSignal.connect([&](std::shared_ptr<PhysicalObjectCollisionSolver> solver) {
        collided.push_back(solver->bodyB);
        if (collided.size() == 1)
            second->addBody(newcomer);
    });

    PhysicalUniverse::step();
    ASSERT_EQ(collided.size(), 1u);
    EXPECT_EQ(collided[0], b);

    newcomer->transform.position = {20.0f, 1.5f, 0.0f};
    c->transform.position = {20.0f, 0.0f, 0.0f};
    PhysicalUniverse::step();
    EXPECT_EQ(std::count(collided.begin(), collided.end(), newcomer), 1);
}

TEST_F(UniverseTest, CopiedBodyIsABodyOfItsOwn)
{
    // A copy keeps the original's state but is a new body: a new id, and a
    // world shape of its own. Set beside the floor, out of reach, it touches
    // nothing, while the original rests on the floor in the same step.
    PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};
    auto floor = cube({0.0f, 0.0f, 0.0f}, true);
    auto block = cube({0.0f, 1.99f, 0.0f});
    auto copy = std::make_shared<PhysicalObject>(*block);
    copy->transform.position = {2.5f, 1.5f, 0.0f};
    EXPECT_NE(copy->id, block->id);
    registeredSet({floor, block, copy});
    PhysicalUniverse::step();
    EXPECT_EQ(PhysicalUniverse::collisionMap.count(block), 1u);
    EXPECT_EQ(PhysicalUniverse::collisionMap.count(copy), 0u);
    EXPECT_FLOAT_EQ(copy->velocity.y, -9.81f * PhysicalUniverse::timeStep);
}

TEST_F(UniverseTest, SolverResponseWeighsAndClearsForcesAsTheDesignedPassDoes)
{
    // A body in two sets gets its weight twice (the solver steps it once, the
    // designed pass once per set), and every force is zero after the step,
    // also that of a body a listener put in a set during it.
    float speeds[2][2] = {};
    for (const ResponseKind response : {ResponseKind::designed, ResponseKind::solver}) {
        PhysicalUniverse::reset();
        PhysicalUniverse::contactSettings.response = response;
        PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};
        auto twice = cube({0.0f, 0.0f, 0.0f});
        auto once = cube({10.0f, 0.0f, 0.0f});
        auto floor = cube({20.0f, 0.0f, 0.0f}, true);
        auto resting = cube({20.0f, 1.99f, 0.0f});
        auto late = cube({40.0f, 0.0f, 0.0f});
        late->force = {1.0f, 2.0f, 3.0f};
        auto first = registeredSet({twice, once, floor, resting});
        registeredSet({twice});
        PhysicalUniverse::collisionSignal.connect([&](auto) {
            if (first->bodies.back() != late)
                first->addBody(late);
        });
        for (int step = 0; step < 2; ++step)
            PhysicalUniverse::step();
        SCOPED_TRACE(response == ResponseKind::solver ? "solver" : "designed");
        ASSERT_EQ(first->bodies.back(), late);
        for (const auto& body : {twice, once, floor, resting, late})
            EXPECT_EQ(body->force, Math::Vector3());
        const int r = response == ResponseKind::solver ? 1 : 0;
        speeds[r][0] = twice->velocity.y;
        speeds[r][1] = once->velocity.y;
        PhysicalUniverse::collisionSignal.disconnect_all_slots();
    }
    EXPECT_NEAR(speeds[0][0], 4.0f * speeds[0][1], 1e-5f);
    EXPECT_NEAR(speeds[1][0], 2.0f * speeds[1][1], 1e-5f);
    EXPECT_NEAR(speeds[1][1], speeds[0][1], 1e-5f);
}

TEST_F(UniverseTest, SolverResponseClearsForcesWithoutListenersWhileAwakeAndAsleep)
{
    // With no listener the solver's step clears the forces itself, also in
    // the steps where everything sleeps and nothing moves. A weight left over
    // would count twice at the next step and wake the block as a push would.
    PhysicalUniverse::contactSettings.response = ResponseKind::solver;
    PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};
    auto floor = cube({0.0f, 0.0f, 0.0f}, true);
    auto block = cube({0.3f, 2.5f, 0.0f});
    registeredSet({floor, block});
    int asleepSteps = 0;
    for (int step = 0; step < 400; ++step) {
        PhysicalUniverse::step();
        ASSERT_EQ(block->force, Math::Vector3()) << "after step " << step;
        ASSERT_EQ(floor->force, Math::Vector3()) << "after step " << step;
        asleepSteps = block->solverMemory.asleep ? asleepSteps + 1 : 0;
    }
    EXPECT_GT(asleepSteps, 100);

    // A force of the application's own still pushes, once.
    block->force = {0.0f, 40.0f, 0.0f};
    PhysicalUniverse::step();
    EXPECT_GT(block->velocity.y, 0.0f);
    EXPECT_EQ(block->force, Math::Vector3());
}

} // namespace
} // namespace Tolvane::Physics
