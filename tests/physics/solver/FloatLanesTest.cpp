// Four lanes round exactly as four scalar floats do, signed zeros and NaNs
// included: the solver's results rest on it.
#include "physics/solver/FloatLanes.h"

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

TEST(FloatLanes, EveryOperationMatchesTheScalarOneBitForBit)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const std::vector<float> values = {0.0f,    -0.0f, 1.0f, -2.5f, 1e-30f, tiny,
                                       3.4e38f, inf,   -inf, nan,   0.1f,   -7.0f};
    // Every pair of values, four pairs to a call.
    std::vector<float> xs, ys;
    for (float x : values)
        for (float y : values) {
            xs.push_back(x);
            ys.push_back(y);
        }
    for (std::size_t i = 0; i + 4 <= xs.size(); i += 4) {
        const FloatLanes x = FloatLanes::load(&xs[i]);
        const FloatLanes y = FloatLanes::load(&ys[i]);
        for (int lane = 0; lane < 4; ++lane) {
            const float a = xs[i + lane];
            const float b = ys[i + lane];
            SCOPED_TRACE(std::to_string(a) + ", " + std::to_string(b));
            const auto same = [&](FloatLanes r, float expected) {
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
            EXPECT_EQ(laneSet(x > y, lane), a > b);
            EXPECT_EQ(laneSet(x <= y, lane), a <= b);
            EXPECT_EQ(laneSet(x < y, lane), a < b);
            EXPECT_EQ(laneSet(notGreater(x, y), lane), !(a > b));
            EXPECT_EQ(laneSet(notEqual(x, y), lane), a != b);
            same(select(x < y, x, y), a < b ? a : b);
            EXPECT_EQ((maskBits(x < y) >> lane) & 1, a < b ? 1 : 0);
        }
    }
}

} // namespace
} // namespace Tolvane::Physics
