// Starting the physics_test program and finding and driving its window.
#include "ProgramHarness.h"

#include <cstdlib>
#include <thread>
#include <utility>

namespace ProgramHarness {

using namespace std::chrono_literals;

const std::string usageText = "Running Physics test\n"
                              "Usage: \n"
                              "m: Switch mode from full speed to single step\n"
                              "n: Advance step (in single step mode)\n"
                              "r: Reset blocks\n"
                              "q: quit\n"
                              "mouse: left click and drag to circle, scroll wheel zooms\n"
                              "(If you just want to see the blocks fall, press m now.\n\n";

ChildProcess startProgram(const std::string& workingDirectory, std::vector<std::string> unsetVariables,
                          const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{PHYSICS_TEST_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return ChildProcess(argv, {workingDirectory, std::move(unsetVariables)});
}

ChildProcess startProgram(std::vector<std::string> unsetVariables)
{
    return startProgram(TOLVANE_DATA_DIR, std::move(unsetVariables));
}

namespace {

/// Asks SDL, for the program started while it lives, to open its window at
/// the bottom right of the 1024 x 768 test screen: clear of the top-left
/// corner, where other test suites open small GL windows while the picture
/// tests take theirs.
struct PlacedWindow {
    PlacedWindow() { setenv("SDL_VIDEO_WINDOW_POS", "224,168", 1); }
    ~PlacedWindow() { unsetenv("SDL_VIDEO_WINDOW_POS"); }
};

} // namespace

ChildProcess startPlacedProgram(const std::string& workingDirectory,
                                const std::vector<std::string>& arguments)
{
    const PlacedWindow placed;
    return startProgram(workingDirectory, {}, arguments);
}

std::string waitForWindow(ChildProcess& program)
{
    const auto deadline = std::chrono::steady_clock::now() + windowTimeout;
    while (std::chrono::steady_clock::now() < deadline && program.running()) {
        const std::optional<std::string> found =
            runForOutput({"xdotool", "search", "--all", "--onlyvisible", "--pid",
                          std::to_string(program.pid()), "--name", "^Test App$"},
                         xdotoolTimeout);
        if (found && !found->empty())
            return found->substr(0, found->find('\n'));
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

bool xdotool(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runForOutput(argv, xdotoolTimeout).has_value();
}

std::string report(ChildProcess& program)
{
    return "standard output:\n" + program.standardOutput() + "\nstandard error:\n" + program.standardError();
}

} // namespace ProgramHarness
