// libFuzzer target: arbitrary bytes through the AC3D reader and, when they
// read, through the visible tree builder. Rejection by std::runtime_error is
// the expected outcome for bad input; anything else (a crash, a sanitizer
// report, a leak, a hang, another exception) is a fault.
#include "model/AC3DReader.h"
#include "model/ModelTree.h"
#include "model/VisibleModel.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        const auto info = Tolvane::readAC3D(in);
        Tolvane::buildModelTree<Tolvane::Renderer::VisibleModel>(*info);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
