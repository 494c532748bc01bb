// Which of the step's bodies each joint joins, for the islands, the batches
// and the joint solver.
#pragma once

#include <cstdint>

namespace Tolvane::Physics {

/// The places in the body table of a joint's two bodies (-1: the world).
struct JointLink {
    std::int32_t bodyA = -1;
    std::int32_t bodyB = -1;
    /// How many times the settings' substeps the joint's load asks for.
    int substepScale = 1;
};

} // namespace Tolvane::Physics
