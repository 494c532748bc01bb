// The response to one body's collisions, on contacts written by hand: overlap
// correction, impulses and their sharing, the rest test and the split of the step.
#include "physics/designed/CollisionReport.h"
#include "physics/designed/CollisionResponse.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace Tolvane::Physics {
namespace {

constexpr float step = 0.025f;
constexpr float gravityY = -9.81f;
const Math::Vector3 up{0.0f, 1.0f, 0.0f};

class ResponseTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        cubeModel = loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/SimpleCube.ac");
        floor = body({0.0f, -10.0f, 0.0f});
        floor->fixed = true;
        floor->mass = 1e20f;
        floor->updateInertia();
    }

    std::shared_ptr<PhysicalObject> body(const Math::Vector3& position, const Math::Vector3& velocity = {})
    {
        auto result = std::make_shared<PhysicalObject>(cubeModel);
        result->mass = 1.0f;
        result->updateInertia();
        result->transform.position = position;
        result->velocity = velocity;
        return result;
    }

    /// A collision as the narrow phase would report it, filed under both bodies.
    std::shared_ptr<PhysicalObjectCollisionSolver> collide(const std::shared_ptr<PhysicalObject>& a,
                                                           const std::shared_ptr<PhysicalObject>& b,
                                                           float time, const Math::Vector3& point,
                                                           const Math::Vector3& normal, float depth = 0.0f)
    {
        auto solver = std::make_shared<PhysicalObjectCollisionSolver>(a, b);
        solver->collided = true;
        solver->contact.time = time;
        solver->contact.point = point;
        solver->contact.normal = normal;
        solver->contact.depth = depth;
        fileCollisionReport(collisionMap, a, solver);
        fileCollisionReport(collisionMap, b, solver);
        return solver;
    }

    void respond(const std::shared_ptr<PhysicalObject>& b) { respondToCollisions(*b, collisionMap[b], step); }

    std::shared_ptr<PhysicalModel> cubeModel;
    std::shared_ptr<PhysicalObject> floor;
    /// The collisions filed so far, as the collision pass would file them.
    CollisionMap collisionMap;
};

TEST_F(ResponseTest, OverlapAtStartIsPushedOutThenTheBodyBouncesForTheWholeStep)
{
    // Sinking slowly 0.1 into the floor: pushed out by the full depth, bounced at
    // half the speed, and not put to rest, because the contact is at time 0.
    auto block = body({0.0f, 0.9f, 0.0f}, {0.0f, -0.05f, 0.0f});
    block->force = {0.0f, gravityY, 0.0f};
    auto solver = collide(floor, block, 0.0f, {0.0f, 0.0f, 0.0f}, up, 0.1f);

    respond(block);
    EXPECT_FLOAT_EQ(block->velocity.y, 0.025f);
    EXPECT_NEAR(block->transform.position.y, 1.0f + 0.025f * step, 1e-6);
    EXPECT_EQ(block->force, Math::Vector3());
    EXPECT_EQ(block->angularVelocity, Math::Vector3());
    EXPECT_EQ(solver->contact.depth, 0.0f);
    EXPECT_FLOAT_EQ(solver->impulse, 0.075f);
}

TEST_F(ResponseTest, BodyReachingTheFloorDuringTheStepRestsOrBouncesByItsSpeed)
{
    // Contact 0.01 s into the step, from y = 1 under gravity.
    const float contactTime = 0.01f;
    const double fallToContact = 0.5 * 9.81 * contactTime * contactTime;
    struct Case {
        float speed;
        bool rests;
    };
    for (const Case c : {Case{0.1f, true}, Case{2.0f, false}}) {
        SCOPED_TRACE(c.speed);
        collisionMap.clear();
        auto block = body({0.0f, 1.0f, 0.0f}, {0.0f, -c.speed, 0.0f});
        block->force = {0.0f, gravityY, 0.0f};
        collide(floor, block, contactTime, {0.0f, 0.0f, 0.0f}, up);
        respond(block);

        // The impulse is taken from the velocity at the start of the step.
        const double atContact = 1.0 - c.speed * contactTime - fallToContact;
        const double bounced = -c.speed - 9.81 * contactTime + 1.5 * c.speed;
        if (c.rests) {
            EXPECT_EQ(block->velocity, Math::Vector3());
            EXPECT_EQ(block->angularVelocity, Math::Vector3());
            EXPECT_NEAR(block->transform.position.y, atContact, 1e-6);
        } else {
            EXPECT_NEAR(block->velocity.y, bounced, 1e-5);
            EXPECT_NEAR(block->transform.position.y, atContact + bounced * (step - contactTime), 1e-5);
            EXPECT_EQ(block->force, Math::Vector3());
        }
    }
}

TEST_F(ResponseTest, MovablePairSharesItsOverlap)
{
    // Overlap d = 0.4: A, processed first, moves d/2 back, B moves d/4 on, d/4 stays.
    auto a = body({0.0f, 0.0f, 0.0f});
    auto b = body({0.0f, 1.6f, 0.0f});
    auto solver = collide(a, b, 0.0f, {0.0f, 0.8f, 0.0f}, up, 0.4f);

    respond(a);
    EXPECT_FLOAT_EQ(a->transform.position.y, -0.2f);
    EXPECT_FLOAT_EQ(solver->contact.depth, 0.2f);
    respond(b);
    EXPECT_FLOAT_EQ(b->transform.position.y, 1.7f);
    EXPECT_FLOAT_EQ(solver->contact.depth, 0.1f);
    EXPECT_EQ(a->velocity, Math::Vector3());
    EXPECT_EQ(b->velocity, Math::Vector3());
}

