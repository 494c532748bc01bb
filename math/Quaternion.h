// Unit quaternions, the orientation of every posed thing.
#pragma once

#include "math/Matrix4.h"
#include "math/Vector3.h"

namespace Tolvane::Math {

/// Fields w, x, y, z; the identity is (1, 0, 0, 0). Rotation quaternions stay
/// unit length by construction; nothing renormalizes them.
struct Quaternion {
    float w = 1.0f;
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    constexpr Quaternion() = default;
    constexpr Quaternion(float w, float x, float y, float z) : w(w), x(x), y(y), z(z) {}

    /// a *= b is a = a * b: the right operand multiplies from the right.
    Quaternion& operator*=(const Quaternion& b);
};

/// The images of the x, y and z axes under a rotation, each unit length.
struct Axes {
    Vector3 xAxis;
    Vector3 yAxis;
    Vector3 zAxis;
};

/// Hamilton product. Applying a * b to a vector rotates by b first, then by a.
/// Inline: every awake body takes one in each substep.
inline Quaternion operator*(const Quaternion& a, const Quaternion& b)
{
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

inline bool operator==(const Quaternion& a, const Quaternion& b)
{
    return a.w == b.w && a.x == b.x && a.y == b.y && a.z == b.z;
}

/// Rotation by angle radians about a unit axis.
Quaternion fromAxisAngle(const Vector3& axis, float angle);

/// Rotation by a rotation vector (axis times angle in radians); (0,0,0) gives the identity.
Quaternion fromRotationVector(const Vector3& v);

/// The unit direction of v, or (0, 0, 1) when v is too short to have one.
Vector3 safeDirection(const Vector3& v);

/// The images of the three axes under q, each normalized; throws
/// "Trying to normalize a zero length vector" for a far-from-unit q.
Axes toAxes(const Quaternion& q);

/// Rotation matrix of q (translation column zero).
Matrix4 toMatrix(const Quaternion& q);

} // namespace Tolvane::Math
