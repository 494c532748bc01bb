// Vector3's arithmetic, its two guarded operations and the int point type.
#include "math/Vector3.h"
#include "math/Point2.h"

#include <gtest/gtest.h>

#include <cmath>

#include <stdexcept>
#include <string>

using namespace Tolvane::Math;

namespace {

// Runs f, which must throw std::runtime_error, and returns the message.
template <typename F> std::string runtimeErrorOf(F f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

void expectBits(const Vector3& actual, const Vector3& expected)
{
    EXPECT_EQ(actual.x, expected.x);
    EXPECT_EQ(actual.y, expected.y);
    EXPECT_EQ(actual.z, expected.z);
}

} // namespace

TEST(Vector3, ArithmeticComponentwise)
{
    const Vector3 a(1, 2, 3);
    const Vector3 b(4, -5, 6);
    expectBits(a + b, {5, -3, 9});
    expectBits(a - b, {-3, 7, -3});
    expectBits(a * 2.0f, {2, 4, 6});
    expectBits(b / 2.0f, {2, -2.5f, 3});
    EXPECT_EQ(dot(a, b), 12.0f);
    expectBits(cross({1, 0, 0}, {0, 1, 0}), {0, 0, 1});
    expectBits(cross({0, 1, 0}, {1, 0, 0}), {0, 0, -1});
    expectBits(cross(a, b), {27, 6, -13});
    Vector3 c = a;
    c *= -1.0f;
    expectBits(c, {-1, -2, -3});
    EXPECT_EQ(Vector3(0, 3, 4).length(), 5.0f);
}

TEST(Vector3, DivisionByZeroFollowsIeee)
{
    const Vector3 v = Vector3(1, -1, 0) / 0.0f;
    EXPECT_TRUE(std::isinf(v.x) && v.x > 0);
    EXPECT_TRUE(std::isinf(v.y) && v.y < 0);
    EXPECT_TRUE(std::isnan(v.z));
}

TEST(Vector3, ZeroThresholdIsOnSquaredLengthInFloat)
{
    // (1e-5)^2 rounds to just below the float 1e-10, so 1e-5 still counts as zero.
    EXPECT_TRUE(Vector3(0, 0, 0).isZero());
    EXPECT_TRUE(Vector3(1e-5f, 0, 0).isZero());
    EXPECT_FALSE(Vector3(2e-5f, 0, 0).isZero());
    EXPECT_FALSE(Vector3(0, 0, 1e-4f).isZero());
}

TEST(Vector3, NormalizeRejectsVectorsShorterThanThreshold)
{
    for (const Vector3& tiny :
         {Vector3(0, 0, 0), Vector3(1e-6f, 0, 0), Vector3(1e-5f, 0, 0), Vector3(0, -1e-5f, 0)}) {
        Vector3 v = tiny;
        EXPECT_EQ(runtimeErrorOf([&] { v.normalize(); }), "Trying to normalize a zero length vector");
        expectBits(v, tiny);
    }
    Vector3 justLongEnough(2e-5f, 0, 0);
    justLongEnough.normalize();
    expectBits(justLongEnough, {1, 0, 0});

    // Squared length exactly at the threshold: not zero, so it is divided.
    Vector3 onThreshold(1e-5f, 0, 1.86264537e-9f);
    ASSERT_EQ(onThreshold.squaredLength(), Tolvane::Math::zeroSquaredLength);
    EXPECT_FALSE(onThreshold.isZero());
    const float length = std::sqrt(onThreshold.squaredLength());
    const Vector3 expected(1e-5f / length, 0, 1.86264537e-9f / length);
    onThreshold.normalize();
    expectBits(onThreshold, expected);
}

TEST(Vector3, NormalizeDividesBySquareRootOfRoundedSquaredLength)
{
    Vector3 v(0, 3, 4);
    v.normalize();
    expectBits(v, {0, 0.6f, 0.8f});

    Vector3 unit(1, 0, 0);
    unit.normalize();
    expectBits(unit, {1, 0, 0});

    Vector3 negative(0, 0, -7);
    negative.normalize();
    expectBits(negative, {0, 0, -1});
}

TEST(Vector3, NormalizeLeavesOnlyTheFloatJustBelowOneAlone)
{
    // 0.352^2 + 0.936^2 rounds to 1 - 2^-24, the one squared length inside the
    // window: the vector keeps its bits although dividing would change them.
    Vector3 inWindow(0.352f, 0.936f, 0);
    ASSERT_EQ(inWindow.squaredLength(), 1.0f - 0x1p-24f);
    inWindow.normalize();
    expectBits(inWindow, {0.352f, 0.936f, 0});

    // 0.99999994^2 rounds to 1 - 2^-23, the excluded lower bound: the vector is
    // divided by sqrt, which rounds to 0.99999994, and becomes exactly (1, 0, 0).
    Vector3 onLowerBound(0.99999994f, 0, 0);
    ASSERT_EQ(onLowerBound.squaredLength(), 1.0f - 0x1p-23f);
    onLowerBound.normalize();
    expectBits(onLowerBound, {1, 0, 0});
}

TEST(Vector3, SetLengthScalesDirection)
{
    Vector3 v(0, 0, 5);
    v.setLength(2);
    expectBits(v, {0, 0, 2});

    Vector3 w(3, 0, -4);
    w.setLength(10);
    expectBits(w, {6, 0, -8});

    // Each component is divided by the length first and then scaled; scaling first
    // (or dividing the length by the old one) rounds to 0x1.0f876ep+1 here.
    Vector3 diagonal(1, 1, 0);
    diagonal.setLength(3);
    expectBits(diagonal, {0x1.0f876cp+1f, 0x1.0f876cp+1f, 0});

    for (const Vector3& tiny : {Vector3(0, 0, 0), Vector3(0, 1e-5f, 0)}) {
        Vector3 t = tiny;
        EXPECT_EQ(runtimeErrorOf([&] { t.setLength(2); }), "Trying to set length of a zero length vector");
        expectBits(t, tiny);
    }
}

TEST(Point2Tmpl, SubtractsComponentwiseInIntegers)
{
    const Point2Tmpl<int, 0> d = Point2Tmpl<int, 0>(10, 20) - Point2Tmpl<int, 0>(15, 5);
    EXPECT_EQ(d.x, -5);
    EXPECT_EQ(d.y, 15);
    const Point2Tmpl<int, 0> origin;
    EXPECT_EQ(origin.x, 0);
    EXPECT_EQ(origin.y, 0);
}
