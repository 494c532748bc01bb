// Text drawn over the 3-D view: the font found on the system, and panels of
// lines rendered with SDL_ttf into a texture that is drawn in window pixels.
#pragma once

#include <SDL_ttf.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace Tolvane {

/// The monospaced font for on-screen text: fontconfig's match for DejaVu Sans
/// Mono, else the file fonts-dejavu-core installs; empty when neither exists.
std::string findScreenFont();

/// Red, green, blue and alpha, 0 to 255.
using TextColor = std::array<unsigned char, 4>;

/// One line of a panel and its colour.
struct TextLine {
    std::string text;
    TextColor color{{255, 255, 255, 255}};

    bool operator==(const TextLine& other) const { return text == other.text && color == other.color; }
};

/// A font open at one size. Opening starts SDL_ttf, closing the last font
/// stops it again.
class ScreenFont {
  public:
    /// Throws std::runtime_error "cannot open the font PATH: REASON".
    ScreenFont(const std::string& path, int pointSize);
    ~ScreenFont();
    ScreenFont(const ScreenFont&) = delete;
    ScreenFont& operator=(const ScreenFont&) = delete;

    TTF_Font* font() const { return font_; }
    /// Pixels from one line's top to the next's.
    int lineHeight() const;

  private:
    TTF_Font* font_ = nullptr;
};

/// Lines of text on a dark translucent backing, drawn at a corner of the
/// window. The text is rendered again only when the lines change, so a panel
/// that shows the same lines costs one textured quad a frame.
class TextPanel {
  public:
    explicit TextPanel(std::shared_ptr<const ScreenFont> font);
    ~TextPanel();
    TextPanel(const TextPanel&) = delete;
    TextPanel& operator=(const TextPanel&) = delete;

    void setLines(const std::vector<TextLine>& lines);
    const std::vector<TextLine>& lines() const { return lines_; }

    /// Renders the lines again if they changed, which sizes the panel.
    /// Needs the GL context current.
    void update();

    /// Draws the panel with its top-left corner at (left, top) window pixels
    /// from the window's top-left corner; nothing without lines. Leaves the
    /// GL state as it found it. Needs the GL context current.
    void draw(int left, int top, int windowWidth, int windowHeight);
    /// Panel width and height in pixels (0 before the first update with lines).
    int width() const { return width_; }
    int height() const { return height_; }

  private:
    /// Renders the lines into pixels_ and sizes the panel.
    void render();

    std::shared_ptr<const ScreenFont> font_;
    std::vector<TextLine> lines_;
    bool changed_ = false;
    std::vector<unsigned char> pixels_;
    int width_ = 0;
    int height_ = 0;
    unsigned texture_ = 0;
};

} // namespace Tolvane
