// The queries between steps: they see the bodies as the last step or code left
// them, never as an earlier query found them.
#include "AllocationCounter.h"
#include "BruteForce.h"
#include "QueryModels.h"
#include "physics/PhysicalUniverse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <thread>
#include <vector>

namespace Tolvane {
namespace {

using Math::Vector3;
using Physics::PhysicalObject;
using Physics::PhysicalUniverse;

class WorldQueryTest : public Testing::SettledPileTest {};

/// The distance down to the first body below (x, 100, z), or -1.
float depthBelow(float x, float z)
{
    const auto hit = PhysicalUniverse::castRay({{x, 100.0f, z}, {0.0f, -1.0f, 0.0f}});
    return hit ? hit->distance : -1.0f;
}

TEST_F(WorldQueryTest, QueriesSeeBodiesAsTheStepsAndCodeLeaveThem)
{
    const auto scene = settle("lattice.json", 40);
    const auto& set = scene->collisionSet();
    PhysicalObject& block = *scene->bodies()[1];
    const float aside = 45.0f;
    EXPECT_EQ(depthBelow(aside, 0.0f), -1.0f);

    // Moved by code beside the floor, and turned a quarter about x: the ray
    // meets a side face, still one unit above the centre.
    block.transform = Math::Transform({aside, 50.0f, 0.0f}, Math::fromAxisAngle({1, 0, 0}, 1.5707964f));
    block.velocity = Vector3();
    block.angularVelocity = Vector3();
    EXPECT_NEAR(depthBelow(aside, 0.0f), 49.0f, 1e-4f);
    EXPECT_EQ(PhysicalUniverse::overlapSphere({{aside, 50.0f, 0.0f}, 0.5f}).front().get(), &block);

    // Each step it falls, and the ray follows.
    for (int step = 0; step < 3; ++step) {
        PhysicalUniverse::step();
        EXPECT_NEAR(depthBelow(aside, 0.0f), 100.0f - block.transform.position.y - 1.0f, 1e-4f);
    }

    // Another model, twice the size, on the same body.
    block.model = Physics::Testing::boxPart({-2, -2, -2}, {2, 2, 2});
    EXPECT_NEAR(depthBelow(aside, 0.0f), 100.0f - block.transform.position.y - 2.0f, 1e-4f);

    // Bodies added to the set, and taken out of it.
    const auto added = Testing::addBody(*set, Physics::Testing::cubePart(), {-aside, 10.0f, 0.0f});
    EXPECT_NEAR(depthBelow(-aside, 0.0f), 89.0f, 1e-4f);
    set->bodies.erase(std::find(set->bodies.begin(), set->bodies.end(), added));
    EXPECT_EQ(depthBelow(-aside, 0.0f), -1.0f);
    EXPECT_EQ(PhysicalUniverse::queryView().bodyCount(), scene->bodies().size());

    // A body listed in two sets is reported once.
    auto second = std::make_shared<Physics::CollisionSet>();
    second->addBody(scene->bodies()[1]);
    PhysicalUniverse::addCollisionSet(second);
    EXPECT_EQ(PhysicalUniverse::castRayAll({{aside, 100.0f, 0.0f}, {0.0f, -1.0f, 0.0f}}).size(), 1u);
    EXPECT_EQ(PhysicalUniverse::queryView().bodyCount(), scene->bodies().size());
}

// Queries read and never write: asking them between steps leaves the steps
// as they would have been, to the bit.
TEST_F(WorldQueryTest, QueriesBetweenStepsChangeNothingTheStepsDo)
{
    const auto finalState = [](bool asking) {
        std::srand(1);
        const auto scene = settle("lattice.json", 60);
        for (int step = 0; step < 60; ++step) {
            if (asking) {
                const Vector3 p = scene->bodies()[1 + step]->transform.position;
                PhysicalUniverse::castRayAll({p + Vector3(0.0f, 30.0f, 0.0f), {0.0f, -1.0f, 0.0f}});
                PhysicalUniverse::overlapBox({p, {1.0f, 1.0f, 1.0f}, Math::Quaternion()});
                PhysicalUniverse::overlapSphere({p, 2.0f});
            }
            PhysicalUniverse::step();
        }
        return scene->stateHash();
    };
    const std::uint64_t quiet = finalState(false);
    EXPECT_EQ(finalState(true), quiet);
}

// Memory running out at any point of an update (listing new bodies, building
// a new model's hulls, the tree) leaves the view empty rather than half up to
// date, and the next update brings it all back.
TEST(WorldQueryUpdate, UpdateOutOfMemoryLeavesTheViewEmptyAndTheNextOneWhole)
{
    auto set = std::make_shared<Physics::CollisionSet>();
    const std::vector<std::shared_ptr<Physics::CollisionSet>> sets{set};
    std::vector<std::shared_ptr<PhysicalObject>> cubes;
    for (int k = 0; k < 20; ++k)
        cubes.push_back(Testing::addBody(*set, Physics::Testing::cubePart(), {3.0f * k, 0.0f, 0.0f}));
    for (std::size_t nth = 1;; ++nth) {
        SCOPED_TRACE(testing::Message() << "allocation " << nth << " fails");
        Physics::WorldQuery view;
        view.update(sets);
        // New bodies, and a model whose hulls are not built yet on the body
        // the ray meets first.
        set->addBody(std::make_shared<PhysicalObject>(Physics::Testing::cubePart()));
        cubes[0]->model = Physics::Testing::boxPart({-2, -2, -2}, {2, 2, 2});
        bool failed = false;
        {
            Testing::AllocationCounter counter;
            counter.failAt(nth);
            try {
                view.update(sets);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
        }
        const Physics::Ray ray{{-10.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}};
        if (failed) {
            EXPECT_EQ(view.bodyCount(), 0u);
            EXPECT_FALSE(view.castRay(ray));
            EXPECT_TRUE(view.castRayAll(ray).empty());
            EXPECT_TRUE(view.overlapSphere({{0.0f, 0.0f, 0.0f}, 100.0f}).empty());
            view.update(sets);
        }
        EXPECT_EQ(view.bodyCount(), cubes.size() + 1);
        const auto hit = view.castRay(ray);
        ASSERT_TRUE(hit);
        EXPECT_EQ(hit->body, cubes[0]);
        EXPECT_FLOAT_EQ(hit->distance, 8.0f);
        set->bodies.pop_back();
        cubes[0]->model = Physics::Testing::cubePart();
        if (!failed)
            break;
    }
}

// The queries of one view read it and nothing else: threads asking at once
// get what one thread gets.
TEST_F(WorldQueryTest, ThreadsQueryingOneViewAtOnceGetWhatOneThreadGets)
{
    const auto scene = settle("lattice-bowl.json", 100);
    const Physics::WorldQuery& view = PhysicalUniverse::queryView();
    std::mt19937 random(32);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<Vector3> points;
    for (int k = 0; k < 500; ++k)
        points.emplace_back(5.0f + 10.0f * unit(random), -3.0f + 5.0f * unit(random),
                            5.0f + 10.0f * unit(random));
    // What the queries at every point find: the body a ray down meets, its
    // distance, and the bodies a box and a sphere there meet.
    const auto ask = [&] {
        std::vector<std::pair<const PhysicalObject*, float>> answers;
        for (const Vector3& p : points) {
            const auto hit = view.castRay({p + Vector3(0.0f, 20.0f, 0.0f), p - Vector3(0.0f, 20.0f, 0.0f)});
            answers.emplace_back(hit ? hit->body.get() : nullptr, hit ? hit->distance : -1.0f);
            for (const auto& body : view.overlapBox({p, {1.0f, 0.5f, 1.5f}, Math::Quaternion(1, p.x, 0, 0)}))
                answers.emplace_back(body.get(), 0.0f);
            for (const auto& body : view.overlapSphere({p, 1.5f}))
                answers.emplace_back(body.get(), 1.0f);
        }
        return answers;
    };
    const auto alone = ask();
    std::vector<std::vector<std::pair<const PhysicalObject*, float>>> together(4);
    std::vector<std::thread> threads;
    for (auto& answers : together)
        threads.emplace_back([&] { answers = ask(); });
    for (std::thread& thread : threads)
        thread.join();
    for (const auto& answers : together)
        EXPECT_EQ(answers, alone);
}

} // namespace
} // namespace Tolvane
