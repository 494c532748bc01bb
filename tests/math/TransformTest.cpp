// Transform: the dirty flag, the lazily rebuilt rotation and turning about world or own axes.
#include "math/Transform.h"

#include "MathTestHelpers.h"

#include <gtest/gtest.h>

using namespace Tolvane::Math;
using namespace Tolvane::Math::Testing;

namespace {

} // namespace

TEST(Transform, DefaultIsCleanIdentity)
{
    Transform t;
    EXPECT_FALSE(t.dirty);
    EXPECT_EQ(t.position, Vector3());
    EXPECT_EQ(t.orientation, Quaternion());
    EXPECT_EQ(t.rotation, Matrix4());
}

TEST(Transform, RotationIsRebuiltOnlyWhenDirty)
{
    const Quaternion quarterAboutY = fromAxisAngle({0, 1, 0}, halfPi);
    Transform t({5, 6, 7}, quarterAboutY);
    EXPECT_TRUE(t.dirty);
    EXPECT_EQ(t.rotation, Matrix4());

    // rotate refreshes the cache and ignores the position.
    expectNear(t.rotate({1, 0, 0}), {0, 0, -1});
    EXPECT_FALSE(t.dirty);
    EXPECT_EQ(t.rotation, toMatrix(quarterAboutY));

    t.orientation = Quaternion();
    t.dirty = true;
    t.refresh();
    EXPECT_FALSE(t.dirty);
    EXPECT_EQ(t.rotation, Matrix4());
}

TEST(Transform, AxesAreColumnsOfFreshRotation)
{
    Transform t({}, fromAxisAngle({0, 0, 1}, halfPi));
    const Axes axes = t.axes();
    EXPECT_FALSE(t.dirty);
    expectNear(axes.xAxis, {0, 1, 0});
    expectNear(axes.yAxis, {-1, 0, 0});
    expectNear(axes.zAxis, {0, 0, 1});
    EXPECT_NEAR(axes.xAxis.length(), 1.0f, rotationTolerance);
}

TEST(Transform, RotateWorldAndRotateLocalDifferOnceTurned)
{
    const Vector3 quarterAboutX(halfPi, 0, 0);
    Transform world;
    Transform local;
    world.rotateWorld(quarterAboutX);
    local.rotateLocal(quarterAboutX);
    EXPECT_TRUE(world.dirty);
    EXPECT_EQ(world.orientation, local.orientation);

    // Start turned a quarter about z, so the body's own x axis is the world's y.
    const Quaternion turned = fromAxisAngle({0, 0, 1}, halfPi);
    world = Transform({}, turned);
    local = Transform({}, turned);
    world.rotateWorld(quarterAboutX);
    local.rotateLocal(quarterAboutX);
    expectNear(world.rotate({1, 0, 0}), {0, 0, 1});
    expectNear(local.rotate({1, 0, 0}), {0, 1, 0});
    expectNear(local.rotate({0, 1, 0}), {0, 0, 1});
}
