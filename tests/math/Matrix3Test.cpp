// Matrix3: agreement with the quaternion rotation, products, and the inverse of inertia-like matrices.
#include "math/Matrix3.h"
#include "math/Transform.h"

#include "MathTestHelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace Tolvane::Math;
using namespace Tolvane::Math::Testing;

namespace {

// Products of a few float operations on values near 1 agree to this.
constexpr float productTolerance = 1e-5f;

void expectMatrixNear(const Matrix3& actual, const Matrix3& expected, float tolerance)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(actual(r, c), expected(r, c), tolerance) << "row " << r << " column " << c;
}

const Quaternion turns[] = {fromAxisAngle({1, 0, 0}, 0.3f), fromAxisAngle(normalized({1, 2, 3}), 2.1f),
                            fromAxisAngle(normalized({-2, 1, 0.5f}), -1.2f), Quaternion()};

} // namespace

TEST(Matrix3, QuaternionMatrixMatchesTheTransformRotation)
{
    const Vector3 v(0.7f, -1.3f, 2.0f);
    for (const Quaternion& q : turns) {
        const Matrix3 m = toMatrix3(q);
        Transform pose({}, q);
        expectNear(m * v, pose.rotate(v));
        // The columns are those of the 4x4 rotation matrix, bit for bit.
        const Matrix4 m4 = toMatrix(q);
        for (int c = 0; c < 3; ++c)
            for (int r = 0; r < 3; ++r)
                EXPECT_EQ(m(r, c), m4[c * 4 + r]);
    }
}

TEST(Matrix3, RotationProductsAndTransposes)
{
    const Quaternion a = turns[1];
    const Quaternion b = turns[2];
    expectMatrixNear(toMatrix3(a) * toMatrix3(b), toMatrix3(a * b), productTolerance);
    expectMatrixNear(transpose(toMatrix3(a)) * toMatrix3(a), Matrix3::identity(), productTolerance);
    expectMatrixNear(transposeTimes(toMatrix3(a), toMatrix3(b)), transpose(toMatrix3(a)) * toMatrix3(b),
                     0.0f);
    const Vector3 v(3.0f, -1.0f, 0.25f);
    expectNear(transposeTimes(toMatrix3(a), toMatrix3(a) * v), v);
}

TEST(Matrix3, InverseOfInertiaTensorsUndoesThem)
{
    // A box's inertia turned off its axes, and a badly scaled but still usable diagonal.
    const Matrix3 r = toMatrix3(turns[1]);
    const Matrix3 box = r * Matrix3::diagonal(2.0f, 5.0f, 0.5f) * transpose(r);
    const Matrix3 cases[] = {box, Matrix3::diagonal(1e-3f, 1.0f, 40.0f), Matrix3::identity()};
    for (const Matrix3& m : cases) {
        Matrix3 inverse;
        ASSERT_TRUE(invertSymmetricPositiveDefinite(m, inverse));
        expectMatrixNear(m * inverse, Matrix3::identity(), productTolerance);
        EXPECT_EQ(inverse, transpose(inverse));
    }
}

TEST(Matrix3, SingularOrBrokenMatricesGiveTheZeroMatrixAndFalse)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Matrix3 cases[] = {
        Matrix3::zero(),
        Matrix3::diagonal(1.0f, 1.0f, 0.0f),
        Matrix3::diagonal(1.0f, -2.0f, 1.0f),
        Matrix3::diagonal(1.0f, 1e-9f, 1.0f), // lost in the rounding of the others
        outer({1, 2, 3}, {1, 2, 3}),          // rank one
        {{1, 2, 0}, {2, 1, 0}, {0, 0, 1}},    // symmetric but indefinite
        Matrix3::diagonal(nan, 1.0f, 1.0f),
        Matrix3::diagonal(inf, 1.0f, 1.0f),
        Matrix3::diagonal(1e-30f, 1e-30f, 1e-30f) * 1e-15f, // so small its inverse overflows
    };
    for (const Matrix3& m : cases) {
        Matrix3 inverse = Matrix3::identity();
        EXPECT_FALSE(invertSymmetricPositiveDefinite(m, inverse));
        EXPECT_EQ(inverse, Matrix3::zero());
    }
}
