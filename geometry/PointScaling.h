// Exact power-of-two scaling of a point set into a frame of about unit size.
#pragma once

#include "math/Vector3.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics::Collision {

/// Maps model points into a frame where their bounds span about [-1, 1]:
/// scaled = p * 2^-exponent - centre * 2^-exponent. Scaling by a power of two
/// is exact, and every step stays finite for any finite input, so geometry of
/// huge or tiny models is computed at unit size and scaled back only at the end.
struct PointScaling {
    /// Middle of the bounds, model coordinates.
    Math::Vector3 centre;
    /// Power of two of the scale: the largest half-extent divided by 2^exponent lies in [0.5, 1).
    int exponent = 0;
    /// The largest half-extent in scaled units; zero for a single point.
    float halfSize = 0.0f;

    /// The frame for the bounds low..high (finite, low <= high per axis).
    static PointScaling forBounds(const Math::Vector3& low, const Math::Vector3& high)
    {
        PointScaling frame;
        frame.centre = low * 0.5f + high * 0.5f;
        const Math::Vector3 half = high * 0.5f - low * 0.5f;
        const float largest = std::max(half.x, std::max(half.y, half.z));
        if (largest > 0.0f)
            std::frexp(largest, &frame.exponent);
        frame.halfSize = std::ldexp(largest, -frame.exponent);
        return frame;
    }

    Math::Vector3 toScaled(const Math::Vector3& p) const
    {
        return {std::ldexp(p.x, -exponent) - std::ldexp(centre.x, -exponent),
                std::ldexp(p.y, -exponent) - std::ldexp(centre.y, -exponent),
                std::ldexp(p.z, -exponent) - std::ldexp(centre.z, -exponent)};
    }

    Math::Vector3 toModelPoint(const Math::Vector3& p) const { return toModelVector(p, 1) + centre; }

    /// A scaled quantity of the given length dimension (1 length, 2 area or
    /// inertia per mass, 3 volume, 5 inertia) back in model units; overflows to
    /// infinity where the model-unit value leaves the float range.
    float toModel(float value, int dimension) const { return std::ldexp(value, dimension * exponent); }
    Math::Vector3 toModelVector(const Math::Vector3& v, int dimension) const
    {
        return {toModel(v.x, dimension), toModel(v.y, dimension), toModel(v.z, dimension)};
    }
};

} // namespace Tolvane::Physics::Collision
