// Colours handed to OpenGL as material and light parameters.
#pragma once

#include <array>

namespace Tolvane::Renderer {

/// Red, green, blue and alpha in [0, 1], laid out as glMaterialfv and glLightfv expect.
using Color = std::array<float, 4>;

} // namespace Tolvane::Renderer
