// Pictures of the window written with libpng.
#include "driver/PngCapture.h"

#include <GL/gl.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

namespace Tolvane {

namespace {

/// Closes the file when the write ends, also by an exception.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

std::string nextScreenshotName(const std::string& folder)
{
    for (int n = 1;; ++n) {
        const std::filesystem::path path =
            std::filesystem::path(folder) / ("screenshot-" + std::to_string(n) + ".png");
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::symlink_status(path, error)))
            return folder == "." ? path.filename().string() : path.string();
    }
}

void saveWindowPng(const std::string& path, int width, int height)
{
    const auto rowBytes = static_cast<std::size_t>(width) * 3;
    std::vector<unsigned char> rgb(rowBytes * static_cast<std::size_t>(height));
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());

    const std::runtime_error failure("cannot write " + path);
    // A partly written file is removed, so no broken picture is left behind.
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file)
        throw failure;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        file.reset();
        std::remove(path.c_str());
        throw failure;
    }
    // libpng reports errors by a long jump back here; only plain data lives
    // between here and the jump, so nothing is skipped that needs destroying.
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    // OpenGL's rows run from the bottom, PNG's from the top.
    for (int y = 0; y < height; ++y)
        rows[static_cast<std::size_t>(y)] = &rgb[rowBytes * static_cast<std::size_t>(height - 1 - y)];
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        file.reset();
        std::remove(path.c_str());
        throw failure;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0 || std::ferror(file.get())) {
        file.reset();
        std::remove(path.c_str());
        throw failure;
    }
}

} // namespace Tolvane
