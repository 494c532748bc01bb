// One triangle of a model part.
#pragma once

#include "math/Vector3.h"

#include <array>
#include <cstdint>

namespace Tolvane {

/// Three 16-bit indices into the owning part's vertices, in file order, and the
/// triangle's unit normal ((0, 0, 1) until the reader computes it).
struct ModelSurface {
    std::array<std::uint16_t, 3> vertexIndex{{0, 0, 0}};
    Math::Vector3 normal{0.0f, 0.0f, 1.0f};
};

} // namespace Tolvane
