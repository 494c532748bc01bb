// Matrix inversion by Gauss-Jordan elimination.
#include "math/Matrix4.h"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace Tolvane::Math {

Matrix4 Matrix4::diagonal(float d0, float d1, float d2, float d3)
{
    Matrix4 result;
    result.m[0] = d0;
    result.m[5] = d1;
    result.m[10] = d2;
    result.m[15] = d3;
    return result;
}

// Works on groups of four consecutive stored floats (the columns of the
// column-major storage); A[g][e] is stored index 4g + e. The pivot rule compares
// each candidate with the current diagonal element, not with the best candidate
// so far, so the last candidate above the diagonal wins. Results depend on this
// exact order of float operations.
void Matrix4::invert()
{
    float a[4][4];
    float b[4][4];
    for (int g = 0; g < 4; ++g)
        for (int e = 0; e < 4; ++e) {
            a[g][e] = m[4 * g + e];
            b[g][e] = (g == e) ? 1.0f : 0.0f;
        }

    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[c][c]))
                pivot = r;
        if (pivot != c) {
            std::swap(a[c], a[pivot]);
            std::swap(b[c], b[pivot]);
        }
        if (a[c][c] == 0.0f)
            throw std::runtime_error("Could not invert the matrix");

        const float d = a[c][c];
        for (int e = 0; e < 4; ++e) {
            a[c][e] /= d;
            b[c][e] /= d;
        }
        for (int r = 0; r < 4; ++r) {
            if (r == c)
                continue;
            const float f = a[r][c];
            for (int e = 0; e < 4; ++e) {
                a[r][e] -= f * a[c][e];
                b[r][e] -= f * b[c][e];
            }
        }
    }

    for (int g = 0; g < 4; ++g)
        for (int e = 0; e < 4; ++e)
            m[4 * g + e] = b[g][e];
}

} // namespace Tolvane::Math
