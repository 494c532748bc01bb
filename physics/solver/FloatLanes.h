// Four floats worked on at once, for solving four independent contacts in one
// go. Every operation rounds each lane exactly as the same operation on one
// float does, so four lanes give bit for bit the results of four scalar runs.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#else
#include <cmath>
#include <cstdint>
#include <cstring>
#endif

namespace Tolvane::Physics {

#if defined(__SSE2__)

/// Four floats in one SSE register. A mask is a FloatLanes whose lanes are all
/// ones (true) or all zeros (false), as comparisons give them.
struct FloatLanes {
    __m128 v;

    FloatLanes() : v(_mm_setzero_ps()) {}
    explicit FloatLanes(float all) : v(_mm_set1_ps(all)) {}
    FloatLanes(float lane0, float lane1, float lane2, float lane3)
        : v(_mm_setr_ps(lane0, lane1, lane2, lane3))
    {
    }
    FloatLanes(__m128 value) : v(value) {}

    /// Four floats from memory, p[0] into lane 0.
    static FloatLanes load(const float* p) { return _mm_loadu_ps(p); }
    /// The four lanes into out[0..3].
    void store(float* out) const { _mm_storeu_ps(out, v); }

    float lane(int i) const
    {
        alignas(16) float values[4];
        _mm_store_ps(values, v);
        return values[i];
    }
    void setLane(int i, float value)
    {
        alignas(16) float values[4];
        _mm_store_ps(values, v);
        values[i] = value;
        v = _mm_load_ps(values);
    }
};

inline FloatLanes operator+(FloatLanes a, FloatLanes b)
{
    return _mm_add_ps(a.v, b.v);
}
inline FloatLanes operator-(FloatLanes a, FloatLanes b)
{
    return _mm_sub_ps(a.v, b.v);
}
inline FloatLanes operator*(FloatLanes a, FloatLanes b)
{
    return _mm_mul_ps(a.v, b.v);
}
inline FloatLanes operator/(FloatLanes a, FloatLanes b)
{
    return _mm_div_ps(a.v, b.v);
}
/// Flips the sign bit, as unary minus on a float does.
inline FloatLanes operator-(FloatLanes a)
{
    return _mm_xor_ps(a.v, _mm_set1_ps(-0.0f));
}
/// std::max(a, b) in every lane: a unless a < b (so a NaN in a is kept).
inline FloatLanes maxOf(FloatLanes a, FloatLanes b)
{
    return _mm_max_ps(b.v, a.v);
}
/// std::min(a, b) in every lane: a unless b < a.
inline FloatLanes minOf(FloatLanes a, FloatLanes b)
{
    return _mm_min_ps(b.v, a.v);
}
inline FloatLanes absOf(FloatLanes a)
{
    return _mm_andnot_ps(_mm_set1_ps(-0.0f), a.v);
}
inline FloatLanes sqrtOf(FloatLanes a)
{
    return _mm_sqrt_ps(a.v);
}

inline FloatLanes operator>(FloatLanes a, FloatLanes b)
{
    return _mm_cmpgt_ps(a.v, b.v);
}
inline FloatLanes operator<=(FloatLanes a, FloatLanes b)
{
    return _mm_cmple_ps(a.v, b.v);
}
inline FloatLanes operator<(FloatLanes a, FloatLanes b)
{
    return _mm_cmplt_ps(a.v, b.v);
}
/// Not (a > b): also true when either is NaN.
inline FloatLanes notGreater(FloatLanes a, FloatLanes b)
{
    return _mm_cmpngt_ps(a.v, b.v);
}
/// a != b: also true when either is NaN.
inline FloatLanes notEqual(FloatLanes a, FloatLanes b)
{
    return _mm_cmpneq_ps(a.v, b.v);
}

inline FloatLanes operator&(FloatLanes a, FloatLanes b)
{
    return _mm_and_ps(a.v, b.v);
}
inline FloatLanes operator|(FloatLanes a, FloatLanes b)
{
    return _mm_or_ps(a.v, b.v);
}
/// a and not b.
inline FloatLanes andNot(FloatLanes a, FloatLanes b)
{
    return _mm_andnot_ps(b.v, a.v);
}
/// In every lane: whenTrue's where mask is set, whenFalse's elsewhere.
inline FloatLanes select(FloatLanes mask, FloatLanes whenTrue, FloatLanes whenFalse)
{
    return _mm_or_ps(_mm_and_ps(mask.v, whenTrue.v), _mm_andnot_ps(mask.v, whenFalse.v));
}
inline bool anyOf(FloatLanes mask)
{
    return _mm_movemask_ps(mask.v) != 0;
}
/// Bit i set where lane i of the mask is.
inline int maskBits(FloatLanes mask)
{
    return _mm_movemask_ps(mask.v);
}
inline bool laneSet(FloatLanes mask, int i)
{
    return ((_mm_movemask_ps(mask.v) >> i) & 1) != 0;
}

#else

/// Four floats, one after the other, for machines without SSE2: the same
/// operations lane by lane.
struct FloatLanes {
    float v[4];

