// The window's picture saved as a PNG file, under the next free numbered name.
#pragma once

#include <string>

namespace Tolvane {

/// "screenshot-N.png" in folder for the smallest N from 1 that names no file yet.
std::string nextScreenshotName(const std::string& folder = ".");

/// Reads the back buffer's width × height pixels from the bottom-left corner
/// and writes them to path as an 8-bit RGB PNG, top row first. Throws
/// std::runtime_error "cannot write PATH" when the file cannot be written.
/// Needs the GL context current.
void saveWindowPng(const std::string& path, int width, int height);

} // namespace Tolvane
