// Three-component single-precision vector: positions, directions, velocities, extents.
#pragma once

#include <cmath>

namespace Tolvane::Math {

/// Squared lengths below this count as zero for isZero, normalize and setLength
/// (a length below about 1e-5).
constexpr float zeroSquaredLength = 1e-10f;

/// 1 - 2^-23: with the exclusive upper bound 1.0 only the float just below 1.0
/// (1 - 2^-24) lies in the window, and normalize leaves such a vector as it is.
constexpr float almostUnitSquaredLength = 0.99999988079071044921875f;

/// Throws std::runtime_error "Trying to normalize a zero length vector": out of
/// line, so that normalize, which every body's turn calls three times, inlines.
[[noreturn]] void throwNormalizingZeroLength();

/// A plain 3-D vector of floats. Every operation rounds each result component
/// to float before it is used further.
struct Vector3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    constexpr Vector3() = default;
    constexpr Vector3(float x, float y, float z) : x(x), y(y), z(z) {}

    float squaredLength() const { return x * x + y * y + z * z; }
    float length() const { return std::sqrt(squaredLength()); }
    bool isZero() const { return squaredLength() < zeroSquaredLength; }

    /// Makes the vector unit length in place.
    /// Throws std::runtime_error "Trying to normalize a zero length vector"
    /// when the squared length is below 1e-10; the vector is then unchanged.
    void normalize()
    {
        const float q = squaredLength();
        if (q < zeroSquaredLength)
            throwNormalizingZeroLength();
        if (almostUnitSquaredLength < q && q < 1.0f)
            return;
        const float l = std::sqrt(q);
        x /= l;
        y /= l;
        z /= l;
    }

    /// Scales the vector to the given length in place.
    /// Throws std::runtime_error "Trying to set length of a zero length vector"
    /// when the squared length is below 1e-10; the vector is then unchanged.
    void setLength(float len);

    Vector3& operator+=(const Vector3& v)
    {
        x += v.x;
        y += v.y;
        z += v.z;
        return *this;
    }
    Vector3& operator-=(const Vector3& v)
    {
        x -= v.x;
        y -= v.y;
        z -= v.z;
        return *this;
    }
    Vector3& operator*=(float s)
    {
        x *= s;
        y *= s;
        z *= s;
        return *this;
    }
};

inline Vector3 operator+(const Vector3& a, const Vector3& b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vector3 operator-(const Vector3& a, const Vector3& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vector3 operator-(const Vector3& v)
{
    return {-v.x, -v.y, -v.z};
}
inline Vector3 operator*(const Vector3& v, float s)
{
    return {v.x * s, v.y * s, v.z * s};
}
inline Vector3 operator*(float s, const Vector3& v)
{
    return {v.x * s, v.y * s, v.z * s};
}
/// Division by zero is not guarded and follows IEEE rules.
inline Vector3 operator/(const Vector3& v, float s)
{
    return {v.x / s, v.y / s, v.z / s};
}
inline bool operator==(const Vector3& a, const Vector3& b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z;
}
inline bool operator!=(const Vector3& a, const Vector3& b)
{
    return !(a == b);
}

inline float dot(const Vector3& a, const Vector3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

inline Vector3 cross(const Vector3& a, const Vector3& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

/// The unit vector in the direction of v; throws like Vector3::normalize.
inline Vector3 normalized(Vector3 v)
{
    v.normalize();
    return v;
}

} // namespace Tolvane::Math
