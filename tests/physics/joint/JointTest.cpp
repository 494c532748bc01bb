// Joints made from definitions: points and axes fixed in the bodies as they
// stand, and definitions that cannot make a joint refused.
#include "physics/body/PhysicalModel.h"
#include "physics/joint/JointList.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace Tolvane::Physics {
namespace {

std::shared_ptr<PhysicalObject> cubeAt(const Math::Vector3& position,
                                       const Math::Quaternion& orientation = {})
{
    static const auto model = loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/SimpleCube.ac");
    auto body = std::make_shared<PhysicalObject>(model);
    body->transform.position = position;
    body->transform.orientation = orientation;
    return body;
}

void expectNear(const Math::Vector3& actual, const Math::Vector3& expected)
{
    EXPECT_NEAR(actual.x, expected.x, 1e-5f);
    EXPECT_NEAR(actual.y, expected.y, 1e-5f);
    EXPECT_NEAR(actual.z, expected.z, 1e-5f);
}

TEST(Joint, FixesAnchorAndAxisInEachBodysFrame)
{
    const auto turned = Math::fromAxisAngle({0.0f, 0.0f, 1.0f}, 1.5707963f);
    JointDefinition definition;
    definition.type = JointType::Hinge;
    definition.bodyA = cubeAt({2.0f, 0.0f, 0.0f}, turned);
    definition.bodyB = cubeAt({-2.0f, 0.0f, 0.0f});
    definition.anchor = Math::Vector3(0.0f, 0.0f, 0.0f);
    definition.axis = {0.0f, 3.0f, 0.0f};
    const Joint joint(1, definition);
    // A is turned a quarter about z, so the world's -x from its centre is its own +y.
    expectNear(joint.localAnchorA, {0.0f, 2.0f, 0.0f});
    expectNear(joint.localAnchorB, {2.0f, 0.0f, 0.0f});
    expectNear(joint.localAxisA, {1.0f, 0.0f, 0.0f});
    expectNear(joint.localAxisB, {0.0f, 1.0f, 0.0f});
    EXPECT_NEAR(dot(joint.localCrossB[0], joint.localAxisB), 0.0f, 1e-6f);
    EXPECT_NEAR(dot(joint.localCrossB[1], joint.localCrossB[0]), 0.0f, 1e-6f);

    // Without an anchor, a joint holds the first body at its own position; to the world by default.
    JointDefinition ball;
    ball.bodyA = cubeAt({1.0f, 2.0f, 3.0f});
    const Joint held(2, ball);
    expectNear(held.localAnchorA, {0.0f, 0.0f, 0.0f});
    expectNear(held.localAnchorB, {1.0f, 2.0f, 3.0f});
    EXPECT_FALSE(held.collide);
}

TEST(Joint, DistanceDefaultsFollowTheAnchorsAndTheSpring)
{
    JointDefinition rod;
    rod.type = JointType::Distance;
    rod.bodyA = cubeAt({0.0f, 0.0f, 0.0f});
    rod.anchorA = {0.0f, 1.0f, 0.0f};
    rod.anchorB = {0.0f, 4.0f, 0.0f};
    const Joint fixedLength(1, rod);
    EXPECT_FLOAT_EQ(fixedLength.length, 3.0f);
    EXPECT_FLOAT_EQ(fixedLength.minLength, 3.0f);
    EXPECT_FLOAT_EQ(fixedLength.maxLength, 3.0f);

    // A spring without bounds stretches freely; bounds given stay hard.
    rod.spring = DistanceSpring{2.0f, 0.1f};
    const Joint spring(2, rod);
    EXPECT_FLOAT_EQ(spring.minLength, 0.0f);
    EXPECT_TRUE(std::isinf(spring.maxLength));
    rod.maxLength = 5.0f;
    EXPECT_FLOAT_EQ(Joint(3, rod).maxLength, 5.0f);
}

TEST(Joint, RefusesDefinitionsThatMakeNoJoint)
{
    const auto body = cubeAt({});
    const auto refused = [&](const char* what, auto change) {
        JointDefinition definition;
        definition.type = JointType::Hinge;
        definition.bodyA = body;
        definition.axis = {0.0f, 1.0f, 0.0f};
        change(definition);
        EXPECT_THROW(Joint(1, definition), std::invalid_argument) << what;
    };
    refused("no first body", [](JointDefinition& d) { d.bodyA = nullptr; });
    refused("a body to itself", [&](JointDefinition& d) { d.bodyB = body; });
    refused("a zero axis", [](JointDefinition& d) { d.axis = {}; });
    refused("limits the wrong way", [](JointDefinition& d) { d.limits = JointLimits{1.0f, -1.0f}; });
    refused("a negative motor torque", [](JointDefinition& d) { d.motor = JointMotor{1.0f, -1.0f}; });
    refused("lengths out of order", [](JointDefinition& d) {
        d.type = JointType::Distance;
        d.minLength = 2.0f;
        d.maxLength = 1.0f;
    });
    refused("a spring of no frequency", [](JointDefinition& d) {
        d.type = JointType::Distance;
        d.spring = DistanceSpring{0.0f, 0.5f};
    });
}

TEST(JointList, AddsRemovesAndWakesTheBodies)
{
    JointList joints;
    const auto a = cubeAt({});
    const auto b = cubeAt({3.0f, 0.0f, 0.0f});
    const auto c = cubeAt({6.0f, 0.0f, 0.0f});
    JointDefinition definition;
    definition.bodyA = a;
    definition.bodyB = b;
    a->solverMemory.stepped = true;
    b->solverMemory.stepped = true;
    const JointId first = joints.add(definition);
    EXPECT_FALSE(a->solverMemory.stepped);
    EXPECT_FALSE(b->solverMemory.stepped);
    definition.bodyA = c;
    const JointId second = joints.add(definition);
    definition.bodyB = nullptr;
    const JointId third = joints.add(definition);
    EXPECT_NE(first, second);
    ASSERT_EQ(joints.size(), 3u);

    EXPECT_EQ(joints.removeJointsOf(*b), 2u);
    ASSERT_EQ(joints.size(), 1u);
    EXPECT_EQ(joints[0].id, third);
    EXPECT_EQ(joints.find(first), nullptr);
    EXPECT_FALSE(joints.remove(first));
    EXPECT_TRUE(joints.remove(third));
    EXPECT_TRUE(joints.empty());
}

} // namespace
} // namespace Tolvane::Physics
