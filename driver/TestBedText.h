// The test bed's on-screen text: the figures of the scene and its last step,
// the help of every control, and a message line; drawn in the window's corners.
#pragma once

#include "driver/ScreenText.h"
#include "physics/solver/ContactStepStatistics.h"

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace Tolvane {

/// What the figures panel shows.
struct TestBedFigures {
    std::string sceneName;
    int bodies = 0;
    int awakeBodies = 0;
    int sleepingBodies = 0;
    int thrownBodies = 0;
    int contactPairs = 0;
    int contactPoints = 0;
    /// Wall microseconds of the last step, and the solver response's stages in it.
    double stepMicroseconds = 0.0;
    Physics::PhaseTimes phases;
    /// False under the designed response, which counts no stages or contacts.
    bool solverResponse = true;
    double simulatedSeconds = 0.0;
    int framesPerSecond = 0;
    bool singleStep = true;
    /// The held body's index among the bodies, or -1.
    int heldBody = -1;
};

std::vector<TextLine> figureLines(const TestBedFigures& figures);
/// Every control, keys and mouse, one a line.
std::vector<TextLine> helpLines();

/// The panels and the font they share. Without a font (none installed, or it
/// cannot be opened) the text is left out and everything else goes on; the
/// reason is written once to errors.
class TestBedText {
  public:
    static constexpr int pointSize = 13;
    /// The figures change every frame; read at this pace they stay legible and cheap.
    static constexpr std::uint32_t figuresIntervalMilliseconds = 250;
    /// How long a message that is no error stays up.
    static constexpr std::uint32_t messageMilliseconds = 4000;

    explicit TestBedText(std::ostream& errors);

    bool hasFont() const { return font_ != nullptr; }

    /// Takes new figures when the last ones are older than the interval (or force).
    void setFigures(const TestBedFigures& figures, std::uint32_t now, bool force = false);
    /// A line at the bottom: an error stays until the next message, any other
    /// message goes after a few seconds.
    void setMessage(const std::string& text, bool error, std::uint32_t now);
    const std::string& message() const { return message_; }

    /// The hint in the top-left corner, the figures below it when shown, the
    /// help in the middle when shown, and the message at the bottom.
    void draw(bool showFigures, bool showHelp, std::uint32_t now, int windowWidth, int windowHeight);

  private:
    std::shared_ptr<ScreenFont> font_;
    std::unique_ptr<TextPanel> hint_;
    std::unique_ptr<TextPanel> figures_;
    std::unique_ptr<TextPanel> help_;
    std::unique_ptr<TextPanel> messagePanel_;
    std::uint32_t figuresTicks_ = 0;
    bool haveFigures_ = false;
    std::string message_;
    bool messageIsError_ = false;
    std::uint32_t messageTicks_ = 0;
};

} // namespace Tolvane
