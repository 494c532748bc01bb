// Quaternion products and conversions.
#include "math/Quaternion.h"

#include <cmath>

namespace Tolvane::Math {

namespace {
// Squared length under which safeDirection gives up on the input's own direction.
constexpr float directionlessSquaredLength = 1e-9f;
} // namespace

Quaternion& Quaternion::operator*=(const Quaternion& b)
{
    *this = *this * b;
    return *this;
}

Quaternion fromAxisAngle(const Vector3& axis, float angle)
{
    const float h = angle * 0.5f;
    // Sine and cosine are taken in double and rounded once to float, which
    // gives the same bits in every build.
    const float s = static_cast<float>(std::sin(static_cast<double>(h)));
    const float c = static_cast<float>(std::cos(static_cast<double>(h)));
    return {c, s * axis.x, s * axis.y, s * axis.z};
}

Vector3 safeDirection(const Vector3& v)
{
    Vector3 direction = v;
    if (v.squaredLength() < directionlessSquaredLength)
        direction = Vector3(0.0f, 0.0f, 1.0f);
    direction.normalize();
    return direction;
}

Quaternion fromRotationVector(const Vector3& v)
{
    const float angle = std::sqrt(v.squaredLength());
    return fromAxisAngle(safeDirection(v), angle);
}

Axes toAxes(const Quaternion& q)
{
    const float w = q.w, x = q.x, y = q.y, z = q.z;
    Axes axes;
    axes.xAxis = {1.0f - 2.0f * (y * y + z * z), 2.0f * (x * y + w * z), 2.0f * (x * z - w * y)};
    axes.yAxis = {2.0f * (x * y - w * z), 1.0f - 2.0f * (x * x + z * z), 2.0f * (y * z + w * x)};
    axes.zAxis = {2.0f * (x * z + w * y), 2.0f * (y * z - w * x), 1.0f - 2.0f * (x * x + y * y)};
    axes.xAxis.normalize();
    axes.yAxis.normalize();
    axes.zAxis.normalize();
    return axes;
}

Matrix4 toMatrix(const Quaternion& q)
{
    const Axes axes = toAxes(q);
    Matrix4 m;
    m[0] = axes.xAxis.x;
    m[1] = axes.xAxis.y;
    m[2] = axes.xAxis.z;
    m[3] = 0.0f;
    m[4] = axes.yAxis.x;
    m[5] = axes.yAxis.y;
    m[6] = axes.yAxis.z;
    m[7] = 0.0f;
    m[8] = axes.zAxis.x;
    m[9] = axes.zAxis.y;
    m[10] = axes.zAxis.z;
    m[11] = 0.0f;
    m[12] = 0.0f;
    m[13] = 0.0f;
    m[14] = 0.0f;
    m[15] = 1.0f;
    return m;
}

} // namespace Tolvane::Math
