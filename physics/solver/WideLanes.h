// Eight floats worked on at once: the contact solver's lanes. A pass over one
// constraint is a chain of dependent steps (each impulse needs the velocities
// the one before left), so a core idles between them; eight independent
// constraints in a chain keep it twice as busy as four. With AVX they are one
// register, otherwise two SSE registers whose chains the core interleaves.
// Every operation rounds each lane exactly as the same operation on one float
// does, so the results are the same bit for bit whichever is built.
#pragma once

#include "physics/solver/FloatLanes.h"

#if defined(__AVX__)
#include <immintrin.h>
#endif

namespace Tolvane::Physics {

#if defined(__AVX__)

/// Eight floats in one AVX register; masks as for FloatLanes.
struct WideLanes {
    static constexpr int width = 8;
    __m256 v;

    WideLanes() : v(_mm256_setzero_ps()) {}
    explicit WideLanes(float all) : v(_mm256_set1_ps(all)) {}
    WideLanes(__m256 value) : v(value) {}

    /// Eight floats from memory, p[0] into lane 0.
    static WideLanes load(const float* p) { return _mm256_loadu_ps(p); }
    /// The eight lanes into out[0..7].
    void store(float* out) const { _mm256_storeu_ps(out, v); }
    float lane(int i) const
    {
        alignas(32) float values[width];
        _mm256_store_ps(values, v);
        return values[i];
    }
};

inline WideLanes operator+(WideLanes a, WideLanes b)
{
    return _mm256_add_ps(a.v, b.v);
}
inline WideLanes operator-(WideLanes a, WideLanes b)
{
    return _mm256_sub_ps(a.v, b.v);
}
inline WideLanes operator*(WideLanes a, WideLanes b)
{
    return _mm256_mul_ps(a.v, b.v);
}
inline WideLanes operator/(WideLanes a, WideLanes b)
{
    return _mm256_div_ps(a.v, b.v);
}
inline WideLanes operator-(WideLanes a)
{
    return _mm256_xor_ps(a.v, _mm256_set1_ps(-0.0f));
}
/// std::max(a, b) in every lane: a unless a < b (so a NaN in a is kept).
inline WideLanes maxOf(WideLanes a, WideLanes b)
{
    return _mm256_max_ps(b.v, a.v);
}
/// std::min(a, b) in every lane: a unless b < a.
inline WideLanes minOf(WideLanes a, WideLanes b)
{
    return _mm256_min_ps(b.v, a.v);
}
inline WideLanes absOf(WideLanes a)
{
    return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a.v);
}
inline WideLanes sqrtOf(WideLanes a)
{
    return _mm256_sqrt_ps(a.v);
}
inline WideLanes operator>(WideLanes a, WideLanes b)
{
    return _mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ);
}
inline WideLanes operator<=(WideLanes a, WideLanes b)
{
    return _mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ);
}
inline WideLanes operator<(WideLanes a, WideLanes b)
{
    return _mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ);
}
/// Not (a > b): also true when either is NaN.
inline WideLanes notGreater(WideLanes a, WideLanes b)
{
    return _mm256_cmp_ps(a.v, b.v, _CMP_NGT_UQ);
}
/// a != b: also true when either is NaN.
inline WideLanes notEqual(WideLanes a, WideLanes b)
{
    return _mm256_cmp_ps(a.v, b.v, _CMP_NEQ_UQ);
}
inline WideLanes operator&(WideLanes a, WideLanes b)
{
    return _mm256_and_ps(a.v, b.v);
}
inline WideLanes operator|(WideLanes a, WideLanes b)
{
    return _mm256_or_ps(a.v, b.v);
}
/// a and not b.
inline WideLanes andNot(WideLanes a, WideLanes b)
{
    return _mm256_andnot_ps(b.v, a.v);
}
/// whenTrue in the lanes of mask, whenFalse in the others. Every mask's lane
/// is all set or all clear (as comparisons make them), so one blend by the
/// lanes' top bits picks the same bits as masking both and joining them.
inline WideLanes select(WideLanes mask, WideLanes whenTrue, WideLanes whenFalse)
{
    return _mm256_blendv_ps(whenFalse.v, whenTrue.v, mask.v);
}
inline bool anyOf(WideLanes mask)
{
    return _mm256_movemask_ps(mask.v) != 0;
}