TEST_F(ResponseTest, CorrectionsAsBodyAAndAsBodyBAdd)
{
    // The middle block is B above the fixed floor (pushed up by all of 0.2) and
    // A below a movable block (pushed down by half of 0.1).
    auto middle = body({0.0f, 0.8f, 0.0f});
    auto top = body({0.0f, 2.7f, 0.0f});
    collide(floor, middle, 0.0f, {0.0f, -0.2f, 0.0f}, up, 0.2f);
    collide(middle, top, 0.0f, {0.0f, 1.75f, 0.0f}, up, 0.1f);

    respond(middle);
    EXPECT_FLOAT_EQ(middle->transform.position.y, 0.8f + 0.2f - 0.05f);
}

TEST_F(ResponseTest, SeparatingContactsNeitherCorrectNorSplitTheStep)
{
    // Overlapping, but already moving apart: integrated as if there were no contact.
    auto block = body({0.0f, 0.9f, 0.0f}, {0.0f, 1.0f, 0.0f});
    auto solver = collide(floor, block, 0.0f, {0.0f, 0.0f, 0.0f}, up, 0.1f);

    respond(block);
    EXPECT_TRUE(solver->separating);
    EXPECT_EQ(solver->impulse, 0.0f);
    EXPECT_FLOAT_EQ(block->velocity.y, 1.0f);
    EXPECT_NEAR(block->transform.position.y, 0.9f + step, 1e-6);
    EXPECT_FLOAT_EQ(solver->contact.depth, 0.1f);
}

TEST_F(ResponseTest, EarliestContactSplitsTheStepEvenWhenItSeparates)
{
    // A neighbour moving away touches at 0.005 s, the floor is reached at 0.01 s:
    // the step is split at 0.005 s, where the floor's impulse is applied.
    auto block = body({0.0f, 1.0f, 0.0f}, {0.0f, -2.0f, 0.0f});
    auto neighbour = body({2.0f, 1.0f, 0.0f}, {3.0f, -2.0f, 0.0f});
    collide(floor, block, 0.01f, {0.0f, 0.0f, 0.0f}, up);
    collide(block, neighbour, 0.005f, {1.0f, 1.0f, 0.0f}, {1.0f, 0.0f, 0.0f});

    respond(block);
    const double split = 0.005;
    const double bounced = -2.0 + 3.0; // no gravity: the block's force is zero here
    EXPECT_NEAR(block->velocity.y, bounced, 1e-5);
    EXPECT_NEAR(block->transform.position.y, 1.0 - 2.0 * split + bounced * (step - split), 1e-5);
}

TEST_F(ResponseTest, SecondBodyOfAPairUsesTheImpulseTheFirstComputed)
{
    // Head-on along x, masses 1: j = 1.5, so A gets -1.5 and B +1.5, although A
    // has already moved on when B is processed.
    const Math::Vector3 normal{1.0f, 0.0f, 0.0f};
    auto a = body({0.0f, 0.0f, 0.0f});
    auto b = body({2.0f, 0.0f, 0.0f}, {-2.0f, 0.0f, 0.0f});
    collide(a, b, 0.0f, {1.0f, 0.0f, 0.0f}, normal);

    respond(a);
    respond(b);
    EXPECT_FLOAT_EQ(a->velocity.x, -1.5f);
    EXPECT_FLOAT_EQ(b->velocity.x, -0.5f);
    EXPECT_FLOAT_EQ(collisionMap[b].front()->velocityChange.x, 1.5f);
}

TEST_F(ResponseTest, OffCentreImpulseTurnsTheBody)
{
    // Hit at a bottom edge, (1, -1, 0) from the centre: the body turns about +z.
    auto block = body({0.0f, 1.0f, 0.0f}, {0.0f, -1.0f, 0.0f});
    collide(floor, block, 0.0f, {1.0f, 0.0f, 0.0f}, up);
    respond(block);

    const double inverseInertia = block->inverseInertia[0];
    const double impulse = 1.5 / (1.0 + inverseInertia);
    EXPECT_NEAR(block->velocity.y, -1.0 + impulse, 1e-6);
    EXPECT_NEAR(block->angularVelocity.z, impulse * inverseInertia, 1e-6);
    EXPECT_EQ(block->angularVelocity.x, 0.0f);
    EXPECT_EQ(block->angularVelocity.y, 0.0f);
}

TEST_F(ResponseTest, ReportOfAStrangerIsAnInvalidMap)
{
    auto block = body({0.0f, 1.0f, 0.0f});
    auto a = body({5.0f, 0.0f, 0.0f});
    auto b = body({5.0f, 1.5f, 0.0f});
    auto solver = std::make_shared<PhysicalObjectCollisionSolver>(a, b);
    fileCollisionReport(collisionMap, block, solver);

    try {
        respond(block);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Invalid collision map");
    }
    EXPECT_EQ(block->transform.position, Math::Vector3(0.0f, 1.0f, 0.0f));
}

} // namespace
} // namespace Tolvane::Physics
