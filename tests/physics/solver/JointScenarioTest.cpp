// The joints in the whole step: the shipped joint scenes against their
// targets, each joint's error closing from a displaced start, limits, motors,
// springs, joined bodies kept from colliding, sleeping together, and joints
// going with their bodies.
#include "ShippedSceneTest.h"

#include "math/Quaternion.h"
#include "physics/joint/JointList.h"
#include "physics/joint/JointReadings.h"
#include "physics/solver/ContactWorld.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace Tolvane::Testing {
namespace {

using Math::Quaternion;
using Math::Vector3;
using Physics::Joint;
using Physics::JointDefinition;
using Physics::JointType;
using Physics::PhysicalObject;
using Physics::PhysicalUniverse;

Vector3 anchorOf(const std::shared_ptr<PhysicalObject>& body, const Vector3& local)
{
    if (!body)
        return local;
    return body->transform.position + Physics::rotate(body->transform.orientation, local);
}

/// How far apart a joint's two anchors are.
float gapOf(const Joint& joint)
{
    return (anchorOf(joint.bodyA, joint.localAnchorA) - anchorOf(joint.bodyB, joint.localAnchorB)).length();
}

float largestGap()
{
    float gap = 0.0f;
    for (const Joint& joint : PhysicalUniverse::joints)
        gap = std::max(gap, gapOf(joint));
    return gap;
}

/// The angle of the turn of A relative to B since the joint was made.
float relativeTurnAngle(const Joint& joint)
{
    const Quaternion b = joint.bodyB ? joint.bodyB->transform.orientation : Quaternion();
    const Quaternion turn = Physics::conjugate(b) * joint.bodyA->transform.orientation *
                            Physics::conjugate(joint.referenceRotation);
    return 2.0f * std::atan2(Vector3(turn.x, turn.y, turn.z).length(), std::fabs(turn.w));
}

class JointScenario : public ShippedSceneTest {};

TEST_F(JointScenario, PendulumKeepsItsPeriodAndAmplitude)
{
    const auto scene = load("pendulum.json");
    const PhysicalObject& bob = *scene->bodies()[0];
    const Vector3 pivot(0.0f, 10.0f, 0.0f);
    const float dt = PhysicalUniverse::timeStep;
    std::vector<double> upCrossings;
    double lastAngle = 0.0;
    double largestLate = 0.0;
    for (int step = 1; step <= 2000; ++step) {
        PhysicalUniverse::step();
        const Vector3 arm = bob.transform.position - pivot;
        const double angle = std::atan2(static_cast<double>(arm.x), -static_cast<double>(arm.y));
        if (step > 1 && lastAngle < 0.0 && angle >= 0.0)
            upCrossings.push_back((step - 1 + -lastAngle / (angle - lastAngle)) * dt);
        if (step > 1800)
            largestLate = std::max(largestLate, angle);
        lastAngle = angle;
    }
    ASSERT_GE(upCrossings.size(), 11u);
    const double period = (upCrossings[10] - upCrossings[0]) / 10.0;
    EXPECT_NEAR(period, 4.545, 0.005 * 4.545);
    EXPECT_NEAR(largestLate * 180.0 / 3.14159265358979, 5.0, 0.02 * 5.0);
    EXPECT_LT(largestGap(), 0.001f);
}

TEST_F(JointScenario, HangingChainsHoldTogetherAndStayStill)
{
    struct Case {
        const char* scene;
        float gap;
    };
    for (const Case& c : {Case{"chain-30.json", 0.01f}, Case{"chain-30-heavy.json", 0.05f}}) {
        SCOPED_TRACE(c.scene);
        const auto scene = load(c.scene);
        // Let go at rest with unstretched joints, the chain takes up its load
        // for a moment; then it hangs.
        run(400);
        float widest = 0.0f;
        float fastest = 0.0f;
        for (int step = 0; step < 400; ++step) {
            PhysicalUniverse::step();
            widest = std::max(widest, largestGap());
            for (const auto& link : scene->bodies())
                fastest = std::max(fastest, link->velocity.length());
        }
        EXPECT_LT(widest, c.gap);
        EXPECT_LT(fastest, 0.01f);
        // Straight down: nothing tipped the chain sideways.
        EXPECT_NEAR(scene->bodies().back()->transform.position.x, 0.0f, 0.01f);
    }
}

TEST_F(JointScenario, DoorMotorReachesItsSpeedWithinOneSecond)
{
    const auto scene = load("door-hinge.json");
    run(40);
    const PhysicalObject& door = *scene->bodies()[1];
    EXPECT_NEAR(door.angularVelocity.y, 2.0f, 0.02f);
    EXPECT_NEAR(door.angularVelocity.x, 0.0f, 0.02f);
    EXPECT_LT(largestGap(), 0.01f);
}

TEST_F(JointScenario, NewtonsCradlePassesTheBlowToTheLastCube)
{
    const auto scene = load("newtons-cradle.json");
    const auto& cubes = scene->bodies();
    float impact = 0.0f;
    int firstHit = -1;
    for (int step = 1; step <= 120 && firstHit < 0; ++step) {
        PhysicalUniverse::step();
        impact = std::max(impact, cubes[0]->velocity.x);
        if (cubes[4]->velocity.x > 0.1f * impact)
            firstHit = step;
    }
    ASSERT_GT(firstHit, 0) << "the blow never reached the last cube";
    float leaving = 0.0f;
    float struck = 0.0f;
    for (int step = 0; step < 8; ++step) {
        PhysicalUniverse::step();
        leaving = std::max(leaving, cubes[4]->velocity.x);
        if (step >= 2)
            for (int k = 1; k <= 3; ++k)
                struck = std::max(struck, std::fabs(cubes[k]->velocity.x));
    }
    EXPECT_GE(leaving, 0.9f * impact);
    EXPECT_LT(struck, 0.05f * impact);
}

TEST_F(JointScenario, SlidersRunToTheirLimitsKeepingTheirLine)
{
    const auto scene = load("slider.json");
    run(200);
    const PhysicalObject& carriage = *scene->bodies()[1];
    const PhysicalObject& dropped = *scene->bodies()[2];
    EXPECT_NEAR(carriage.transform.position.x, 2.0f, 0.02f);
    EXPECT_NEAR(carriage.transform.position.y, 0.0f, 0.01f);
    EXPECT_NEAR(carriage.transform.position.z, -3.0f, 0.01f);
    EXPECT_LT(carriage.velocity.length(), 0.01f);
    EXPECT_NEAR(dropped.transform.position.y, -1.0f, 0.02f);
    EXPECT_NEAR(dropped.transform.position.x, 4.0f, 0.01f);
    for (const Joint& joint : PhysicalUniverse::joints)
        EXPECT_LT(relativeTurnAngle(joint), 0.001f);
    EXPECT_NEAR(Physics::sliderTravel(PhysicalUniverse::joints[0]), 4.0f, 0.02f);
    EXPECT_NEAR(Physics::sliderTravel(PhysicalUniverse::joints[1]), -3.0f, 0.02f);
}

TEST_F(JointScenario, RopeBridgeCarriesTheDroppedCubes)
{
    const auto scene = load("rope-bridge.json");
    // The cubes' landings pull the joints apart for a moment; then they close.
    float widest = 0.0f;
    for (int step = 0; step < 1000; ++step) {
        PhysicalUniverse::step();
        widest = std::max(widest, largestGap());
    }
    EXPECT_LT(widest, 0.15f);
    float settledWidest = 0.0f;
    for (int step = 0; step < 200; ++step) {
        PhysicalUniverse::step();
        settledWidest = std::max(settledWidest, largestGap());
    }
    EXPECT_LT(settledWidest, 0.05f);
    // The cubes rest in the bridge's sag, between the posts, far above the floor.
    for (const auto& body : scene->bodies())
        if (body->model == scene->model("cube")) {
            EXPECT_GT(body->transform.position.y, -10.0f);
            EXPECT_LT(std::fabs(body->transform.position.x), 17.0f);
            EXPECT_LT(std::fabs(body->transform.position.z), 2.0f);
        }
}

TEST_F(JointScenario, JointedScenesEndTheSameOnOneAndTwoThreads)
{
    std::uint64_t hashes[2] = {};
    for (int threads = 1; threads <= 2; ++threads) {
        const auto scene = load("rope-bridge.json");
        PhysicalUniverse::setThreads(threads);
        run(300);
        hashes[threads - 1] = scene->stateHash();
    }
    PhysicalUniverse::setThreads(0);
    EXPECT_EQ(hashes[0], hashes[1]);
}

/// Two cubes in empty space, 3 apart along x, for one joint between them.
class JointPair : public ShippedSceneTest {
  protected:
    void SetUp() override
    {
        ShippedSceneTest::SetUp();
        model_ = Physics::loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/SimpleCube.ac");
        set_ = std::make_shared<Physics::CollisionSet>();
        a_ = addCube({0.0f, 0.0f, 0.0f});
        b_ = addCube({3.0f, 0.0f, 0.0f});
        PhysicalUniverse::addCollisionSet(set_);
        PhysicalUniverse::gravity = {};
    }

