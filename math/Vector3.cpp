// The two guarded operations of Vector3.
#include "math/Vector3.h"

#include <stdexcept>

namespace Tolvane::Math {

namespace {
// 1 - 2^-23: with the exclusive upper bound 1.0 only the float just below 1.0
// (1 - 2^-24) lies in the window, and such a vector is left as it is.
constexpr float almostUnitLower = 0.99999988079071044921875f;
} // namespace

void Vector3::normalize()
{
    const float q = squaredLength();
    if (q < zeroSquaredLength)
        throw std::runtime_error("Trying to normalize a zero length vector");
    if (almostUnitLower < q && q < 1.0f)
        return;
    const float l = std::sqrt(q);
    x /= l;
    y /= l;
    z /= l;
}

void Vector3::setLength(float len)
{
    const float q = squaredLength();
    if (q < zeroSquaredLength)
        throw std::runtime_error("Trying to set length of a zero length vector");
    const float l = std::sqrt(q);
    x = (x / l) * len;
    y = (y / l) * len;
    z = (z / l) * len;
}

} // namespace Tolvane::Math
