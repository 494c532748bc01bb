// Quaternion products, conversions from axis and angle, and the rotation matrix.
#include "math/Quaternion.h"
#include "math/Transform.h"

#include "MathTestHelpers.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace Tolvane::Math;
using namespace Tolvane::Math::Testing;

namespace {

void expectBits(const Quaternion& actual, const Quaternion& expected)
{
    EXPECT_EQ(actual.w, expected.w);
    EXPECT_EQ(actual.x, expected.x);
    EXPECT_EQ(actual.y, expected.y);
    EXPECT_EQ(actual.z, expected.z);
}

Vector3 apply(const Quaternion& q, const Vector3& v)
{
    return Transform({}, q).rotate(v);
}

} // namespace

TEST(Quaternion, HamiltonProductOfUnitAxes)
{
    const Quaternion i(0, 1, 0, 0), j(0, 0, 1, 0), k(0, 0, 0, 1);
    expectBits(i * j, k);
    expectBits(j * i, {0, 0, 0, -1});
    expectBits(j * k, i);
    expectBits(k * i, j);
    expectBits(i * i, {-1, 0, 0, 0});
    expectBits(Quaternion(1, 2, 3, 4) * Quaternion(5, 6, 7, 8), {-60, 12, 30, 24});
}

TEST(Quaternion, ProductRotatesByRightOperandFirst)
{
    const Quaternion aboutX = fromAxisAngle({1, 0, 0}, halfPi);
    const Quaternion aboutZ = fromAxisAngle({0, 0, 1}, halfPi);
    const Vector3 v(1, 0, 0);

    // z turns x into y, then x turns y into z.
    expectNear(apply(aboutX * aboutZ, v), {0, 0, 1});
    expectNear(apply(aboutX * aboutZ, v), apply(aboutX, apply(aboutZ, v)));
    expectNear(apply(aboutZ * aboutX, v), {0, 1, 0});

    Quaternion q = aboutX;
    q *= aboutZ;
    expectBits(q, aboutX * aboutZ);
}

TEST(Quaternion, AxisAngleAndRotationVector)
{
    expectNear(apply(fromAxisAngle({0, 1, 0}, halfPi), {1, 0, 0}), {0, 0, -1});
    expectBits(fromRotationVector({0, 0, 0}), {1, 0, 0, 0});
    expectBits(fromRotationVector({0, halfPi, 0}), fromAxisAngle({0, 1, 0}, halfPi));
    expectBits(fromRotationVector({0, 0, -2 * halfPi}), fromAxisAngle({0, 0, -1}, 2 * halfPi));
}

TEST(Quaternion, SafeDirectionFallsBackToZAxisBelowItsOwnThreshold)
{
    // 3e-5 squared is below 1e-9 but far above the normalization threshold 1e-10:
    // safeDirection must not use the vector's own direction, nor throw.
    EXPECT_EQ(safeDirection({0, 3e-5f, 0}), Vector3(0, 0, 1));
    EXPECT_EQ(safeDirection({0, 0, 0}), Vector3(0, 0, 1));
    EXPECT_EQ(safeDirection({0, 4e-5f, 0}), Vector3(0, 1, 0));
    EXPECT_EQ(safeDirection({0, 0, -3}), Vector3(0, 0, -1));
}

TEST(Quaternion, MatrixColumnsAreImagesOfAxes)
{
    EXPECT_EQ(toMatrix({1, 0, 0, 0}), Matrix4());

    const Matrix4 m = toMatrix(fromAxisAngle({0, 0, 1}, halfPi));
    expectNear({m[0], m[1], m[2]}, {0, 1, 0});
    expectNear({m[4], m[5], m[6]}, {-1, 0, 0});
    expectNear({m[8], m[9], m[10]}, {0, 0, 1});
    for (int i : {3, 7, 11, 12, 13, 14})
        EXPECT_EQ(m[i], 0.0f) << "element " << i;
    EXPECT_EQ(m[15], 1.0f);

    const Axes axes = toAxes(fromAxisAngle({0, 0, 1}, halfPi));
    EXPECT_EQ(axes.xAxis, Vector3(m[0], m[1], m[2]));
    EXPECT_EQ(axes.zAxis, Vector3(m[8], m[9], m[10]));
}

TEST(Quaternion, FarFromUnitOrientationHasVanishingAxis)
{
    try {
        toMatrix({0, 0, 0.5f, 0.5f});
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Trying to normalize a zero length vector");
    }
}