    std::shared_ptr<PhysicalObject> addCube(const Vector3& position)
    {
        auto body = std::make_shared<PhysicalObject>(model_);
        body->transform.position = position;
        set_->addBody(body);
        return body;
    }

    const Joint& join(JointDefinition definition)
    {
        if (!definition.bodyA)
            definition.bodyA = a_;
        return *PhysicalUniverse::joints.find(PhysicalUniverse::joints.add(definition));
    }

    /// Moves and turns B off where the joint holds it.
    void displaceB()
    {
        b_->transform.position = b_->transform.position + Vector3(0.3f, -0.2f, 0.15f);
        b_->transform.orientation = Math::fromAxisAngle(normalized(Vector3(1.0f, 2.0f, 0.5f)), 0.3f);
    }

    std::shared_ptr<Physics::PhysicalModel> model_;
    std::shared_ptr<Physics::CollisionSet> set_;
    std::shared_ptr<PhysicalObject> a_;
    std::shared_ptr<PhysicalObject> b_;
};

TEST_F(JointPair, EveryJointsErrorClosesFromADisplacedStart)
{
    for (const JointType type :
         {JointType::Ball, JointType::Hinge, JointType::Fixed, JointType::Slider, JointType::Distance}) {
        SCOPED_TRACE(static_cast<int>(type));
        PhysicalUniverse::joints.clear();
        a_->transform = {};
        a_->velocity = a_->angularVelocity = Vector3();
        b_->transform = {};
        b_->transform.position = {3.0f, 0.0f, 0.0f};
        b_->velocity = b_->angularVelocity = Vector3();
        JointDefinition definition;
        definition.type = type;
        definition.bodyB = b_;
        definition.anchor = Vector3(1.5f, 0.0f, 0.0f);
        definition.axis = {0.0f, 0.0f, 1.0f};
        definition.anchorA = {1.0f, 0.0f, 0.0f};
        definition.anchorB = {2.0f, 0.0f, 0.0f};
        const Joint& joint = join(definition);
        displaceB();
        run(80);
        if (type == JointType::Distance) {
            const float length =
                (anchorOf(b_, joint.localAnchorB) - anchorOf(a_, joint.localAnchorA)).length();
            EXPECT_NEAR(length, 1.0f, 1e-3f);
        } else if (type == JointType::Slider) {
            // A's anchor may have slid along the axis (z), but not across it.
            const Vector3 offset = anchorOf(a_, joint.localAnchorA) - anchorOf(b_, joint.localAnchorB);
            const Vector3 axis = Physics::rotate(b_->transform.orientation, joint.localAxisB);
            EXPECT_LT((offset - axis * dot(offset, axis)).length(), 1e-3f);
        } else {
            EXPECT_LT(gapOf(joint), 1e-3f);
        }
        if (type == JointType::Fixed || type == JointType::Slider) {
            EXPECT_LT(relativeTurnAngle(joint), 1e-3f);
        }
        if (type == JointType::Hinge) {
            const Vector3 axisA = Physics::rotate(a_->transform.orientation, joint.localAxisA);
            const Vector3 axisB = Physics::rotate(b_->transform.orientation, joint.localAxisB);
            EXPECT_LT(cross(axisA, axisB).length(), 1e-3f);
        }
    }
}

TEST_F(JointPair, HingeMotorIsHeldByItsTorqueAndItsLimits)
{
    // A alone on a hinge about y through its centre: I = 2/3 for a cube of side 2 and mass 1.
    JointDefinition definition;
    definition.type = JointType::Hinge;
    definition.axis = {0.0f, 1.0f, 0.0f};
    definition.motor = Physics::JointMotor{5.0f, 1.0f};
    definition.limits = Physics::JointLimits{-0.5f, 0.5f};
    const Joint& hinge = join(definition);
    run(10);
    // Torque 1 on inertia 2/3 turns it up at 1.5 rad/s² for 0.25 s.
    EXPECT_NEAR(a_->angularVelocity.y, 0.375f, 0.01f);
    run(100);
    const float angle = 2.0f * std::atan2(a_->transform.orientation.y, a_->transform.orientation.w);
    EXPECT_NEAR(angle, 0.5f, 0.01f);
    EXPECT_NEAR(Physics::hingeAngle(hinge), angle, 1e-5f);
    EXPECT_LT(a_->angularVelocity.length(), 0.01f);
}

TEST_F(JointPair, DistanceRopeGoesSlackAndSpringSwingsAtItsFrequency)
{
    // A rope of up to 3 from the world: A falls freely until it is taut.
    PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};
    set_->bodies.pop_back();
    JointDefinition rope;
    rope.type = JointType::Distance;
    rope.anchorB = {0.0f, 2.0f, 0.0f};
    rope.minLength = 0.0f;
    rope.maxLength = 3.0f;
    const Joint& held = join(rope);
    run(8);
    EXPECT_NEAR(a_->velocity.y, -9.81f * 0.2f, 0.01f);
    run(200);
    EXPECT_NEAR(gapOf(held), 3.0f, 0.01f);

