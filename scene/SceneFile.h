// Scene files: a scene described in JSON (world settings, models, bodies and
// lattices), read and checked into a SceneDescription. The format is described
// in docs/scene-format.md.
#pragma once

#include "scene/SceneDescription.h"

#include <stdexcept>
#include <string>

namespace Tolvane {

/// A scene file that cannot be used. The message is one line: the file, where
/// in it (a key path such as "bodies[2].mass" or a line and column) and what is wrong.
class SceneFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Largest scene file read, so that a huge file is turned away before it is read.
constexpr std::uintmax_t maxSceneFileBytes = 64u << 20;

/// Reads and checks the scene file at path. Model paths are taken relative to
/// the file's folder; each model file must exist, be a regular file and be
/// readable, and is loaded here so that a bad model is reported against the
/// scene. Throws SceneFileError.
SceneDescription loadSceneFile(const std::string& path);

/// The checks of loadSceneFile on text already in memory, without touching
/// any file: label names the text in messages and model paths are joined to
/// baseFolder unchecked. Throws SceneFileError.
SceneDescription parseSceneText(const std::string& text, const std::string& label,
                                const std::string& baseFolder);

/// Why the file at path cannot be read as a file ("does not exist", "is a
/// folder", "is not a regular file", "cannot be read: ..."), or an empty string
/// when it can. Never opens anything but a regular file, so devices and pipes
/// cannot block the caller.
std::string fileProblem(const std::string& path);

} // namespace Tolvane
