// Collision sets and the filing of collisions per body in the universe's collision map.
#include "physics/PhysicalUniverse.h"
#include "physics/body/CollisionSet.h"

#include "BoxModels.h"

#include <gtest/gtest.h>

#include <vector>

namespace Tolvane::Physics {
namespace {

std::shared_ptr<PhysicalObject> newBody()
{
    return std::make_shared<PhysicalObject>(Testing::cubePart());
}

std::shared_ptr<PhysicalObjectCollisionSolver>
collidedAt(const std::shared_ptr<PhysicalObject>& a, const std::shared_ptr<PhysicalObject>& b, float time)
{
    auto solver = std::make_shared<PhysicalObjectCollisionSolver>(a, b);
    solver->collided = true;
    solver->contact.time = time;
    return solver;
}

class CollisionMapTest : public ::testing::Test {
  protected:
    void SetUp() override { PhysicalUniverse::reset(); }
    void TearDown() override { PhysicalUniverse::reset(); }

    static std::vector<std::shared_ptr<PhysicalObjectCollisionSolver>>
    solversOf(const std::shared_ptr<PhysicalObject>& body)
    {
        std::vector<std::shared_ptr<PhysicalObjectCollisionSolver>> solvers;
        const auto entry = PhysicalUniverse::collisionMap.find(body);
        if (entry != PhysicalUniverse::collisionMap.end())
            for (const auto& report : entry->second)
                solvers.push_back(report->solver);
        return solvers;
    }
};

TEST_F(CollisionMapTest, ReportsAreOrderedByContactTimeTiesInFilingOrder)
{
    auto body = newBody();
    auto late = collidedAt(body, newBody(), 0.02f);
    auto early = collidedAt(body, newBody(), 0.0f);
    auto lateToo = collidedAt(newBody(), body, 0.02f);
    PhysicalUniverse::addCollisionReport(body, late);
    PhysicalUniverse::addCollisionReport(body, early);
    PhysicalUniverse::addCollisionReport(body, lateToo);

    EXPECT_EQ(solversOf(body),
              (std::vector<std::shared_ptr<PhysicalObjectCollisionSolver>>{early, late, lateToo}));
    for (const auto& report : PhysicalUniverse::collisionMap[body]) {
        EXPECT_EQ(report->velocityChange, Math::Vector3());
        EXPECT_EQ(report->angularVelocityChange, Math::Vector3());
    }
}

TEST_F(CollisionMapTest, EachBodyHasOneReportPerCollision)
{
    auto hub = newBody();
    std::vector<std::shared_ptr<PhysicalObject>> others{newBody(), newBody(), newBody()};
    std::vector<std::shared_ptr<PhysicalObjectCollisionSolver>> solvers;
    for (std::size_t i = 0; i < others.size(); ++i) {
        auto solver = collidedAt(hub, others[i], 0.005f * static_cast<float>(3 - i));
        PhysicalUniverse::addCollisionReport(solver->bodyA, solver);
        PhysicalUniverse::addCollisionReport(solver->bodyB, solver);
        solvers.push_back(solver);
    }

    EXPECT_EQ(PhysicalUniverse::collisionMap.size(), 4u);
    EXPECT_EQ(solversOf(hub), (std::vector<std::shared_ptr<PhysicalObjectCollisionSolver>>{
                                  solvers[2], solvers[1], solvers[0]}));
    for (std::size_t i = 0; i < others.size(); ++i)
        EXPECT_EQ(solversOf(others[i]),
                  std::vector<std::shared_ptr<PhysicalObjectCollisionSolver>>{solvers[i]});

    // Reports are per body: the two reports of one pair are separate records.
    const auto& hubReport = PhysicalUniverse::collisionMap[hub].back();
    const auto& otherReport = PhysicalUniverse::collisionMap[others[0]].front();
    EXPECT_EQ(hubReport->solver, otherReport->solver);
    EXPECT_NE(hubReport, otherReport);
}

TEST(CollisionSet, SnapshotKeepsInsertionOrderAndIgnoresLaterChanges)
{
    CollisionSet set;
    EXPECT_TRUE(set.selfCollision);
    EXPECT_TRUE(set.getBodies().empty());

    const std::vector<std::shared_ptr<PhysicalObject>> bodies{newBody(), newBody(), newBody()};
    for (const auto& body : bodies)
        set.addBody(body);
    const auto snapshot = set.getBodies();
    EXPECT_EQ(snapshot, bodies);

    set.addBody(newBody());
    EXPECT_EQ(snapshot.size(), 3u);
    EXPECT_EQ(set.getBodies().size(), 4u);
}

} // namespace
} // namespace Tolvane::Physics
