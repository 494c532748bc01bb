// 3x3 float matrix: rotations of the collision shapes and inertia tensors.
#pragma once

#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace Tolvane::Math {

/// A plain 3x3 matrix of floats kept as three columns; defaults to the identity.
/// For a rotation the columns are the images of the x, y and z axes.
struct Matrix3 {
    Vector3 column[3] = {{1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 1.0f}};

    constexpr Matrix3() = default;
    constexpr Matrix3(const Vector3& c0, const Vector3& c1, const Vector3& c2) : column{c0, c1, c2} {}

    static constexpr Matrix3 identity() { return {}; }
    static constexpr Matrix3 zero() { return {Vector3(), Vector3(), Vector3()}; }
    /// The diagonal matrix diag(d0, d1, d2).
    static constexpr Matrix3 diagonal(float d0, float d1, float d2)
    {
        return {{d0, 0.0f, 0.0f}, {0.0f, d1, 0.0f}, {0.0f, 0.0f, d2}};
    }

    /// Element at row r and column c, both 0 to 2.
    float operator()(int r, int c) const
    {
        const Vector3& v = column[c];
        return r == 0 ? v.x : (r == 1 ? v.y : v.z);
    }
    float& operator()(int r, int c)
    {
        Vector3& v = column[c];
        return r == 0 ? v.x : (r == 1 ? v.y : v.z);
    }

    /// The three diagonal elements.
    Vector3 diagonalElements() const { return {column[0].x, column[1].y, column[2].z}; }
};

inline bool operator==(const Matrix3& a, const Matrix3& b)
{
    return a.column[0] == b.column[0] && a.column[1] == b.column[1] && a.column[2] == b.column[2];
}
inline bool operator!=(const Matrix3& a, const Matrix3& b)
{
    return !(a == b);
}

/// m v.
inline Vector3 operator*(const Matrix3& m, const Vector3& v)
{
    return m.column[0] * v.x + m.column[1] * v.y + m.column[2] * v.z;
}

/// The transpose of m times v; for a rotation, v turned back by it.
inline Vector3 transposeTimes(const Matrix3& m, const Vector3& v)
{
    return {dot(m.column[0], v), dot(m.column[1], v), dot(m.column[2], v)};
}

inline Matrix3 operator*(const Matrix3& a, const Matrix3& b)
{
    return {a * b.column[0], a * b.column[1], a * b.column[2]};
}

/// The transpose of a times b; for rotations, b seen from a's frame.
inline Matrix3 transposeTimes(const Matrix3& a, const Matrix3& b)
{
    return {transposeTimes(a, b.column[0]), transposeTimes(a, b.column[1]), transposeTimes(a, b.column[2])};
}

inline Matrix3 transpose(const Matrix3& m)
{
    return {{m.column[0].x, m.column[1].x, m.column[2].x},
            {m.column[0].y, m.column[1].y, m.column[2].y},
            {m.column[0].z, m.column[1].z, m.column[2].z}};
}

inline Matrix3 operator+(const Matrix3& a, const Matrix3& b)
{
    return {a.column[0] + b.column[0], a.column[1] + b.column[1], a.column[2] + b.column[2]};
}
inline Matrix3 operator-(const Matrix3& a, const Matrix3& b)
{
    return {a.column[0] - b.column[0], a.column[1] - b.column[1], a.column[2] - b.column[2]};
}
inline Matrix3 operator*(const Matrix3& m, float s)
{
    return {m.column[0] * s, m.column[1] * s, m.column[2] * s};
}
inline Matrix3 operator*(float s, const Matrix3& m)
{
    return m * s;
}

/// The outer product a b^T.
inline Matrix3 outer(const Vector3& a, const Vector3& b)
{
    return {a * b.x, a * b.y, a * b.z};
}

/// The rotation matrix of a unit quaternion, built like toMatrix: its columns
/// are toAxes(q). Throws like toAxes for a quaternion far from unit length.
Matrix3 toMatrix3(const Quaternion& q);

/// Inverts a symmetric positive definite matrix (an inertia tensor) by a
/// Cholesky factorisation of its lower triangle. Returns false and sets inverse
/// to the zero matrix when m has a non-finite element or is not positive
/// definite to float precision; never throws and never divides by zero.
bool invertSymmetricPositiveDefinite(const Matrix3& m, Matrix3& inverse);

} // namespace Tolvane::Math
