// Finding the on-screen font, and rendering text panels into GL textures.
#include "driver/ScreenText.h"

#include <GL/gl.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <stdexcept>

namespace Tolvane {

namespace {

// The font fonts-dejavu-core installs on Debian, used when fontconfig finds none.
constexpr const char* debianMonoFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
// Pixels of backing around the text.
constexpr int panelMargin = 6;
// The backing: black, a little transparent, so the scene stays faintly visible.
constexpr unsigned char backingAlpha = 170;

bool readable(const std::string& path)
{
    return !path.empty() && std::ifstream(path).good();
}

/// fontconfig's best file for the monospaced DejaVu face, or empty.
std::string fontconfigMatch()
{
    if (!FcInit())
        return {};
    std::string path;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("DejaVu Sans Mono:style=Book"));
    if (!pattern) {
        FcFini();
        return {};
    }
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    if (FcPattern* match = FcFontMatch(nullptr, pattern, &result)) {
        FcChar8* file = nullptr;
        if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file)
            path = reinterpret_cast<const char*>(file);
        FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    // The program asks once; fontconfig's caches would otherwise stay for good.
    FcFini();
    return path;
}

/// SDL_ttf stays up while any font is open.
int openFonts = 0;

} // namespace

std::string findScreenFont()
{
    // fontconfig may match any font when DejaVu is missing; a TrueType file is all SDL_ttf needs.
    const std::string matched = fontconfigMatch();
    if (readable(matched))
        return matched;
    if (readable(debianMonoFont))
        return debianMonoFont;
    return {};
}

ScreenFont::ScreenFont(const std::string& path, int pointSize)
{
    if (openFonts == 0 && TTF_Init() != 0)
        throw std::runtime_error("cannot open the font " + path + ": " + TTF_GetError());
    font_ = TTF_OpenFont(path.c_str(), pointSize);
    if (!font_) {
        const std::string reason = TTF_GetError();
        if (openFonts == 0)
            TTF_Quit();
        throw std::runtime_error("cannot open the font " + path + ": " + reason);
    }
    ++openFonts;
}

ScreenFont::~ScreenFont()
{
    TTF_CloseFont(font_);
    if (--openFonts == 0)
        TTF_Quit();
}

int ScreenFont::lineHeight() const
{
    return TTF_FontLineSkip(font_);
}

TextPanel::TextPanel(std::shared_ptr<const ScreenFont> font) : font_(std::move(font)) {}

TextPanel::~TextPanel()
{
    if (texture_ != 0)
        glDeleteTextures(1, &texture_);
}

void TextPanel::setLines(const std::vector<TextLine>& lines)
{
    if (lines == lines_)
        return;
    lines_ = lines;
    changed_ = true;
}

void TextPanel::update()
{
    if (!changed_)
        return;
    glPushAttrib(GL_TEXTURE_BIT);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    render();
    glPopClientAttrib();
    glPopAttrib();
}

void TextPanel::render()
{
    changed_ = false;
    const int lineHeight = font_->lineHeight();
    std::vector<SDL_Surface*> rendered;
    int textWidth = 0;
    for (const TextLine& line : lines_) {
        // An empty line renders nothing in SDL_ttf but still takes its height.
        SDL_Surface* surface = nullptr;
        if (!line.text.empty()) {
            const SDL_Color color{line.color[0], line.color[1], line.color[2], 0};
            surface = TTF_RenderUTF8_Blended(font_->font(), line.text.c_str(), color);
        }
        rendered.push_back(surface);
        if (surface)
            textWidth = std::max(textWidth, surface->w);
    }
    width_ = lines_.empty() ? 0 : textWidth + 2 * panelMargin;
    height_ = lines_.empty() ? 0 : static_cast<int>(lines_.size()) * lineHeight + 2 * panelMargin;

    // RGBA rows from the top; the backing first, the glyphs blended over it.
    pixels_.assign(static_cast<std::size_t>(width_) * height_ * 4, 0);
    for (std::size_t i = 3; i < pixels_.size(); i += 4)
        pixels_[i] = backingAlpha;
    for (std::size_t n = 0; n < rendered.size(); ++n) {
        SDL_Surface* surface = rendered[n];
        if (!surface)
            continue;
        SDL_LockSurface(surface);
        const int top = panelMargin + static_cast<int>(n) * lineHeight;
        const unsigned char lineAlpha = lines_[n].color[3];
        for (int y = 0; y < surface->h && top + y < height_; ++y) {
            const auto* row = reinterpret_cast<const std::uint32_t*>(
                static_cast<const unsigned char*>(surface->pixels) + y * surface->pitch);
            for (int x = 0; x < surface->w; ++x) {
                Uint8 r, g, b, a;
                SDL_GetRGBA(row[x], surface->format, &r, &g, &b, &a);
                const int glyph = a * lineAlpha / 255;
                unsigned char* out =
                    &pixels_[(static_cast<std::size_t>(top + y) * width_ + panelMargin + x) * 4];
                out[0] = static_cast<unsigned char>(r * glyph / 255);
                out[1] = static_cast<unsigned char>(g * glyph / 255);
                out[2] = static_cast<unsigned char>(b * glyph / 255);
                out[3] = static_cast<unsigned char>(std::max<int>(out[3], glyph));
            }
        }
        SDL_UnlockSurface(surface);
        SDL_FreeSurface(surface);
    }

    if (texture_ == 0)
        glGenTextures(1, &texture_);
    glBindTexture(GL_TEXTURE_2D, texture_);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width_, height_, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels_.data());
}

void TextPanel::draw(int left, int top, int windowWidth, int windowHeight)
{
    update();
    if (lines_.empty() || width_ == 0)
        return;
    glPushAttrib(GL_ENABLE_BIT | GL_TEXTURE_BIT | GL_COLOR_BUFFER_BIT | GL_CURRENT_BIT | GL_VIEWPORT_BIT |
                 GL_TRANSFORM_BIT);
    glViewport(0, 0, windowWidth, windowHeight);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    // Window pixels with y growing downwards, as the panel's rows run.
    glOrtho(0.0, windowWidth, windowHeight, 0.0, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();

    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_BLEND);
    // The glyph colours are premultiplied by their coverage.
    glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    glBindTexture(GL_TEXTURE_2D, texture_);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    const auto x0 = static_cast<float>(left);
    const auto y0 = static_cast<float>(top);
    const auto x1 = static_cast<float>(left + width_);
    const auto y1 = static_cast<float>(top + height_);
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(x0, y0);
    glTexCoord2f(1.0f, 0.0f);
    glVertex2f(x1, y0);
    glTexCoord2f(1.0f, 1.0f);
    glVertex2f(x1, y1);
    glTexCoord2f(0.0f, 1.0f);
    glVertex2f(x0, y1);
    glEnd();

    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glPopAttrib();
}

} // namespace Tolvane
