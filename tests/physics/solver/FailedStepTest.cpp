// A step that runs out of memory, or whose listener throws: the bodies stay as
// they were before the step (or, once they moved, their forces are cleared),
// and the world steps on as if nothing had happened.
#include "AllocationCounter.h"
#include "BoxModels.h"
#include "physics/PhysicalUniverse.h"
#include "physics/solver/ContactWorld.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tolvane {
namespace {

using Math::Vector3;
using Physics::CollisionSet;
using Physics::ContactWorld;
using Physics::PhysicalObject;
using Physics::PhysicalUniverse;

constexpr float timeStep = 0.025f;
const Vector3 gravity(0.0f, -9.81f, 0.0f);
/// Steps after the failed one, each of which must come out to the bit as in a world that never failed.
constexpr int stepsAfter = 10;
/// Steps for the cubes to land and fall asleep.
constexpr int settlingSteps = 60;

/// A floor with four cubes just above it, one on another, one pushed by a
/// force of its own and one sliding. Models are new, so their hulls are built
/// by the first step.
std::shared_ptr<CollisionSet> cubesOnAFloor()
{
    auto set = std::make_shared<CollisionSet>();
    auto floor = std::make_shared<PhysicalObject>(Physics::Testing::boxPart({-10, -1, -10}, {10, 0, 10}));
    floor->fixed = true;
    set->addBody(floor);
    const Vector3 places[] = {{-3, 1.2f, 0}, {0, 1.2f, 0}, {0, 3.4f, 0}, {3, 1.2f, 0}};
    for (const Vector3& place : places) {
        auto cube = std::make_shared<PhysicalObject>(Physics::Testing::cubePart());
        cube->transform.position = place;
        set->addBody(cube);
    }
    set->bodies[1]->force = {0.3f, 0.0f, 0.1f};
    set->bodies[4]->velocity = {0.5f, 0.0f, 0.0f};
    return set;
}

struct BodyState {
    Vector3 position;
    Math::Quaternion orientation;
    Vector3 velocity;
    Vector3 angularVelocity;
    Vector3 force;
    bool operator==(const BodyState& o) const
    {
        return position == o.position && orientation == o.orientation && velocity == o.velocity &&
               angularVelocity == o.angularVelocity && force == o.force;
    }
};

std::vector<BodyState> statesOf(const std::vector<std::shared_ptr<CollisionSet>>& sets)
{
    std::vector<BodyState> states;
    for (const auto& set : sets)
        for (const auto& b : set->bodies)
            states.push_back(
                {b->transform.position, b->transform.orientation, b->velocity, b->angularVelocity, b->force});
    return states;
}

/// Runs steps of the solver response on its own world, the way the universe does with no listener.
void stepWorld(ContactWorld& world, const std::vector<std::shared_ptr<CollisionSet>>& sets, int steps)
{
    for (int k = 0; k < steps; ++k)
        world.step(sets, timeStep, gravity, Physics::ContactSettings(), true);
}

/// Runs step with the nth allocation from its start failing; true when it threw for it.
template <class Step> bool runsOutOfMemory(std::size_t nth, Step step)
{
    Testing::AllocationCounter counter;
    counter.failAt(nth);
    try {
        step();
    } catch (const std::bad_alloc&) {
        return true;
    }
    return false;
}

TEST(FailedStep, SolverStepOutOfMemoryLeavesEveryBodyAsItWasAndStepsOnAsIfItNeverRan)
{
    for (const int threads : {1, 2}) {
        // What a world that never fails ends with, and how many allocations
        // its first step makes (on two threads it varies a little).
        std::size_t firstStepCalls = 0;
        std::vector<BodyState> expected;
        {
            ContactWorld world;
            world.setThreads(threads);
            const std::vector<std::shared_ptr<CollisionSet>> sets{cubesOnAFloor()};
            {
                Testing::AllocationCounter counter;
                stepWorld(world, sets, 1);
                firstStepCalls = counter.newCalls();
            }
            stepWorld(world, sets, stepsAfter);
            expected = statesOf(sets);
        }
        ASSERT_GT(firstStepCalls, 0u);
        for (std::size_t nth = 1; nth <= firstStepCalls; ++nth) {
            SCOPED_TRACE(std::to_string(threads) + " threads, allocation " + std::to_string(nth));
            ContactWorld world;
            world.setThreads(threads);
            const std::vector<std::shared_ptr<CollisionSet>> sets{cubesOnAFloor()};
            const std::vector<BodyState> before = statesOf(sets);
            const bool failed = runsOutOfMemory(nth, [&] { stepWorld(world, sets, 1); });
            if (failed) {
                ASSERT_TRUE(statesOf(sets) == before) << "a body changed";
                for (const auto& body : sets[0]->bodies)
                    EXPECT_FALSE(body->solverMemory.asleep || body->solverMemory.stepped);
                stepWorld(world, sets, 1);
            }
            stepWorld(world, sets, stepsAfter);
            ASSERT_TRUE(statesOf(sets) == expected) << (failed ? "failed" : "finished");
        }
    }
}

TEST(FailedStep, StepOfAGrowingSceneOutOfMemoryLeavesEveryBodyAsItWasAndWakesThem)
{
    // Cubes added to a settled scene make the step grow its buffers.
    for (std::size_t nth = 1;; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        ContactWorld world;
        world.setThreads(2);
        std::vector<std::shared_ptr<CollisionSet>> sets{cubesOnAFloor()};
        stepWorld(world, sets, settlingSteps);
        for (std::size_t k = 1; k < sets[0]->bodies.size(); ++k)
            ASSERT_TRUE(sets[0]->bodies[k]->solverMemory.asleep) << "cube " << k;
        const auto more = cubesOnAFloor();
        for (std::size_t k = 1; k < more->bodies.size(); ++k) {
            more->bodies[k]->transform.position.z += 4.0f;
            sets[0]->addBody(more->bodies[k]);
        }
        const std::vector<BodyState> before = statesOf(sets);
        if (!runsOutOfMemory(nth, [&] { stepWorld(world, sets, 1); }))
            break;
        ASSERT_TRUE(statesOf(sets) == before) << "a body changed";
        for (const auto& body : sets[0]->bodies)
            EXPECT_FALSE(body->solverMemory.asleep);
        stepWorld(world, sets, settlingSteps);
        for (const auto& body : sets[0]->bodies) {
            const float height = body->transform.position.y;
            EXPECT_TRUE(body->fixed || std::abs(height - 1.0f) < 0.05f || std::abs(height - 3.0f) < 0.05f)
                << "resting at " << height;
            EXPECT_LT(body->velocity.length(), 0.05f);
        }
    }
}

TEST(FailedStep, DesignedStepOutOfMemoryLeavesEveryBodyAsItWasAndStepsOnAsIfItNeverRan)
{
    const auto start = [] {
        PhysicalUniverse::reset();
        PhysicalUniverse::gravity = gravity;
        PhysicalUniverse::contactSettings.response = Physics::ResponseKind::designed;
        PhysicalUniverse::addCollisionSet(cubesOnAFloor());
    };
    start();
    std::size_t stepCalls = 0;
    {
        Testing::AllocationCounter counter;
        PhysicalUniverse::step();
        stepCalls = counter.newCalls();
    }
    for (int k = 0; k < stepsAfter; ++k)
        PhysicalUniverse::step();
    const std::vector<BodyState> expected = statesOf(PhysicalUniverse::collisionSets);

    for (std::size_t nth = 1; nth <= stepCalls; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        start();
        const std::vector<BodyState> before = statesOf(PhysicalUniverse::collisionSets);
        const bool failed = runsOutOfMemory(nth, [] { PhysicalUniverse::step(); });
        if (failed) {
            ASSERT_TRUE(statesOf(PhysicalUniverse::collisionSets) == before) << "a body changed";
            EXPECT_TRUE(PhysicalUniverse::collisionMap.empty());
            PhysicalUniverse::step();
        }
        for (int k = 0; k < stepsAfter; ++k)
            PhysicalUniverse::step();
        ASSERT_TRUE(statesOf(PhysicalUniverse::collisionSets) == expected);
    }
    PhysicalUniverse::reset();
}

TEST(FailedStep, ListenerThatThrowsAfterTheSolverStepLeavesNoForceBehind)
{
    // The step has moved the bodies when listeners hear of it: a listener
    // that throws must not leave this step's weights for the next to add to.
    PhysicalUniverse::reset();
    PhysicalUniverse::gravity = gravity;
    PhysicalUniverse::addCollisionSet(cubesOnAFloor());
    for (int k = 0; k < 10; ++k)
        PhysicalUniverse::step();
    PhysicalUniverse::collisionSignal.connect([](auto) { throw std::runtime_error("listener"); });
    EXPECT_THROW(PhysicalUniverse::step(), std::runtime_error);
    for (const auto& body : PhysicalUniverse::collisionSets[0]->bodies)
        EXPECT_EQ(body->force, Vector3());
    PhysicalUniverse::reset();
}

} // namespace
} // namespace Tolvane
