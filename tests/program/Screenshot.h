// Pictures of the X screen taken with ImageMagick's import, and the red blocks
// and blue floor found in them by colour.
#pragma once

#include <optional>
#include <string>
#include <vector>

/// An 8-bit RGB picture, rows from the top.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;

    bool isRed(int x, int y) const;
    bool isBlue(int x, int y) const;
};

/// A rectangle of the screen in pixels from its top left.
struct ScreenArea {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

/// Where the window with the given id lies on the screen, as xdotool reports it.
std::optional<ScreenArea> windowArea(const std::string& window);

/// Saves the whole screen to path (a .ppm file, kept for whoever looks into a
/// failure) and returns the part of it inside area; nothing if import or the
/// read failed or the area is not on the screen.
std::optional<Picture> takeScreenshot(const std::string& path, const ScreenArea& area);

/// A binary PPM file read whole; nothing if it is not one.
std::optional<Picture> readPpmFile(const std::string& path);

/// What the picture shows of the blocks and the floor.
struct SceneInPicture {
    int redPixels = 0;
    int bluePixels = 0;
    /// Mean position of the red pixels, in pixels from the top left.
    double redCentreX = 0.0;
    double redCentreY = 0.0;
    /// Of the columns holding red, the share in which the pixel just below the
    /// lowest red one is blue: blocks that stand on the floor touch it there,
    /// blocks in the air have a gap of background below them. Columns whose red
    /// reaches the picture's bottom row are cut off there and not counted.
    double shareStandingOnBlue = 0.0;
    /// Right-most column and lowest row holding red (-1 without red).
    int redRight = -1;
    int redBottom = -1;
    /// Row of the floor's far edge (the top-most blue pixel) a few columns in
    /// from the left and from the right end of the floor (-1 without blue).
    int floorEdgeLeft = -1;
    int floorEdgeRight = -1;
    /// The highest row of that edge anywhere (-1 without blue): equal to the ends
    /// while the edge is level, above them when a corner of the floor is in view.
    int floorEdgeTop = -1;
};

SceneInPicture describe(const Picture& picture);

/// Share of pixels whose colour differs by more than a little between two
/// pictures of the same size (1 when the sizes differ).
double changedShare(const Picture& a, const Picture& b);
