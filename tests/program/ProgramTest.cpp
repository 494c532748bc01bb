// The built physics_test program, run as a user runs it: console text, the real
// window under the X display, keys sent to it, and its exit status.
#include "ProgramHarness.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

using namespace std::chrono_literals;
using namespace ProgramHarness;

namespace {

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

TEST(Program, QuitsOnQKeyWithUsageAndClosingLine)
{
    REQUIRE_DISPLAY();
    ChildProcess program = startProgram();
    const std::string window = waitForWindow(program);
    ASSERT_FALSE(window.empty()) << "no \"Test App\" window appeared\n" << report(program);

    // A key press alone: the program is gone before a release could reach it.
    ASSERT_TRUE(xdotool({"keydown", "--window", window, "q"}));
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

    ASSERT_TRUE(xdotool({"key", "--window", window, "x", "Escape", "space"}));
    EXPECT_FALSE(program.waitFor(1s)) << report(program);
    ASSERT_TRUE(xdotool({"keydown", "--window", window, "q"}));
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

TEST(Program, WithoutTheFloorModelPrintsUsageThenTheReadersErrorAndFails)
{
    // A folder holding the block's model but not the floor's.
    const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / "tolvane-no-floor";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(std::filesystem::path(TOLVANE_DATA_DIR) / "SimpleCube.ac",
                               folder / "SimpleCube.ac");

    ChildProcess program = startProgram(folder.string());
    const std::optional<int> status = program.waitFor(exitTimeout);
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(status) << report(program);
    EXPECT_EQ(*status, 1) << report(program);
    // The reader cannot read a first token from a file that does not open.
    EXPECT_EQ(program.standardOutput(),
              usageText + "Caught exception at top level: Couldn't read first token\n");
}
