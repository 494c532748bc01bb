// How the solver response moves single bodies: a turned bar takes a twist about
// its world inertia, a free spin keeps its orientation a rotation, a tilted bar
// lands without sinking, and a falling cube meets the floor in the step its
// predicted fall reaches it; bodies apart move as each would alone.
#include "BoxModels.h"
#include "physics/PhysicalUniverse.h"
#include "physics/solver/SolverConstants.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace Tolvane::Physics {
namespace {

using Math::Vector3;

constexpr float timeStep = 0.025f;
constexpr float gravityY = -9.81f;
/// The bar's half extents: 6 × 1 × 2, no two alike, so its inertia is too.
const Vector3 barHalf(3.0f, 0.5f, 1.0f);

class SolverMotion : public ::testing::Test {
  protected:
    void SetUp() override
    {
        PhysicalUniverse::reset();
        PhysicalUniverse::addCollisionSet(set_);
    }
    void TearDown() override { PhysicalUniverse::reset(); }

    /// A movable body of mass 1 on the given model, in the one registered set.
    std::shared_ptr<PhysicalObject> add(const std::shared_ptr<PhysicalModel>& model, const Vector3& position,
                                        bool fixed = false)
    {
        auto body = std::make_shared<PhysicalObject>(model);
        body->transform.position = position;
        body->fixed = fixed;
        set_->addBody(body);
        return body;
    }

    /// A fixed slab 40 wide whose top face is at y = 0.
    void addFloor() { add(Testing::boxPart({-20.0f, -1.0f, -20.0f}, {20.0f, 0.0f, 20.0f}), Vector3(), true); }

    std::shared_ptr<CollisionSet> set_ = std::make_shared<CollisionSet>();
};

/// Rotation matrix of a unit quaternion, in double precision: row r, column c.
void rotationOf(const Math::Quaternion& q, double m[3][3])
{
    const double w = q.w, x = q.x, y = q.y, z = q.z;
    m[0][0] = 1 - 2 * (y * y + z * z);
    m[0][1] = 2 * (x * y - w * z);
    m[0][2] = 2 * (x * z + w * y);
    m[1][0] = 2 * (x * y + w * z);
    m[1][1] = 1 - 2 * (x * x + z * z);
    m[1][2] = 2 * (y * z - w * x);
    m[2][0] = 2 * (x * z - w * y);
    m[2][1] = 2 * (y * z + w * x);
    m[2][2] = 1 - 2 * (x * x + y * y);
}

TEST_F(SolverMotion, TurnedBarTakesATwistAboutItsWorldInertia)
{
    // A solid box's inertia per unit mass about its centre is
    // (b² + c², a² + c², a² + b²) / 3 for half extents a, b, c. Turned by R, the
    // world inverse inertia is R I⁻¹ Rᵀ; a torque held over one step then
    // gives ω = R I⁻¹ Rᵀ τ dt, worked out here apart from the engine.
    auto bar = add(Testing::boxPart(-barHalf, barHalf), Vector3(0.0f, 10.0f, 0.0f));
    const Math::Quaternion turn = Math::fromAxisAngle(Math::normalized(Vector3(1.0f, 2.0f, 3.0f)), 0.7f);
    bar->transform.orientation = turn;
    // Struck off-centre: a push along z at the end of the bar's long axis.
    const Vector3 push(0.0f, 0.0f, 20.0f);
    const Vector3 lever = Math::toAxes(bar->transform.orientation).xAxis * barHalf.x;
    bar->force = push;
    bar->torque = cross(lever, push);
    PhysicalUniverse::step();

    const double a2 = barHalf.x * barHalf.x, b2 = barHalf.y * barHalf.y, c2 = barHalf.z * barHalf.z;
    const double inverseInertia[3] = {3.0 / (b2 + c2), 3.0 / (a2 + c2), 3.0 / (a2 + b2)};
    // The twist is taken about the bar as it stood at the step's start.
    double r[3][3];
    rotationOf(turn, r);
    const Vector3 applied = cross(lever, push);
    const double torque[3] = {applied.x, applied.y, applied.z};
    double expected[3] = {0.0, 0.0, 0.0};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                expected[i] += r[i][k] * inverseInertia[k] * r[j][k] * torque[j] * timeStep;
    const double length =
        std::sqrt(expected[0] * expected[0] + expected[1] * expected[1] + expected[2] * expected[2]);
    ASSERT_GT(length, 0.1);
    EXPECT_NEAR(bar->angularVelocity.x, expected[0], 1e-4 * length);
    EXPECT_NEAR(bar->angularVelocity.y, expected[1], 1e-4 * length);
    EXPECT_NEAR(bar->angularVelocity.z, expected[2], 1e-4 * length);
    EXPECT_NEAR(bar->velocity.z, push.z * timeStep, 1e-6f);
}

TEST_F(SolverMotion, TiltedBarLandsOnTheFloorWithoutSinking)
{
    addFloor();
    PhysicalUniverse::gravity = Vector3(0.0f, gravityY, 0.0f);
    auto bar = add(Testing::boxPart(-barHalf, barHalf), Vector3(0.0f, 5.0f, 0.0f));
    bar->transform.orientation = Math::fromAxisAngle(Math::normalized(Vector3(1.0f, 0.5f, 2.0f)), 0.6f);
    float deepest = 0.0f;
    for (int step = 0; step < 200; ++step) {
        PhysicalUniverse::step();
        const Math::Axes axes = Math::toAxes(bar->transform.orientation);
        // The lowest corner: each axis's half extent taken downwards.
        const float lowest = bar->transform.position.y - std::fabs(axes.xAxis.y) * barHalf.x -
                             std::fabs(axes.yAxis.y) * barHalf.y - std::fabs(axes.zAxis.y) * barHalf.z;
        deepest = std::max(deepest, -lowest);
    }
    EXPECT_LE(deepest, 0.005f);
    EXPECT_TRUE(bar->solverMemory.asleep);
}

TEST_F(SolverMotion, FreeSpinKeepsItsOrientationAUnitQuaternion)
{
    // Thousands of small turns, each rounded: without being brought back to
    // unit length every step the quaternion would grow without bound.
    auto cube = add(Testing::cubePart(), Vector3());
    cube->angularVelocity = Vector3(3.0f, 5.0f, 7.0f);
    for (int step = 0; step < 4000; ++step)
        PhysicalUniverse::step();
    const Math::Quaternion& q = cube->transform.orientation;
    EXPECT_NEAR(std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z), 1.0f, 1e-5f);
    EXPECT_FALSE(cube->solverMemory.asleep);
}

