// The collision impulse of a pair: head-on, separating, resting and off-centre contacts.
#include "physics/designed/PhysicalObjectCollisionSolver.h"

#include "BoxModels.h"

#include <gtest/gtest.h>

namespace Tolvane::Physics {
namespace {

using Math::Matrix4;
using Math::Vector3;

const Vector3 up(0.0f, 0.0f, 1.0f);

// Two unit-mass cubes two apart on the z axis, touching at (0, 0, 1) with normal +z.
struct HeadOnPair {
    std::shared_ptr<PhysicalObject> a = std::make_shared<PhysicalObject>(Testing::cubePart());
    std::shared_ptr<PhysicalObject> b = std::make_shared<PhysicalObject>(Testing::cubePart());
    PhysicalObjectCollisionSolver solver{a, b};

    HeadOnPair()
    {
        b->transform.position = {0.0f, 0.0f, 2.0f};
        a->updateInertia();
        b->updateInertia();
        solver.contact.normal = up;
        solver.contact.point = {0.0f, 0.0f, 1.0f};
        solver.contact.time = 0.01f;
    }
};

TEST(CollisionImpulse, HeadOnBounceHalvesTheApproachSpeed)
{
    HeadOnPair pair;
    pair.b->velocity = up * -2.0f;
    bool separating = true;
    const float j = pair.solver.computeImpulse(separating);
    EXPECT_FLOAT_EQ(j, 1.5f);
    EXPECT_FALSE(separating);
    EXPECT_FALSE(pair.solver.separating);
    EXPECT_EQ(pair.solver.impulse, j);

    // A receives -j n, B +j n: they part at speed 1, half the approach speed of 2.
    const Vector3 afterA = pair.a->velocity + up * (-j / pair.a->mass);
    const Vector3 afterB = pair.b->velocity + up * (j / pair.b->mass);
    EXPECT_FLOAT_EQ(afterA.z, -1.5f);
    EXPECT_FLOAT_EQ(afterB.z, -0.5f);
    EXPECT_FLOAT_EQ(dot(afterB - afterA, up), 1.0f);
}

TEST(CollisionImpulse, HeavyFloorReflectsAtHalfSpeed)
{
    HeadOnPair pair;
    pair.a->mass = 1e20f;
    pair.a->fixed = true;
    pair.a->updateInertia();
    pair.b->velocity = up * -2.0f;
    bool separating = true;
    const float j = pair.solver.computeImpulse(separating);
    EXPECT_FLOAT_EQ(j, 3.0f);
    EXPECT_FLOAT_EQ(pair.b->velocity.z + j, 1.0f);
}

TEST(CollisionImpulse, ComputedOnceFromTheStateOfTheFirstCall)
{
    HeadOnPair approaching;
    approaching.b->velocity = up * -2.0f;
    bool separating = true;
    approaching.solver.computeImpulse(separating);
    approaching.b->velocity = up * -20.0f;
    EXPECT_FLOAT_EQ(approaching.solver.computeImpulse(separating), 1.5f);
    EXPECT_FALSE(separating);

    HeadOnPair parting;
    parting.b->velocity = up * 2.0f;
    separating = false;
    EXPECT_EQ(parting.solver.computeImpulse(separating), 0.0f);
    EXPECT_TRUE(separating);
    EXPECT_TRUE(parting.solver.separating);
    parting.b->velocity = up * -2.0f;
    separating = false;
    EXPECT_EQ(parting.solver.computeImpulse(separating), 0.0f);
    EXPECT_TRUE(separating);
}

TEST(CollisionImpulse, NoMotionAlongTheNormalIsAContactWithoutImpulse)
{
    HeadOnPair resting;
    // Sliding sideways does not approach along the normal either.
    resting.b->velocity = {3.0f, -1.0f, 0.0f};
    bool separating = true;
    EXPECT_EQ(resting.solver.computeImpulse(separating), 0.0f);
    EXPECT_FALSE(separating);
    EXPECT_FALSE(resting.solver.separating);
    EXPECT_GE(resting.solver.impulse, 0.0f);
}

TEST(CollisionImpulse, OffCentreContactBringsInTheAngularTerms)
{
    // A (mass 2) spins about y; B (mass 1) falls onto it; both have inverse
    // inertia diag(0.5). The contact point (1, 0, 1) is off the line of centres:
    //   rA = (1, 0, 1), rB = (1, 0, -1), n = (0, 0, 1)
    //   uA = ωA × rA = (0, 1, 0) × (1, 0, 1) = (1, 0, -1), uB = (0, 0, -2)
    //   s = (uB - uA) · n = -1
    //   (I⁻¹(rA × n)) × rA = (0, -0.5, 0) × (1, 0, 1) = (-0.5, 0, 0.5)
    //   (I⁻¹(rB × n)) × rB = (0, -0.5, 0) × (1, 0, -1) = (0.5, 0, 0.5)
    //   denominator = 0.5 + 0.5 + 1/1 + 1/2 = 2.5, j = 1.5 × 1 / 2.5 = 0.6
    auto a = std::make_shared<PhysicalObject>(Testing::cubePart());
    auto b = std::make_shared<PhysicalObject>(Testing::cubePart());
    a->mass = 2.0f;
    a->angularVelocity = {0.0f, 1.0f, 0.0f};
    a->inverseInertia = Matrix4::diagonal(0.5f, 0.5f, 0.5f, 1.0f);
    b->transform.position = {0.0f, 0.0f, 2.0f};
    b->velocity = {0.0f, 0.0f, -2.0f};
    b->inverseInertia = Matrix4::diagonal(0.5f, 0.5f, 0.5f, 1.0f);

    PhysicalObjectCollisionSolver solver(a, b);
    solver.contact.normal = up;
    solver.contact.point = {1.0f, 0.0f, 1.0f};
    bool separating = true;
    EXPECT_FLOAT_EQ(solver.computeImpulse(separating), 0.6f);
    EXPECT_FALSE(separating);
}

} // namespace
} // namespace Tolvane::Physics
