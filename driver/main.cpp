// The physics test program's entry: usage text, the "Test App" window and the main loop.
#include "app/Application.h"

#include <GL/gl.h>

#include <exception>
#include <iostream>

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

constexpr int windowWidth = 800;
constexpr int windowHeight = 600;

void onFrame()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
}

void onKeyDown(SDLKey key, SDLMod)
{
    if (key == SDLK_q)
        Tolvane::Application::instance().quit = true;
}

} // namespace

int main(int, char**)
{
    try {
        std::cout << usageText;
        Tolvane::Application& application = Tolvane::Application::instance();
        application.setVideoMode({windowWidth, windowHeight}, "Test App");
        application.frameSignal.connect(&onFrame);
        application.keyDownSignal.connect(&onKeyDown);
        application.run();
        std::cout << "Ended succesfully\n";
        return 0;
    } catch (const std::exception& e) {
        std::cout << "Caught exception at top level: " << e.what() << "\n";
        return 1;
    }
}
