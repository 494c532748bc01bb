// Reader of the AC3D text subset: one ModelInfo record per AC3D object.
// Only the model loaders (and the reader's own tests and fuzzer) use it.
#pragma once

#include "math/Vector3.h"
#include "model/ModelSurface.h"

#include <istream>
#include <memory>
#include <string>
#include <vector>

namespace Tolvane {

/// One AC3D object as read from the file, in the object's own coordinates.
struct ModelInfo {
    std::string name;
    std::vector<Math::Vector3> vertices;
    std::vector<ModelSurface> surfaces;
    Math::Vector3 location;
    std::vector<std::shared_ptr<ModelInfo>> kids;
};

/// "kids" nesting deeper than this is rejected instead of exhausting the stack.
constexpr int maxModelDepth = 256;

/// Reads the first top-level object of the AC3D file at path.
/// Throws std::runtime_error with the reader's messages on any malformed input.
std::shared_ptr<ModelInfo> readAC3DFile(const std::string& path);

/// The same reader on an already opened stream.
std::shared_ptr<ModelInfo> readAC3D(std::istream& in);

} // namespace Tolvane
