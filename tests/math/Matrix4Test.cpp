// Matrix4: applying it to points and the Gauss-Jordan inversion with its pivot rule.
#include "math/Matrix4.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using Tolvane::Math::Matrix4;
using Tolvane::Math::Vector3;

namespace {

Matrix4 fromGroups(std::initializer_list<float> values)
{
    Matrix4 m;
    int i = 0;
    for (float v : values)
        m[i++] = v;
    return m;
}

// Column-major product: element (r, c) at index 4c + r.
Matrix4 product(const Matrix4& a, const Matrix4& b)
{
    Matrix4 p;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k)
                sum += a[4 * k + r] * b[4 * c + k];
            p[4 * c + r] = sum;
        }
    return p;
}

void expectNearIdentity(const Matrix4& m)
{
    const Matrix4 identity;
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(m[i], identity[i], 1e-6f) << "element " << i;
}

std::string inversionError(Matrix4& m)
{
    try {
        m.invert();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

} // namespace

TEST(Matrix4, DefaultIsIdentityAndPointsTakeTranslation)
{
    Matrix4 m = Matrix4::diagonal(2, 3, 4, 1);
    EXPECT_EQ(Matrix4(), Matrix4::diagonal(1, 1, 1, 1));
    m[12] = 10;
    m[13] = 20;
    m[14] = 30;
    m[4] = 1; // row 0, column 1: x picks up y
    EXPECT_EQ(transformPoint(m, {1, 1, 1}), Vector3(13, 23, 34));
}

TEST(Matrix4, InvertsDiagonalExactly)
{
    Matrix4 m = Matrix4::diagonal(2, 2, 2, 1);
    m.invert();
    EXPECT_EQ(m, Matrix4::diagonal(0.5f, 0.5f, 0.5f, 1));
}

TEST(Matrix4, ExchangesGroupsWhenFirstDiagonalIsZero)
{
    const Matrix4 swapXY = fromGroups({0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
    Matrix4 inverse = swapXY;
    inverse.invert();
    EXPECT_EQ(inverse, swapXY);

    const Matrix4 general = fromGroups({0, 2, 1, 0, 1, 0, 3, 0, 4, 1, 0, 0, 1, 2, 3, 1});
    inverse = general;
    inverse.invert();
    expectNearIdentity(product(general, inverse));
    expectNearIdentity(product(inverse, general));
}

TEST(Matrix4, LastCandidateAboveDiagonalBecomesPivot)
{
    // Element 0 of the groups is 0.5, 3, 2, 0: both 3 and 2 beat the diagonal 0.5,
    // and the later one, group 2, is the pivot although group 1 is larger. The two
    // choices round differently; pivoting on group 1 would give -0x1.99999cp-2 and
    // 0x1.99999ap-3 in elements 0 and 1.
    Matrix4 m = fromGroups({0.5f, -2, 1, 0, 3, -1, 2, 0, 2, -2, 0, 0, 0, 0, 0, 1});
    const Matrix4 original = m;
    m.invert();
    const Matrix4 expected =
        fromGroups({-0x1.99999ap-2f, 0x1.999998p-3f, 0x1.333334p-2f, 0, -0x1.99999ap-2f, 0x1.999998p-3f,
                    -0x1.999998p-3f, 0, 0x1.99999ap-2f, 0x1.333334p-2f, -0x1.19999ap-1f, 0, 0, 0, 0, 1});
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(m[i], expected[i]) << "element " << i;
    expectNearIdentity(product(original, m));
}

TEST(Matrix4, ZeroPivotThrowsAndLeavesMatrixUnchanged)
{
    const Matrix4 zeroGroup = fromGroups({1, 2, 3, 4, 0, 0, 0, 0, 5, 6, 7, 8, 9, 1, 2, 3});
    Matrix4 m = zeroGroup;
    EXPECT_EQ(inversionError(m), "Could not invert the matrix");
    EXPECT_EQ(m, zeroGroup);

    // Groups 0 and 1 are parallel: the zero pivot only shows after one elimination
    // step, when the working copy has already changed.
    const Matrix4 dependent = fromGroups({1, 2, 0, 0, 2, 4, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
    m = dependent;
    EXPECT_EQ(inversionError(m), "Could not invert the matrix");
    EXPECT_EQ(m, dependent);

    // No tolerance: a tiny but non-zero pivot is inverted.
    Matrix4 tiny = Matrix4::diagonal(1e-30f, 1, 1, 1);
    tiny.invert();
    EXPECT_EQ(tiny[0], 1.0f / 1e-30f);
}