    // A spring of 1 Hz at the centre of mass, undamped, pulled 1 from its length.
    PhysicalUniverse::joints.clear();
    PhysicalUniverse::gravity = {};
    a_->transform = {};
    a_->velocity = Vector3();
    JointDefinition spring;
    spring.type = JointType::Distance;
    spring.anchorB = {0.0f, 3.0f, 0.0f};
    spring.length = 2.0f;
    spring.spring = Physics::DistanceSpring{1.0f, 0.0f};
    join(spring);
    std::vector<float> downCrossings;
    float last = a_->transform.position.y;
    for (int step = 1; step <= 160; ++step) {
        PhysicalUniverse::step();
        const float y = a_->transform.position.y - 1.0f;
        if (last > 0.0f && y <= 0.0f)
            downCrossings.push_back(static_cast<float>(step) * PhysicalUniverse::timeStep);
        last = y;
    }
    ASSERT_GE(downCrossings.size(), 3u);
    EXPECT_NEAR((downCrossings[2] - downCrossings[0]) / 2.0f, 1.0f, 0.03f);
}

TEST_F(JointPair, JoinedBodiesCollideOnlyWhenTheJointSaysSo)
{
    for (const bool collide : {false, true}) {
        SCOPED_TRACE(collide ? "colliding" : "kept apart");
        PhysicalUniverse::joints.clear();
        PhysicalUniverse::contactWorld.clear();
        a_->transform = {};
        a_->velocity = a_->angularVelocity = Vector3();
        b_->transform = {};
        b_->transform.position = {1.5f, 0.0f, 0.0f};
        b_->velocity = b_->angularVelocity = Vector3();
        JointDefinition loose;
        loose.type = JointType::Distance;
        loose.bodyB = b_;
        loose.anchorB = {1.5f, 0.0f, 0.0f};
        loose.minLength = 0.0f;
        loose.maxLength = 10.0f;
        loose.collide = collide;
        join(loose);
        run(40);
        const float apart = b_->transform.position.x - a_->transform.position.x;
        if (collide) {
            EXPECT_GT(apart, 1.98f);
        } else {
            EXPECT_FLOAT_EQ(apart, 1.5f);
        }
    }
}

