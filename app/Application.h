// The one application object: owns SDL, the OpenGL window and the main loop, and
// publishes input and the frame tick as signals.
#pragma once

#include "math/Point2.h"

#include <SDL.h>
#include <boost/signals2/signal.hpp>

#include <string>
#include <utility>

namespace Tolvane {

/// Owns the SDL library state, the window and the main loop. There is exactly one,
/// reached through instance(); it shuts SDL down when the program exits.
///
/// Handlers connect to the signals below and run synchronously on the thread that
/// called run(), in connection order. A handler's exception stops the emission and
/// leaves run().
class Application {
  public:
    /// Window pixel position of the mouse, origin top-left, y growing downwards.
    using ScreenPoint = Math::Point2Tmpl<int, 0>;

    /// The one application object, constructed (and SDL initialised) on first call.
    /// Throws std::runtime_error "Could not initialize SDL" when SDL cannot start;
    /// a later call tries again.
    static Application& instance();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    /// Calls SDL_Quit.
    ~Application();

    /// Ends run() once set: by a window close request or by any subscriber.
    bool quit = false;

    /// The window's close request (SDL_QUIT), emitted after quit has been set.
    boost::signals2::signal<void()> quitSignal;
    /// Once per main-loop iteration, after all queued events.
    boost::signals2::signal<void()> frameSignal;
    /// Every mouse motion, with the new pointer position.
    boost::signals2::signal<void(const ScreenPoint&)> mouseMotionSignal;
    /// Left button pressed, with the pointer position.
    boost::signals2::signal<void(const ScreenPoint&)> leftButtonDownSignal;
    /// Left button released, with the pointer position.
    boost::signals2::signal<void(const ScreenPoint&)> leftButtonUpSignal;
    /// Right button pressed, with the pointer position.
    boost::signals2::signal<void(const ScreenPoint&)> rightButtonDownSignal;
    /// Right button released, with the pointer position.
    boost::signals2::signal<void(const ScreenPoint&)> rightButtonUpSignal;
    /// One wheel step at the pointer position; true for wheel up (away from the user).
    boost::signals2::signal<void(const ScreenPoint&, bool)> mouseWheelSignal;
    /// A key pressed: SDL's key code and the modifier state at that moment.
    boost::signals2::signal<void(SDLKey, SDLMod)> keyDownSignal;

    /// Opens the double-buffered OpenGL window of size (width, height) in pixels,
    /// 32 bits per pixel, with the caption as window and icon title.
    /// Throws std::runtime_error "Could not set video mode".
    void setVideoMode(std::pair<int, int> size, const std::string& caption);

    /// Sets the window and icon title.
    void setCaption(const std::string& caption);

    /// The main loop: clears quit, then per iteration dispatches every queued event,
    /// returns if quit is set, emits frameSignal, presents the frame, and returns if
    /// quit is set. Without a window (no successful setVideoMode) nothing is presented.
    void run();

  private:
    /// Initialises SDL's video subsystem and requests the OpenGL attributes.
    Application();

    /// Turns one SDL event into the emission of its signal.
    void dispatch(const SDL_Event& event);

    /// Waits for drawing to finish and swaps buffers, when there is a window.
    void present();

    /// True once an OpenGL window exists; GL calls are only made then.
    bool hasWindow = false;
};

} // namespace Tolvane
