// The built physics_test program, run as a user runs it: console text, the real
// window under the X display, keys sent to it, and its exit status.
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string usageText = "Running Physics test\n"
                              "Usage: \n"
                              "m: Switch mode from full speed to single step\n"
                              "n: Advance step (in single step mode)\n"
                              "r: Reset blocks\n"
                              "q: quit\n"
                              "mouse: left click and drag to circle, scroll wheel zooms\n"
                              "(If you just want to see the blocks fall, press m now.\n\n";

// Generous bounds: the sanitized build under a software renderer starts slowly.
constexpr auto windowTimeout = 60s;
constexpr auto exitTimeout = 60s;
constexpr auto xdotoolTimeout = 10s;

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string report(ChildProcess& program)
{
    return "standard output:\n" + program.standardOutput() + "\nstandard error:\n" + program.standardError();
}

// The program as a user starts it: from the folder holding the model files.
ChildProcess startProgram(std::vector<std::string> unsetVariables = {})
{
    return ChildProcess({PHYSICS_TEST_PROGRAM}, {TOLVANE_DATA_DIR, std::move(unsetVariables)});
}

// Window tests need an X display. Where the whole suite is meant to run them
// (TOLVANE_REQUIRE_DISPLAY set, as the project's test script does), a missing
// display is a failure, never a silent skip.
#define REQUIRE_DISPLAY()                                                                                  \
    do {                                                                                                   \
        if (std::getenv("DISPLAY") == nullptr) {                                                           \
            if (std::getenv("TOLVANE_REQUIRE_DISPLAY") != nullptr)                                         \
                FAIL() << "DISPLAY is not set; run the tests under xvfb-run";                              \
            GTEST_SKIP() << "no X display";                                                                \
        }                                                                                                  \
    } while (0)

// Waits until the program has mapped its "Test App" window and returns the window
// id, or an empty string if the program ended or the time ran out.
std::string waitForWindow(ChildProcess& program)
{
    const auto deadline = std::chrono::steady_clock::now() + windowTimeout;
    while (std::chrono::steady_clock::now() < deadline && program.running()) {
        const std::optional<std::string> found =
            runForOutput({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(program.pid()),
                          "--name", "^Test App$"},
                         xdotoolTimeout);
        if (found && !found->empty())
            return found->substr(0, found->find('\n'));
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

} // namespace

TEST(Program, QuitsOnQKeyWithUsageAndClosingLine)
{
    REQUIRE_DISPLAY();
    ChildProcess program = startProgram();
    const std::string window = waitForWindow(program);
    ASSERT_FALSE(window.empty()) << "no \"Test App\" window appeared\n" << report(program);

    // A key press alone: the program is gone before a release could reach it.
    ASSERT_TRUE(runForOutput({"xdotool", "keydown", "--window", window, "q"}, xdotoolTimeout));
    const std::optional<int> status = program.waitFor(exitTimeout);
    ASSERT_TRUE(status) << "the program did not end after \"q\"\n" << report(program);
    EXPECT_EQ(*status, 0) << report(program);

    const std::string output = program.standardOutput();
    EXPECT_TRUE(startsWith(output, usageText)) << output;
    EXPECT_TRUE(endsWith(output, "Ended succesfully\n")) << output;
}

TEST(Program, OtherKeysDoNotEndIt)
{
    REQUIRE_DISPLAY();
    ChildProcess program = startProgram();
    const std::string window = waitForWindow(program);
    ASSERT_FALSE(window.empty()) << report(program);

    ASSERT_TRUE(runForOutput({"xdotool", "key", "--window", window, "x", "Escape", "space"}, xdotoolTimeout));
    EXPECT_FALSE(program.waitFor(1s)) << report(program);
    ASSERT_TRUE(runForOutput({"xdotool", "keydown", "--window", window, "q"}, xdotoolTimeout));
    EXPECT_EQ(program.waitFor(exitTimeout), std::optional<int>(0)) << report(program);
}

TEST(Program, TerminationRequestEndsItNormally)
{
    // With video running, SDL turns SIGTERM into a quit event: the same path as
    // closing the window.
    REQUIRE_DISPLAY();
    ChildProcess program = startProgram();
    ASSERT_FALSE(waitForWindow(program).empty()) << report(program);

    program.signal(SIGTERM);
    const std::optional<int> status = program.waitFor(exitTimeout);
    ASSERT_TRUE(status) << report(program);
    EXPECT_EQ(*status, 0) << report(program);
    EXPECT_TRUE(endsWith(program.standardOutput(), "Ended succesfully\n")) << report(program);
}

TEST(Program, WithoutDisplayPrintsUsageThenReportsErrorAndFails)
{
    ChildProcess program = startProgram({"DISPLAY", "SDL_VIDEODRIVER", "WAYLAND_DISPLAY"});
    const std::optional<int> status = program.waitFor(exitTimeout);
    ASSERT_TRUE(status) << report(program);
    EXPECT_EQ(*status, 1) << report(program);

    const std::string output = program.standardOutput();
    const std::string noWindow = usageText + "Caught exception at top level: Could not set video mode\n";
    const std::string noSdl = usageText + "Caught exception at top level: Could not initialize SDL\n";
    EXPECT_TRUE(output == noWindow || output == noSdl) << output;
}
