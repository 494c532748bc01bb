// The figures, help and message lines of the test bed, and where they are drawn.
#include "driver/TestBedText.h"

#include <cstdio>
#include <ostream>

namespace Tolvane {

namespace {

constexpr TextColor figureColor{{235, 235, 235, 255}};
constexpr TextColor headingColor{{255, 220, 120, 255}};
constexpr TextColor errorColor{{255, 230, 40, 255}};
constexpr TextColor hintColor{{200, 200, 200, 255}};
// Pixels between a panel and the window's edge.
constexpr int edgeGap = 8;

/// The figures written into pattern, each as a double.
template <class... Figures> std::string format(const char* pattern, Figures... figures)
{
    char text[160];
    std::snprintf(text, sizeof text, pattern, static_cast<double>(figures)...);
    return text;
}

} // namespace

std::vector<TextLine> figureLines(const TestBedFigures& f)
{
    std::vector<TextLine> lines;
    lines.push_back({f.sceneName, headingColor});
    lines.push_back({format("bodies %.0f   awake %.0f   asleep %.0f   thrown %.0f", f.bodies, f.awakeBodies,
                            f.sleepingBodies, f.thrownBodies),
                     figureColor});
    if (f.solverResponse) {
        lines.push_back(
            {format("contact pairs %.0f   points %.0f", f.contactPairs, f.contactPoints), figureColor});
        lines.push_back({format("step %.0f \xC2\xB5s", f.stepMicroseconds), figureColor});
        lines.push_back({format("  broad %.0f  narrow %.0f  solve %.0f  integrate %.0f  other %.0f \xC2\xB5s",
                                f.phases.broadPhase, f.phases.narrowPhase, f.phases.solver,
                                f.phases.integration, f.phases.other),
                         figureColor});
    } else {
        lines.push_back({"contacts: not counted by the designed response", figureColor});
        lines.push_back({format("step %.0f \xC2\xB5s", f.stepMicroseconds), figureColor});
    }
    lines.push_back({format("time %.2f s   fps %.0f   ", f.simulatedSeconds, f.framesPerSecond) +
                         (f.singleStep ? "single step" : "running"),
                     figureColor});
    if (f.heldBody >= 0)
        lines.push_back({format("holding body %.0f", f.heldBody), figureColor});
    return lines;
}

std::vector<TextLine> helpLines()
{
    const std::vector<std::string> rows = {
        "m             single step / full speed",
        "n             one step (single step)",
        "r             reset the scene",
        "q             quit",
        "left drag     on a body: grab and throw it",
        "              elsewhere: orbit the camera",
        "wheel         zoom",
        "space         throw a cube",
        "h             figures on and off",
        "c             contact points and normals",
        "s             tint sleeping bodies",
        "b             bounding boxes",
        "j             joints and the mouse spring",
        "PageDown ]    next scene file",
        "PageUp   [    previous scene file",
        "p             screenshot-N.png",
        "w             bodies' state to state-N.json",
        "F1 ?          this help",
    };
    std::vector<TextLine> lines{{"Controls", headingColor}};
    for (const std::string& row : rows)
        lines.push_back({row, figureColor});
    return lines;
}

TestBedText::TestBedText(std::ostream& errors)
{
    const std::string path = findScreenFont();
    if (path.empty()) {
        errors << "physics_test: no font for the on-screen text (install fonts-dejavu-core); going on "
                  "without it\n";
        return;
    }
    try {
        font_ = std::make_shared<ScreenFont>(path, pointSize);
    } catch (const std::exception& error) {
        errors << "physics_test: " << error.what() << "; going on without on-screen text\n";
        return;
    }
    hint_ = std::make_unique<TextPanel>(font_);
    figures_ = std::make_unique<TextPanel>(font_);
    help_ = std::make_unique<TextPanel>(font_);
    messagePanel_ = std::make_unique<TextPanel>(font_);
    hint_->setLines({{"F1 or ?: help", hintColor}});
    help_->setLines(helpLines());
}

void TestBedText::setFigures(const TestBedFigures& figures, std::uint32_t now, bool force)
{
    if (!figures_)
        return;
    if (!force && haveFigures_ && now - figuresTicks_ < figuresIntervalMilliseconds)
        return;
    figures_->setLines(figureLines(figures));
    figuresTicks_ = now;
    haveFigures_ = true;
}

void TestBedText::setMessage(const std::string& text, bool error, std::uint32_t now)
{
    message_ = text;
    messageIsError_ = error;
    messageTicks_ = now;
    if (messagePanel_)
        messagePanel_->setLines({{text, error ? errorColor : figureColor}});
}

void TestBedText::draw(bool showFigures, bool showHelp, std::uint32_t now, int windowWidth, int windowHeight)
{
    if (!font_)
        return;
    hint_->draw(edgeGap, edgeGap, windowWidth, windowHeight);
    if (showFigures)
        figures_->draw(edgeGap, 2 * edgeGap + hint_->height(), windowWidth, windowHeight);
    if (showHelp) {
        help_->update();
        help_->draw((windowWidth - help_->width()) / 2, (windowHeight - help_->height()) / 2, windowWidth,
                    windowHeight);
    }
    if (!message_.empty() && !messageIsError_ && now - messageTicks_ > messageMilliseconds) {
        message_.clear();
        messagePanel_->setLines({});
    }
    if (!message_.empty()) {
        messagePanel_->update();
        messagePanel_->draw(edgeGap, windowHeight - edgeGap - messagePanel_->height(), windowWidth,
                            windowHeight);
    }
}

} // namespace Tolvane
