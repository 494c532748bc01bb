// Two-component point template; the int instance carries mouse positions in window pixels.
#pragma once

namespace Tolvane::Math {

/// A plain pair of values. N only distinguishes otherwise identical instances;
/// the program uses Point2Tmpl<int, 0> for window pixels (origin top-left, y down).
template <typename T, int N> struct Point2Tmpl {
    T x{};
    T y{};

    constexpr Point2Tmpl() = default;
    constexpr Point2Tmpl(T x, T y) : x(x), y(y) {}
};

template <typename T, int N>
constexpr Point2Tmpl<T, N> operator-(const Point2Tmpl<T, N>& a, const Point2Tmpl<T, N>& b)
{
    return {a.x - b.x, a.y - b.y};
}

template <typename T, int N> constexpr bool operator==(const Point2Tmpl<T, N>& a, const Point2Tmpl<T, N>& b)
{
    return a.x == b.x && a.y == b.y;
}

using Point2i = Point2Tmpl<int, 0>;

} // namespace Tolvane::Math