TEST_F(SolverMotion, PushedCubeMeetsAnotherInTheStepItsPredictedMotionReachesIt)
{
    // The contact margin covers what the step's motion can close: the pair's
    // approach at the speed the push gives the cube over the step (not the
    // speed it has at the start, none), and as much again for each body for
    // how hard it may be struck. A gap wider than the start speed's margin but
    // within the predicted one is found in this step, not the next.
    const float push = 16.0f;
    const float predicted = push * timeStep;
    const float marginNow = speculativeDistance + (0.0f + 2.0f * predicted) * timeStep;
    const float marginPredicted = speculativeDistance + (predicted + 2.0f * predicted) * timeStep;
    const float gap = 0.5f * (marginNow + marginPredicted);
    add(Testing::cubePart(), Vector3());
    auto pushed = add(Testing::cubePart(), Vector3(2.0f + gap, 0.0f, 0.0f));
    pushed->force = Vector3(-push, 0.0f, 0.0f);
    PhysicalUniverse::step();
    EXPECT_EQ(PhysicalUniverse::contactStatistics().manifolds, 1);
    EXPECT_GE(PhysicalUniverse::contactStatistics().contactPoints, 4);
}

TEST_F(SolverMotion, SpinningCubesApartMoveAsEachAlone)
{
    // Eleven cubes far apart, each falling and spinning its own way: bodies
    // that touch nothing are moved a run of eight at a time and the rest one
    // by one, and each must end exactly where it ends as the only body.
    constexpr int cubes = 11;
    constexpr int steps = 30;
    const auto launch = [this](int k) {
        const auto f = static_cast<float>(k);
        auto cube = add(Testing::cubePart(), Vector3(10.0f * f, 0.0f, 0.0f));
        cube->velocity = Vector3(0.1f * f, 1.0f, -0.2f * f);
        cube->angularVelocity = Vector3(f + 1.0f, 2.0f - f, 0.5f * f);
        return cube;
    };
    PhysicalUniverse::gravity = Vector3(0.0f, gravityY, 0.0f);
    std::vector<std::shared_ptr<PhysicalObject>> together;
    for (int k = 0; k < cubes; ++k)
        together.push_back(launch(k));
    for (int step = 0; step < steps; ++step)
        PhysicalUniverse::step();
    for (int k = 0; k < cubes; ++k) {
        PhysicalUniverse::reset();
        set_ = std::make_shared<CollisionSet>();
        PhysicalUniverse::addCollisionSet(set_);
        PhysicalUniverse::gravity = Vector3(0.0f, gravityY, 0.0f);
        auto alone = launch(k);
        for (int step = 0; step < steps; ++step)
            PhysicalUniverse::step();
        EXPECT_EQ(alone->transform.orientation, together[k]->transform.orientation) << "cube " << k;
        EXPECT_EQ(alone->transform.position, together[k]->transform.position) << "cube " << k;
        EXPECT_EQ(alone->angularVelocity, together[k]->angularVelocity) << "cube " << k;
    }
    // They turned, far from where they started.
    EXPECT_LT(std::fabs(together[3]->transform.orientation.w), 0.99f);
}

} // namespace
} // namespace Tolvane::Physics