TEST_F(JointPair, KinematicBodyCarriesWhatIsJoinedToIt)
{
    // A moves and turns at its own velocities; B, joined to it by a ball
    // joint and by a fixed one, goes with it at once, step after step.
    a_->kinematic = true;
    a_->velocity = {1.0f, 0.0f, 0.0f};
    a_->angularVelocity = {0.0f, 0.0f, 0.5f};
    for (const JointType type : {JointType::Ball, JointType::Fixed}) {
        SCOPED_TRACE(static_cast<int>(type));
        PhysicalUniverse::joints.clear();
        b_->transform = {};
        b_->transform.position = {a_->transform.position.x + 3.0f, 0.0f, 0.0f};
        a_->transform.orientation = {};
        JointDefinition definition;
        definition.type = type;
        definition.bodyB = b_;
        definition.anchor = b_->transform.position;
        const Joint& joint = join(definition);
        run(40);
        EXPECT_LT(gapOf(joint), 2e-3f);
        // B's anchor is A's point 3 along its turned x axis.
        const Vector3 arm = b_->transform.position - a_->transform.position;
        EXPECT_NEAR(b_->velocity.x, 1.0f - 0.5f * arm.y, 0.01f);
        EXPECT_NEAR(b_->velocity.y, 0.5f * arm.x, 0.01f);
        if (type == JointType::Fixed) {
            EXPECT_NEAR(b_->angularVelocity.z, 0.5f, 0.01f);
        }
    }
}