    FloatLanes() : v{0.0f, 0.0f, 0.0f, 0.0f} {}
    explicit FloatLanes(float all) : v{all, all, all, all} {}
    FloatLanes(float lane0, float lane1, float lane2, float lane3) : v{lane0, lane1, lane2, lane3} {}

    static FloatLanes load(const float* p) { return FloatLanes(p[0], p[1], p[2], p[3]); }
    void store(float* out) const
    {
        for (int i = 0; i < 4; ++i)
            out[i] = v[i];
    }

    float lane(int i) const { return v[i]; }
    void setLane(int i, float value) { v[i] = value; }
};

namespace Lanes {
template <class Op> FloatLanes each(FloatLanes a, FloatLanes b, Op op)
{
    FloatLanes r;
    for (int i = 0; i < 4; ++i)
        r.v[i] = op(a.v[i], b.v[i]);
    return r;
}
inline float maskOf(bool set)
{
    const std::uint32_t bits = set ? 0xffffffffu : 0u;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline std::uint32_t bitsOf(float f)
{
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}
inline float floatOf(std::uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
} // namespace Lanes

inline FloatLanes operator+(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return x + y; });
}
inline FloatLanes operator-(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return x - y; });
}
inline FloatLanes operator*(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return x * y; });
}
inline FloatLanes operator/(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return x / y; });
}
inline FloatLanes operator-(FloatLanes a)
{
    return Lanes::each(a, a, [](float x, float) { return -x; });
}
inline FloatLanes maxOf(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return x < y ? y : x; });
}
inline FloatLanes minOf(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return y < x ? y : x; });
}
inline FloatLanes absOf(FloatLanes a)
{
    return Lanes::each(a, a, [](float x, float) { return std::fabs(x); });
}
inline FloatLanes sqrtOf(FloatLanes a)
{
    return Lanes::each(a, a, [](float x, float) { return std::sqrt(x); });
}
inline FloatLanes operator>(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return Lanes::maskOf(x > y); });
}
inline FloatLanes operator<=(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return Lanes::maskOf(x <= y); });
}
inline FloatLanes operator<(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return Lanes::maskOf(x < y); });
}
inline FloatLanes notGreater(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return Lanes::maskOf(!(x > y)); });
}
inline FloatLanes notEqual(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b, [](float x, float y) { return Lanes::maskOf(x != y); });
}
inline FloatLanes operator&(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b,
                       [](float x, float y) { return Lanes::floatOf(Lanes::bitsOf(x) & Lanes::bitsOf(y)); });
}
inline FloatLanes operator|(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b,
                       [](float x, float y) { return Lanes::floatOf(Lanes::bitsOf(x) | Lanes::bitsOf(y)); });
}
inline FloatLanes andNot(FloatLanes a, FloatLanes b)
{
    return Lanes::each(a, b,
                       [](float x, float y) { return Lanes::floatOf(Lanes::bitsOf(x) & ~Lanes::bitsOf(y)); });
}
inline FloatLanes select(FloatLanes mask, FloatLanes whenTrue, FloatLanes whenFalse)
{
    return (mask & whenTrue) | andNot(whenFalse, mask);
}
inline bool laneSet(FloatLanes mask, int i)
{
    return Lanes::bitsOf(mask.v[i]) != 0;
}
inline bool anyOf(FloatLanes mask)
{
    return laneSet(mask, 0) || laneSet(mask, 1) || laneSet(mask, 2) || laneSet(mask, 3);
}
inline int maskBits(FloatLanes mask)
{
    return (laneSet(mask, 0) ? 1 : 0) | (laneSet(mask, 1) ? 2 : 0) | (laneSet(mask, 2) ? 4 : 0) |
           (laneSet(mask, 3) ? 8 : 0);
}

#endif

/// A vector per lane, of any kind of lanes.
template <class Lanes> struct Vector3LanesOf {
    Lanes x, y, z;
};
using Vector3Lanes = Vector3LanesOf<FloatLanes>;

template <class Lanes>
inline Vector3LanesOf<Lanes> operator-(const Vector3LanesOf<Lanes>& a, const Vector3LanesOf<Lanes>& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
template <class Lanes> inline Vector3LanesOf<Lanes> operator*(const Vector3LanesOf<Lanes>& a, Lanes s)
{
    return {a.x * s, a.y * s, a.z * s};
}
/// The same sums, in the same order, as Math::dot.
template <class Lanes> inline Lanes dot(const Vector3LanesOf<Lanes>& a, const Vector3LanesOf<Lanes>& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
template <class Lanes>
inline Vector3LanesOf<Lanes> select(Lanes mask, const Vector3LanesOf<Lanes>& whenTrue,
                                    const Vector3LanesOf<Lanes>& whenFalse)
{
    return {select(mask, whenTrue.x, whenFalse.x), select(mask, whenTrue.y, whenFalse.y),
            select(mask, whenTrue.z, whenFalse.z)};
}

} // namespace Tolvane::Physics
