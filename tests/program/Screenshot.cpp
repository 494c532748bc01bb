// Screenshots through import, read back from binary PPM, and classified by colour.
#include "Screenshot.h"

#include "ChildProcess.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

namespace {

// import needs a moment for a full screen; far less than this.
constexpr std::chrono::seconds importTimeout(30);
// Two pictures of a still scene differ only by noise below this, per channel.
constexpr int sameColourTolerance = 8;
// How far in from the floor's ends its edge is measured, clear of its corners.
constexpr int floorEdgeInset = 5;

/// Lit faces add the same grey to every channel, so a colour is recognised by
/// the channel that clearly leads rather than by exact values.
bool leads(int channel, int other1, int other2)
{
    return channel > 40 && 2 * channel > 3 * other1 && 2 * channel > 3 * other2;
}

/// Skips white space and '#' comments between the header fields of a PPM file.
void skipSeparators(std::istream& in)
{
    while (in) {
        const int c = in.peek();
        if (c == '#') {
            std::string comment;
            std::getline(in, comment);
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            in.get();
        } else {
            return;
        }
    }
}

std::optional<Picture> readPpm(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    in >> magic;
    if (magic != "P6")
        return std::nullopt;
    Picture picture;
    int maxValue = 0;
    skipSeparators(in);
    in >> picture.width;
    skipSeparators(in);
    in >> picture.height;
    skipSeparators(in);
    in >> maxValue;
    in.get();
    if (!in || picture.width <= 0 || picture.height <= 0 || picture.width > 16384 || picture.height > 16384 ||
        maxValue != 255)
        return std::nullopt;
    picture.rgb.resize(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) *
                       3);
    in.read(reinterpret_cast<char*>(picture.rgb.data()), static_cast<std::streamsize>(picture.rgb.size()));
    if (!in)
        return std::nullopt;
    return picture;
}

} // namespace

std::optional<Picture> readPpmFile(const std::string& path)
{
    return readPpm(path);
}

bool Picture::isRed(int x, int y) const
{
    const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 3];
    return leads(p[0], p[1], p[2]);
}

bool Picture::isBlue(int x, int y) const
{
    const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 3];
    return leads(p[2], p[0], p[1]);
}

std::optional<ScreenArea> windowArea(const std::string& window)
{
    const std::optional<std::string> shell =
        runForOutput({"xdotool", "getwindowgeometry", "--shell", window}, importTimeout);
    if (!shell)
        return std::nullopt;
    ScreenArea area;
    const std::pair<const char*, int*> fields[] = {
        {"X=", &area.x}, {"Y=", &area.y}, {"WIDTH=", &area.width}, {"HEIGHT=", &area.height}};
    const std::string lines = "\n" + *shell;
    for (const auto& [name, value] : fields) {
        const std::size_t at = lines.find(std::string("\n") + name);
        if (at == std::string::npos)
            return std::nullopt;
        *value = std::atoi(lines.c_str() + at + 1 + std::strlen(name));
    }
    if (area.width <= 0 || area.height <= 0)
        return std::nullopt;
    return area;
}

std::optional<Picture> takeScreenshot(const std::string& path, const ScreenArea& area)
{
    ChildProcess import({"import", "-window", "root", "-depth", "8", path}, {});
    const std::optional<int> status = import.waitFor(importTimeout);
    if (!status || *status != 0)
        return std::nullopt;
    const std::optional<Picture> screen = readPpm(path);
    if (!screen || area.x < 0 || area.y < 0 || area.width <= 0 || area.height <= 0 ||
        area.x + area.width > screen->width || area.y + area.height > screen->height)
        return std::nullopt;
    Picture picture;
    picture.width = area.width;
    picture.height = area.height;
    const std::size_t rowBytes = static_cast<std::size_t>(area.width) * 3;
    for (int y = area.y; y < area.y + area.height; ++y) {
        const auto row =
            screen->rgb.begin() +
            static_cast<std::ptrdiff_t>((static_cast<std::size_t>(y) * screen->width + area.x) * 3);
        picture.rgb.insert(picture.rgb.end(), row, row + static_cast<std::ptrdiff_t>(rowBytes));
    }
    return picture;
}

SceneInPicture describe(const Picture& picture)
{
    SceneInPicture scene;
    double sumX = 0.0;
    double sumY = 0.0;
    int redColumns = 0;
    int standingColumns = 0;
    std::vector<int> topBlue(static_cast<std::size_t>(picture.width), -1);
    for (int x = 0; x < picture.width; ++x) {
        int lowestRed = -1;
        for (int y = 0; y < picture.height; ++y) {
            if (picture.isRed(x, y)) {
                ++scene.redPixels;
                sumX += x;
                sumY += y;
                lowestRed = y;
                scene.redRight = x;
                scene.redBottom = std::max(scene.redBottom, y);
            } else if (picture.isBlue(x, y)) {
                ++scene.bluePixels;
                if (topBlue[static_cast<std::size_t>(x)] < 0)
                    topBlue[static_cast<std::size_t>(x)] = y;
            }
        }
        if (lowestRed >= 0 && lowestRed + 1 < picture.height) {
            ++redColumns;
            if (picture.isBlue(x, lowestRed + 1))
                ++standingColumns;
        }
    }
    const auto firstBlue = std::find_if(topBlue.begin(), topBlue.end(), [](int row) { return row >= 0; });
    const auto lastBlue = std::find_if(topBlue.rbegin(), topBlue.rend(), [](int row) { return row >= 0; });
    if (firstBlue != topBlue.end() && lastBlue.base() - firstBlue > 2 * floorEdgeInset) {
        scene.floorEdgeLeft = *(firstBlue + floorEdgeInset);
        scene.floorEdgeRight = *(lastBlue + floorEdgeInset);
        scene.floorEdgeTop = *std::min_element(firstBlue, lastBlue.base(), [](int a, int b) {
            return (a >= 0 ? a : INT_MAX) < (b >= 0 ? b : INT_MAX);
        });
    }
    if (redColumns > 0)
        scene.shareStandingOnBlue = static_cast<double>(standingColumns) / redColumns;
    if (scene.redPixels > 0) {
        scene.redCentreX = sumX / scene.redPixels;
        scene.redCentreY = sumY / scene.redPixels;
    }
    return scene;
}

double changedShare(const Picture& a, const Picture& b)
{
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size() || a.rgb.empty())
        return 1.0;
    std::size_t changed = 0;
    for (std::size_t i = 0; i < a.rgb.size(); i += 3) {
        for (std::size_t c = 0; c < 3; ++c) {
            if (std::abs(int(a.rgb[i + c]) - int(b.rgb[i + c])) > sameColourTolerance) {
                ++changed;
                break;
            }
        }
    }
    return static_cast<double>(changed) / static_cast<double>(a.rgb.size() / 3);
}