TEST_F(JointPair, JoinedBodiesSleepTogetherAndGoWithTheirBodies)
{
    // B hangs from the world and A from B: one island, asleep once still.
    PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};
    b_->transform.position = {0.0f, 3.0f, 0.0f};
    JointDefinition top;
    top.bodyA = b_;
    top.anchor = Vector3(0.0f, 4.5f, 0.0f);
    join(top);
    JointDefinition lower;
    lower.bodyB = b_;
    lower.anchor = Vector3(0.0f, 1.5f, 0.0f);
    join(lower);
    run(100);
    EXPECT_TRUE(a_->solverMemory.asleep);
    EXPECT_TRUE(b_->solverMemory.asleep);
    EXPECT_EQ(a_->solverMemory.island, b_->solverMemory.island);
    EXPECT_NE(a_->solverMemory.island, 0u);

    // Pushing the lower one wakes both.
    a_->velocity = {1.0f, 0.0f, 0.0f};
    run(1);
    EXPECT_FALSE(b_->solverMemory.asleep);
    EXPECT_NE(b_->velocity.length(), 0.0f);

    // Taken out of the set, B takes both its joints with it: A falls freely.
    set_->bodies.pop_back();
    run(1);
    EXPECT_TRUE(PhysicalUniverse::joints.empty());
    const float speed = a_->velocity.y;
    run(4);
    EXPECT_NEAR(a_->velocity.y - speed, -9.81f * 0.1f, 1e-3f);
}

} // namespace
} // namespace Tolvane::Testing
