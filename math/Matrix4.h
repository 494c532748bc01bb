// 4x4 float matrix in OpenGL's column-major order: rotation caches and inertia tensors.
#pragma once

#include "math/Vector3.h"

namespace Tolvane::Math {

/// Element (row r, column c) is stored at index c * 4 + r, so the matrix can be
/// handed unchanged to glMultMatrixf. Defaults to the identity.
struct Matrix4 {
    float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

    float& operator[](int i) { return m[i]; }
    float operator[](int i) const { return m[i]; }

    /// The diagonal matrix diag(d0, d1, d2, d3).
    static Matrix4 diagonal(float d0, float d1, float d2, float d3);

    /// Inverts in place by Gauss-Jordan elimination with row exchanges, in floats.
    /// Throws std::runtime_error "Could not invert the matrix" on an exactly zero
    /// pivot; the matrix is then unchanged.
    void invert();
};

inline bool operator==(const Matrix4& a, const Matrix4& b)
{
    for (int i = 0; i < 16; ++i)
        if (a.m[i] != b.m[i])
            return false;
    return true;
}

/// The matrix applied to (v, 1): component i = m[i]v.x + m[4+i]v.y + m[8+i]v.z + m[12+i].
inline Vector3 transformPoint(const Matrix4& m, const Vector3& v)
{
    return {m[0] * v.x + m[4] * v.y + m[8] * v.z + m[12], m[1] * v.x + m[5] * v.y + m[9] * v.z + m[13],
            m[2] * v.x + m[6] * v.y + m[10] * v.z + m[14]};
}

} // namespace Tolvane::Math
