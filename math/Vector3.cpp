// The guarded operations of Vector3 that throw.
#include "math/Vector3.h"

#include <stdexcept>

namespace Tolvane::Math {

void throwNormalizingZeroLength()
{
    throw std::runtime_error("Trying to normalize a zero length vector");
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
