// Rigid bodies: construction, Runge-Kutta integration and inertia.
#include "physics/body/PhysicalObject.h"

#include "BoxModels.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace Tolvane::Physics {
namespace {

using Math::Matrix4;
using Math::Quaternion;
using Math::Vector3;
using Testing::cubePart;

constexpr float pi = 3.14159265358979f;
constexpr float step = 0.025f;

std::shared_ptr<PhysicalModel> partOfRadius(float radius)
{
    auto part = std::make_shared<PhysicalModel>(std::vector<Vector3>{{radius, 0.0f, 0.0f}},
                                                std::vector<ModelSurface>{}, Vector3());
    part->setKids({});
    return part;
}

template <class T> bool sameBits(const T& a, const T& b)
{
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

void expectNear(const Vector3& actual, const Vector3& expected, float tolerance = 1e-6f)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

TEST(PhysicalObjectConstruction, StartsAtRestWithItsOwnShape)
{
    auto model = Testing::groupPart({cubePart({0.0f, 2.0f, 0.0f})});
    auto first = std::make_shared<PhysicalObject>(model);
    auto second = std::make_shared<PhysicalObject>(model);

    EXPECT_EQ(first->mass, defaultMass);
    EXPECT_FALSE(first->fixed);

    // The blocks share one model but each has its own world shape of it.
    EXPECT_EQ(first->model, second->model);
    ASSERT_TRUE(first->shape);
    EXPECT_NE(first->shape, second->shape);
    EXPECT_EQ(first->shape->model(), model);
    ASSERT_EQ(first->shape->kids().size(), 1u);
    EXPECT_EQ(first->shape->kids()[0]->offset(), Vector3(0.0f, 2.0f, 0.0f));
}

TEST(PhysicalObjectConstruction, BodyWithoutModelHasNoShapeButStillMoves)
{
    PhysicalObject body(nullptr);
    EXPECT_FALSE(body.shape);
    body.updateInertia();
    EXPECT_EQ(body.inertia, Matrix4());
    body.velocity = {1.0f, 0.0f, 0.0f};
    body.integrate(step);
    EXPECT_EQ(body.getPosition(), Vector3(step, 0.0f, 0.0f));
}

TEST(PhysicalObjectIntegration, FixedBodyIsLeftBitForBitUnchanged)
{
    PhysicalObject body(cubePart());
    body.fixed = true;
    body.mass = 3.0f;
    body.velocity = {1.0f, -2.0f, 3.0f};
    body.force = {0.0f, -29.43f, 0.0f};
    body.angularVelocity = {0.5f, 0.25f, -1.0f};
    body.torque = {1.0f, 1.0f, 1.0f};
    body.transform.position = {0.0f, 7.0f, 0.0f};
    body.transform.orientation = Math::fromAxisAngle({0.0f, 1.0f, 0.0f}, 0.3f);
    const PhysicalObject before = body;

    body.integrate(step);
    EXPECT_TRUE(sameBits(body.velocity, before.velocity));
    EXPECT_TRUE(sameBits(body.force, before.force));
    EXPECT_TRUE(sameBits(body.angularVelocity, before.angularVelocity));
    EXPECT_TRUE(sameBits(body.torque, before.torque));
    EXPECT_TRUE(sameBits(body.transform.position, before.transform.position));
    EXPECT_TRUE(sameBits(body.transform.orientation, before.transform.orientation));
    EXPECT_FALSE(body.transform.dirty);
}

TEST(PhysicalObjectIntegration, FreeFlightMovesByVelocityTimesStep)
{
    PhysicalObject body(cubePart());
    body.velocity = {1.0f, 2.0f, -3.0f};
    body.transform.position = {10.0f, 0.0f, 0.0f};
    body.integrate(step);

    EXPECT_EQ(body.getPosition(), Vector3(10.0f, 0.0f, 0.0f) + Vector3(1.0f, 2.0f, -3.0f) * step);
    EXPECT_EQ(body.velocity, Vector3(1.0f, 2.0f, -3.0f));
    EXPECT_EQ(body.angularVelocity, Vector3());
    EXPECT_EQ(body.transform.orientation, Quaternion());
    EXPECT_TRUE(body.transform.dirty);
    EXPECT_TRUE(body.getTransform().dirty);
}

TEST(PhysicalObjectIntegration, GravityStepFromRest)
{
    for (float mass : {1.0f, 2.0f}) {
        SCOPED_TRACE(mass);
        PhysicalObject body(cubePart());
        body.mass = mass;
        body.force = Vector3(0.0f, -9.81f, 0.0f) * mass;
        body.integrate(step);
        EXPECT_FLOAT_EQ(body.velocity.y, -0.24525f);
        EXPECT_FLOAT_EQ(body.getPosition().y, -9.81f * step * step / 2.0f);
        EXPECT_EQ(body.velocity.x, 0.0f);
        EXPECT_EQ(body.getPosition().x, 0.0f);

        body.integrate(step);
        EXPECT_FLOAT_EQ(body.velocity.y, -0.4905f);
        EXPECT_FLOAT_EQ(body.getPosition().y, -9.81f * (2.0f * step) * (2.0f * step) / 2.0f);
    }
}

TEST(PhysicalObjectIntegration, SpinTurnsTheOrientationAboutWorldAxes)
{
    PhysicalObject body(cubePart());
    body.angularVelocity = {0.0f, pi, 0.0f};
    body.integrate(0.5f);
    const float c = std::cos(pi / 4.0f);
    EXPECT_NEAR(body.transform.orientation.w, c, 1e-6f);
    EXPECT_NEAR(body.transform.orientation.y, c, 1e-6f);
    EXPECT_NEAR(body.transform.orientation.x, 0.0f, 1e-6f);
    EXPECT_NEAR(body.transform.orientation.z, 0.0f, 1e-6f);
    expectNear(body.transform.rotate({1.0f, 0.0f, 0.0f}), {0.0f, 0.0f, -1.0f});
    EXPECT_EQ(body.angularVelocity, Vector3(0.0f, pi, 0.0f));

    // Already tipped a quarter turn about x, the spin still turns about world y:
    // the body's y axis, now pointing along world z, ends up along world x.
    PhysicalObject tipped(cubePart());
    tipped.transform.orientation = Math::fromAxisAngle({1.0f, 0.0f, 0.0f}, pi / 2.0f);
    tipped.angularVelocity = {0.0f, pi, 0.0f};
    tipped.integrate(0.5f);
    expectNear(tipped.transform.rotate({0.0f, 1.0f, 0.0f}), {1.0f, 0.0f, 0.0f});
}

TEST(PhysicalObjectIntegration, TorqueAcceleratesThroughTheInverseInertia)
{
    PhysicalObject body(partOfRadius(2.0f));
    body.updateInertia();
    body.torque = {0.0f, 3.2f, 0.0f};
    body.integrate(0.5f);
    // Angular acceleration 3.2 / 1.6 = 2 for half a second.
    expectNear(body.angularVelocity, {0.0f, 1.0f, 0.0f});
    // Turned by a·t²/2 = 0.25 rad about y.
    EXPECT_NEAR(body.transform.orientation.y, std::sin(0.125f), 1e-6f);
}

TEST(RungeKutta, ConstantAccelerationGivesTheExactParabola)
{
    const MotionState start{{1.0f, 0.0f, 0.0f}, {0.0f, 2.0f, 0.0f}};
    const MotionState end = integrateRK4(start, {0.0f, 0.0f, 4.0f}, 0.5f);
    // x + v h + a h²/2 and v + a h, exact in floats for these numbers.
    EXPECT_EQ(end.position, Vector3(1.0f, 1.0f, 0.5f));
    EXPECT_EQ(end.velocity, Vector3(0.0f, 2.0f, 2.0f));
}

TEST(PhysicalObjectInertia, SolidSphereOfTheModelRadius)
{
    PhysicalObject body(partOfRadius(2.0f));
    body.mass = 1.0f;
    body.updateInertia();
    for (int i = 0; i < 16; ++i) {
        const bool onDiagonal = i % 5 == 0;
        const float expected = i == 15 ? 1.0f : onDiagonal ? 1.6f : 0.0f;
        const float expectedInverse = i == 15 ? 1.0f : onDiagonal ? 0.625f : 0.0f;
        EXPECT_FLOAT_EQ(body.inertia[i], expected) << "inertia element " << i;
        EXPECT_FLOAT_EQ(body.inverseInertia[i], expectedInverse) << "inverse inertia element " << i;
    }
}

TEST(PhysicalObjectInertia, FactorIsTheFloatPointFourAppliedInDouble)
{
    // 0.4f * 7 * 3 * 3 in floats gives 25.1999989 and with the double 0.4 and
    // mass 1 it gives 3.5999999; only the float 0.4 in double gives both of these.
    PhysicalObject heavy(partOfRadius(3.0f));
    heavy.mass = 7.0f;
    heavy.updateInertia();
    EXPECT_EQ(heavy.inertia[0], 25.200000762939453f);

    PhysicalObject light(partOfRadius(3.0f));
    light.updateInertia();
    EXPECT_EQ(light.inertia[0], 3.6000001430511475f);
}

TEST(PhysicalObjectInertia, MassZeroLeavesTheMatricesAlone)
{
    PhysicalObject body(partOfRadius(2.0f));
    body.updateInertia();
    const Matrix4 inertia = body.inertia;
    const Matrix4 inverse = body.inverseInertia;
    body.mass = 0.0f;
    body.updateInertia();
    EXPECT_EQ(body.inertia, inertia);
    EXPECT_EQ(body.inverseInertia, inverse);
}

TEST(PhysicalObjectInertia, ZeroRadiusCannotBeInverted)
{
    PhysicalObject body(partOfRadius(0.0f));
    try {
        body.updateInertia();
        FAIL() << "a zero inertia was inverted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not invert the matrix");
    }
}

} // namespace
} // namespace Tolvane::Physics