#else

/// Eight floats as two FloatLanes, lanes 0 to 3 and 4 to 7, laid out as the
/// AVX register would be, so that code built either way agrees on the solver's
/// records.
struct alignas(32) WideLanes {
    static constexpr int width = 8;
    FloatLanes low;
    FloatLanes high;

    WideLanes() = default;
    explicit WideLanes(float all) : low(all), high(all) {}
    WideLanes(FloatLanes lowLanes, FloatLanes highLanes) : low(lowLanes), high(highLanes) {}

    static WideLanes load(const float* p) { return {FloatLanes::load(p), FloatLanes::load(p + 4)}; }
    void store(float* out) const
    {
        low.store(out);
        high.store(out + 4);
    }
    float lane(int i) const { return i < 4 ? low.lane(i) : high.lane(i - 4); }
};

inline WideLanes operator+(WideLanes a, WideLanes b)
{
    return {a.low + b.low, a.high + b.high};
}
inline WideLanes operator-(WideLanes a, WideLanes b)
{
    return {a.low - b.low, a.high - b.high};
}
inline WideLanes operator*(WideLanes a, WideLanes b)
{
    return {a.low * b.low, a.high * b.high};
}
inline WideLanes operator/(WideLanes a, WideLanes b)
{
    return {a.low / b.low, a.high / b.high};
}
inline WideLanes operator-(WideLanes a)
{
    return {-a.low, -a.high};
}
inline WideLanes maxOf(WideLanes a, WideLanes b)
{
    return {maxOf(a.low, b.low), maxOf(a.high, b.high)};
}
inline WideLanes minOf(WideLanes a, WideLanes b)
{
    return {minOf(a.low, b.low), minOf(a.high, b.high)};
}
inline WideLanes absOf(WideLanes a)
{
    return {absOf(a.low), absOf(a.high)};
}
inline WideLanes sqrtOf(WideLanes a)
{
    return {sqrtOf(a.low), sqrtOf(a.high)};
}
inline WideLanes operator>(WideLanes a, WideLanes b)
{
    return {a.low > b.low, a.high > b.high};
}
inline WideLanes operator<=(WideLanes a, WideLanes b)
{
    return {a.low <= b.low, a.high <= b.high};
}
inline WideLanes operator<(WideLanes a, WideLanes b)
{
    return {a.low < b.low, a.high < b.high};
}
inline WideLanes notGreater(WideLanes a, WideLanes b)
{
    return {notGreater(a.low, b.low), notGreater(a.high, b.high)};
}
inline WideLanes notEqual(WideLanes a, WideLanes b)
{
    return {notEqual(a.low, b.low), notEqual(a.high, b.high)};
}
inline WideLanes operator&(WideLanes a, WideLanes b)
{
    return {a.low & b.low, a.high & b.high};
}
inline WideLanes operator|(WideLanes a, WideLanes b)
{
    return {a.low | b.low, a.high | b.high};
}
inline WideLanes andNot(WideLanes a, WideLanes b)
{
    return {andNot(a.low, b.low), andNot(a.high, b.high)};
}
inline WideLanes select(WideLanes mask, WideLanes whenTrue, WideLanes whenFalse)
{
    return {select(mask.low, whenTrue.low, whenFalse.low), select(mask.high, whenTrue.high, whenFalse.high)};
}
inline bool anyOf(WideLanes mask)
{
    return anyOf(mask.low | mask.high);
}

#endif

using Vector3WideLanes = Vector3LanesOf<WideLanes>;

} // namespace Tolvane::Physics
