// Lanes round exactly as scalar floats do, signed zeros and NaNs included:
// the solver's results rest on it.
#include "physics/solver/FloatLanes.h"
#include "physics/solver/WideLanes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace Tolvane::Physics {
namespace {

std::uint32_t bits(float f)
{
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

/// Whether lane i of a mask is set.
template <class Lanes> bool isSet(Lanes mask, int i)
{
    return bits(select(mask, Lanes(1.0f), Lanes(0.0f)).lane(i)) == bits(1.0f);
}

/// Every operation of Lanes on every pair of awkward values, lane by lane,
/// against the same operation on plain floats.
template <class Lanes> void checkEveryOperation()
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const std::vector<float> values = {0.0f,    -0.0f, 1.0f, -2.5f, 1e-30f, tiny,
                                       3.4e38f, inf,   -inf, nan,   0.1f,   -7.0f};
    constexpr int width = static_cast<int>(sizeof(Lanes) / sizeof(float));
    // Every pair of values, a pair to a lane.
    std::vector<float> xs, ys;
    for (float x : values)
        for (float y : values) {
            xs.push_back(x);
            ys.push_back(y);
        }
    for (std::size_t i = 0; i + width <= xs.size(); i += width) {
        const Lanes x = Lanes::load(&xs[i]);
        const Lanes y = Lanes::load(&ys[i]);
        for (int lane = 0; lane < width; ++lane) {
            const float a = xs[i + lane];
            const float b = ys[i + lane];
            SCOPED_TRACE(std::to_string(a) + ", " + std::to_string(b));
            const auto same = [&](Lanes r, float expected) {
                const float got = r.lane(lane);
                if (std::isnan(expected))
                    EXPECT_TRUE(std::isnan(got));
                else
                    EXPECT_EQ(bits(got), bits(expected));
            };
            same(x + y, a + b);
            same(x - y, a - b);
            same(x * y, a * b);
            same(x / y, a / b);
            same(-x, -a);
            same(maxOf(x, y), std::max(a, b));
            same(minOf(x, y), std::min(a, b));
            same(absOf(x), std::fabs(a));
            same(sqrtOf(x), std::sqrt(a));
            EXPECT_EQ(isSet(x > y, lane), a > b);
            EXPECT_EQ(isSet(x <= y, lane), a <= b);
            EXPECT_EQ(isSet(x < y, lane), a < b);
            EXPECT_EQ(isSet(notGreater(x, y), lane), !(a > b));
            EXPECT_EQ(isSet(notEqual(x, y), lane), a != b);
            EXPECT_EQ(isSet(andNot(x<y, x> y), lane), a < b);
            same(select(x < y, x, y), a < b ? a : b);
        }
        bool anyBelow = false;
        for (int lane = 0; lane < width; ++lane)
            anyBelow = anyBelow || xs[i + lane] < ys[i + lane];
        EXPECT_EQ(anyOf(x < y), anyBelow);
    }
}

TEST(FloatLanes, EveryOperationMatchesTheScalarOneBitForBit)
{
    checkEveryOperation<FloatLanes>();
    // And the mask's bits, lane i in bit i.
    const FloatLanes x(1.0f, 5.0f, -1.0f, 7.0f);
    EXPECT_EQ(maskBits(x < FloatLanes(2.0f)), 0b0101);
    EXPECT_TRUE(laneSet(x > FloatLanes(6.0f), 3));
}

// The contact solver's eight lanes, as built here (one AVX register or two
// SSE ones): the solver's results are the same either way only if each lane
// rounds as a float does.
TEST(WideLanes, EveryOperationMatchesTheScalarOneBitForBit)
{
    checkEveryOperation<WideLanes>();
}

} // namespace
} // namespace Tolvane::Physics
