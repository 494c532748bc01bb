// libFuzzer target: arbitrary bytes through the scene file reader (JSON syntax,
// keys, types and ranges). Rejection by SceneFileError is the expected outcome
// for bad input; anything else (a crash, a sanitizer report, a leak, a hang,
// another exception) is a fault. Model paths are only joined, never opened.
#include "scene/SceneFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        Tolvane::parseSceneText(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json",
                                "models");
    } catch (const Tolvane::SceneFileError&) {
    }
    return 0;
}
