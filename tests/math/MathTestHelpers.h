// Comparisons shared by the math tests.
#pragma once

#include "math/Vector3.h"

#include <gtest/gtest.h>

namespace Tolvane::Math::Testing {

constexpr float halfPi = 1.57079632679489661923f;
// Rotations by a quarter turn come out within a few float steps of the exact image.
constexpr float rotationTolerance = 1e-6f;

inline void expectNear(const Vector3& actual, const Vector3& expected)
{
    EXPECT_NEAR(actual.x, expected.x, rotationTolerance);
    EXPECT_NEAR(actual.y, expected.y, rotationTolerance);
    EXPECT_NEAR(actual.z, expected.z, rotationTolerance);
}

} // namespace Tolvane::Math::Testing
