// The physics test program: 125 blocks fall on a floor in an 800 x 600 window,
// run from the keyboard and mouse until "q" or the window is closed.
#include "app/Application.h"
#include "driver/PhysicsTestDriver.h"

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>
#include <string>

namespace {

/// Printed at start, before anything can fail, so the controls are always shown.
constexpr const char* usageText = "Running Physics test\n"
                                  "Usage: \n"
                                  "m: Switch mode from full speed to single step\n"
                                  "n: Advance step (in single step mode)\n"
                                  "r: Reset blocks\n"
                                  "q: quit\n"
                                  "mouse: left click and drag to circle, scroll wheel zooms\n"
                                  "(If you just want to see the blocks fall, press m now.\n\n";

/// Exit status after the user quits, and after an error reported at top level.
constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;
/// Exit status for arguments that cannot be understood.
constexpr int exitUsage = 2;

} // namespace

int main(int argc, char** argv)
{
    // Without arguments the program shows its own scene; --scene shows a scene file.
    std::string scenePath;
    std::string scenesFolder;
    CLI::App arguments("Shows the physics test scene, or a scene file, in a window.", "physics_test");
    arguments.add_option("--scene", scenePath, "show the scene file FILE instead of the program's scene")
        ->type_name("FILE");
    arguments
        .add_option(
            "--scenes", scenesFolder,
            "step through the scene files in DIR with PageDown and PageUp (default: the shipped scenes)")
        ->type_name("DIR")
        ->check(CLI::ExistingDirectory);
    try {
        arguments.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << arguments.help();
        return exitSuccess;
    } catch (const CLI::ParseError& error) {
        std::cerr << "physics_test: " << error.what() << "\n\n" << arguments.help();
        return exitUsage;
    }

    try {
        // Flushed at once, so that whoever watches the console sees the controls
        // before the window appears.
        std::cout << usageText << std::flush;

        // Camera distance, light, the scene of floor and blocks with its collision
        // set and gravity, the draw list, the accumulator and the camera.
        Tolvane::PhysicsTestDriver driver(std::cout, &SDL_GetTicks, std::string(), scenePath);
        driver.prepareScene();
        driver.setSceneList(Tolvane::SceneList(
            scenesFolder.empty() ? Tolvane::defaultScenesFolder(TOLVANE_SCENES_DIR) : scenesFolder));

        Tolvane::Application& application = Tolvane::Application::instance();
        application.setVideoMode(
            {Tolvane::PhysicsTestDriver::windowWidth, Tolvane::PhysicsTestDriver::windowHeight},
            Tolvane::PhysicsTestDriver::windowTitle);
        driver.connect(application);
        driver.startClock();
        application.run();

        std::cout << "Ended succesfully\n";
        return exitSuccess;
    } catch (const std::exception& e) {
        std::cout << "Caught exception at top level: " << e.what() << "\n";
        return exitFailure;
    }
}
