// SDL start-up and shut-down, the window, the main loop and event dispatch.
#include "app/Application.h"

#include <GL/gl.h>

#include <cstdlib>
#include <stdexcept>

namespace Tolvane {

namespace {
// Every window is opened with 32 bits per pixel.
constexpr int windowBitsPerPixel = 32;
// An 8-bit stencil buffer, as the scene pass clears it every frame.
constexpr int stencilBits = 8;
// The only SDL video driver on this platform that can open an OpenGL window.
constexpr const char* openGLVideoDriver = "x11";
} // namespace

Application& Application::instance()
{
    // Built on first use, inside the caller's error handling, so that a failure to
    // start SDL is reported like any other error. A throwing constructor leaves the
    // object unbuilt and the next call tries again.
    static Application application;
    return application;
}

Application::Application()
{
    // Left to itself, SDL falls back to drivers such as its text-terminal one when
    // there is no X display; those cannot open an OpenGL window anyway, and the
    // terminal one takes over standard output and hides the error report. So the
    // X11 driver is chosen unless the user named a driver explicitly.
    setenv("SDL_VIDEODRIVER", openGLVideoDriver, 0);
    if (SDL_Init(SDL_INIT_VIDEO) < 0)
        throw std::runtime_error("Could not initialize SDL");
    // The results are not checked: an attribute the driver cannot honour shows up
    // when the video mode is set, not here.
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_GL_SetAttribute(SDL_GL_SWAP_CONTROL, 1);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, stencilBits);
}

Application::~Application()
{
    SDL_Quit();
}

void Application::setVideoMode(std::pair<int, int> size, const std::string& caption)
{
    if (SDL_SetVideoMode(size.first, size.second, windowBitsPerPixel, SDL_HWSURFACE | SDL_OPENGL) == nullptr)
        throw std::runtime_error("Could not set video mode");
    hasWindow = true;
    setCaption(caption);
}

void Application::setCaption(const std::string& caption)
{
    SDL_WM_SetCaption(caption.c_str(), caption.c_str());
}

void Application::run()
{
    quit = false;
    for (;;) {
        // Every queued event is dispatched, even those behind one that sets quit.
        SDL_Event event;
        while (SDL_PollEvent(&event))
            dispatch(event);
        if (quit)
            return;
        frameSignal();
        present();
        if (quit)
            return;
    }
}

void Application::present()
{
    // Without a window there is no GL context to finish or swap; skipping the
    // present keeps the loop usable (and safe) for event handling alone.
    if (!hasWindow)
        return;
    glFinish();
    SDL_GL_SwapBuffers();
}

void Application::dispatch(const SDL_Event& event)
{
    switch (event.type) {
    case SDL_KEYDOWN:
        keyDownSignal(event.key.keysym.sym, event.key.keysym.mod);
        break;
    case SDL_MOUSEMOTION:
        mouseMotionSignal(ScreenPoint(event.motion.x, event.motion.y));
        break;
    case SDL_MOUSEBUTTONDOWN: {
        const ScreenPoint position(event.button.x, event.button.y);
        switch (event.button.button) {
        case SDL_BUTTON_LEFT:
            leftButtonDownSignal(position);
            break;
        case SDL_BUTTON_RIGHT:
            rightButtonDownSignal(position);
            break;
        case SDL_BUTTON_WHEELUP:
        case SDL_BUTTON_WHEELDOWN:
            mouseWheelSignal(position, event.button.button == SDL_BUTTON_WHEELUP);
            break;
        default:
            break;
        }
        break;
    }
    case SDL_MOUSEBUTTONUP: {
        // Wheel releases carry no information of their own and are dropped.
        const ScreenPoint position(event.button.x, event.button.y);
        if (event.button.button == SDL_BUTTON_LEFT)
            leftButtonUpSignal(position);
        else if (event.button.button == SDL_BUTTON_RIGHT)
            rightButtonUpSignal(position);
        break;
    }
    case SDL_QUIT:
        quit = true;
        quitSignal();
        break;
    default:
        break;
    }
}

} // namespace Tolvane
