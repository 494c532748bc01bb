// Matrix3 from a quaternion and the symmetric positive definite inverse.
#include "math/Matrix3.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Math {

namespace {
// A Cholesky pivot at or below this fraction of the largest diagonal element is
// lost in the rounding of that element (float keeps about 7 digits), so the
// matrix counts as singular.
constexpr float singularPivotRatio = 1e-6f;

bool allFinite(const Matrix3& m)
{
    for (const Vector3& c : m.column)
        if (!std::isfinite(c.x) || !std::isfinite(c.y) || !std::isfinite(c.z))
            return false;
    return true;
}
} // namespace

Matrix3 toMatrix3(const Quaternion& q)
{
    const Axes axes = toAxes(q);
    return {axes.xAxis, axes.yAxis, axes.zAxis};
}

// m = L L^T with L lower triangular, then m^-1 = L^-T L^-1. Every pivot must
// stand clear of the rounding of the largest diagonal element; the divisions
// are by square roots of such pivots only.
bool invertSymmetricPositiveDefinite(const Matrix3& m, Matrix3& inverse)
{
    inverse = Matrix3::zero();
    if (!allFinite(m))
        return false;
    const float largest = std::max(m(0, 0), std::max(m(1, 1), m(2, 2)));
    if (!(largest > 0.0f))
        return false;
    const float smallestPivot = singularPivotRatio * largest;

    const float pivot0 = m(0, 0);
    if (!(pivot0 > smallestPivot) || !(pivot0 > 0.0f))
        return false;
    const float l00 = std::sqrt(pivot0);
    const float l10 = m(1, 0) / l00;
    const float l20 = m(2, 0) / l00;
    const float pivot1 = m(1, 1) - l10 * l10;
    if (!(pivot1 > smallestPivot) || !(pivot1 > 0.0f))
        return false;
    const float l11 = std::sqrt(pivot1);
    const float l21 = (m(2, 1) - l20 * l10) / l11;
    const float pivot2 = m(2, 2) - l20 * l20 - l21 * l21;
    if (!(pivot2 > smallestPivot) || !(pivot2 > 0.0f))
        return false;
    const float l22 = std::sqrt(pivot2);

    // L^-1 by forward substitution, column by column.
    const float i00 = 1.0f / l00;
    const float i11 = 1.0f / l11;
    const float i22 = 1.0f / l22;
    const float i10 = -l10 * i00 / l11;
    const float i21 = -l21 * i11 / l22;
    const float i20 = -(l20 * i00 + l21 * i10) / l22;

    Matrix3 result;
    result(0, 0) = i00 * i00 + i10 * i10 + i20 * i20;
    result(1, 1) = i11 * i11 + i21 * i21;
    result(2, 2) = i22 * i22;
    result(1, 0) = result(0, 1) = i10 * i11 + i20 * i21;
    result(2, 0) = result(0, 2) = i20 * i22;
    result(2, 1) = result(1, 2) = i21 * i22;
    if (!allFinite(result))
        return false;
    inverse = result;
    return true;
}

} // namespace Tolvane::Math
