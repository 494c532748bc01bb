// Starting the physics_test program as a user does and driving its window with
// xdotool under the X display.
#pragma once

#include "ChildProcess.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace ProgramHarness {

/// The program's usage text, byte for byte.
extern const std::string usageText;

// Generous bounds: the sanitized build under a software renderer starts slowly.
constexpr std::chrono::seconds windowTimeout(60);
constexpr std::chrono::seconds exitTimeout(60);
constexpr std::chrono::seconds xdotoolTimeout(10);

/// Starts the program in workingDirectory (by default the folder holding the
/// model files, as a user starts it), without the named environment variables
/// and with the given command-line arguments.
ChildProcess startProgram(const std::string& workingDirectory, std::vector<std::string> unsetVariables = {},
                          const std::vector<std::string>& arguments = {});
ChildProcess startProgram(std::vector<std::string> unsetVariables = {});

/// Starts the program in workingDirectory with its window at the bottom
/// right of the test screen, clear of other suites' windows, for the tests
/// that take pictures of it.
ChildProcess startPlacedProgram(const std::string& workingDirectory,
                                const std::vector<std::string>& arguments);

/// Waits until the program has mapped its "Test App" window and returns the
/// window id, or an empty string if the program ended or the time ran out.
std::string waitForWindow(ChildProcess& program);

/// Runs xdotool with the given arguments; true when it succeeded.
bool xdotool(const std::vector<std::string>& arguments);

/// The program's console output and errors, for failure messages.
std::string report(ChildProcess& program);

/// The first of take()'s answers (an optional, such as a picture of the
/// window), asked every 100 ms, that accept takes; none when timeout passes.
template <class Take, class Accept>
auto firstAccepted(std::chrono::steady_clock::duration timeout, Take take, Accept accept) -> decltype(take())
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto answer = take();
        if (answer && accept(*answer))
            return answer;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

} // namespace ProgramHarness

// Window tests need an X display. Where the whole suite is meant to run them
// (TOLVANE_REQUIRE_DISPLAY set, as the project's test script does), a missing
// display is a failure, never a silent skip.
#define REQUIRE_DISPLAY()                                                                                    \
    do {                                                                                                     \
        if (std::getenv("DISPLAY") == nullptr) {                                                             \
            if (std::getenv("TOLVANE_REQUIRE_DISPLAY") != nullptr)                                           \
                FAIL() << "DISPLAY is not set; run the tests under xvfb-run";                                \
            GTEST_SKIP() << "no X display";                                                                  \
        }                                                                                                    \
    } while (0)
