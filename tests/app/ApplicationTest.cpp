// The application's main loop with real SDL events pushed into SDL's queue
// (dummy video driver: no window, so nothing is presented).
#include "app/Application.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

using Tolvane::Application;
using ScreenPoint = Application::ScreenPoint;

namespace {

std::string describe(const ScreenPoint& p)
{
    return std::to_string(p.x) + "," + std::to_string(p.y);
}

void pushKeyDown(SDLKey key, SDLMod modifiers)
{
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.type = SDL_KEYDOWN;
    event.key.state = SDL_PRESSED;
    event.key.keysym.sym = key;
    event.key.keysym.mod = modifiers;
    ASSERT_EQ(SDL_PushEvent(&event), 0);
}

void pushKeyUp(SDLKey key)
{
    SDL_Event event{};
    event.type = SDL_KEYUP;
    event.key.type = SDL_KEYUP;
    event.key.state = SDL_RELEASED;
    event.key.keysym.sym = key;
    ASSERT_EQ(SDL_PushEvent(&event), 0);
}

void pushMotion(Uint16 x, Uint16 y)
{
    SDL_Event event{};
    event.type = SDL_MOUSEMOTION;
    event.motion.type = SDL_MOUSEMOTION;
    event.motion.x = x;
    event.motion.y = y;
    ASSERT_EQ(SDL_PushEvent(&event), 0);
}

void pushButton(Uint8 type, Uint8 button, Uint16 x, Uint16 y)
{
    SDL_Event event{};
    event.type = type;
    event.button.type = type;
    event.button.button = button;
    event.button.state = type == SDL_MOUSEBUTTONDOWN ? SDL_PRESSED : SDL_RELEASED;
    event.button.x = x;
    event.button.y = y;
    ASSERT_EQ(SDL_PushEvent(&event), 0);
}

void pushQuit()
{
    SDL_Event event{};
    event.type = SDL_QUIT;
    ASSERT_EQ(SDL_PushEvent(&event), 0);
}

// Connects a recorder to every signal of the one application object and starts
// each test with no handlers and an empty event queue.
class ApplicationLoop : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        // The dummy driver initialises without an X server; set here too so the
        // executable also works when run by hand outside CTest.
        setenv("SDL_VIDEODRIVER", "dummy", 1);
    }

    void SetUp() override
    {
        disconnectAll();
        SDL_Event stale;
        while (SDL_PollEvent(&stale)) {
        }
        app.quit = false;
    }

    void TearDown() override { disconnectAll(); }

    void disconnectAll()
    {
        app.quitSignal.disconnect_all_slots();
        app.frameSignal.disconnect_all_slots();
        app.mouseMotionSignal.disconnect_all_slots();
        app.leftButtonDownSignal.disconnect_all_slots();
        app.leftButtonUpSignal.disconnect_all_slots();
        app.rightButtonDownSignal.disconnect_all_slots();
        app.rightButtonUpSignal.disconnect_all_slots();
        app.mouseWheelSignal.disconnect_all_slots();
        app.keyDownSignal.disconnect_all_slots();
    }

    void recordEverything()
    {
        app.quitSignal.connect(
            [this] { log.push_back(std::string("quit ") + (app.quit ? "set" : "unset")); });
        app.frameSignal.connect([this] { log.push_back("frame"); });
        app.mouseMotionSignal.connect(
            [this](const ScreenPoint& p) { log.push_back("motion " + describe(p)); });
        app.leftButtonDownSignal.connect(
            [this](const ScreenPoint& p) { log.push_back("left down " + describe(p)); });
        app.leftButtonUpSignal.connect(
            [this](const ScreenPoint& p) { log.push_back("left up " + describe(p)); });
        app.rightButtonDownSignal.connect(
            [this](const ScreenPoint& p) { log.push_back("right down " + describe(p)); });
        app.rightButtonUpSignal.connect(
            [this](const ScreenPoint& p) { log.push_back("right up " + describe(p)); });
        app.mouseWheelSignal.connect([this](const ScreenPoint& p, bool up) {
            log.push_back("wheel " + describe(p) + (up ? " up" : " down"));
        });
        app.keyDownSignal.connect([this](SDLKey key, SDLMod modifiers) {
            log.push_back("key " + std::to_string(key) + " mod " + std::to_string(modifiers));
        });
    }

    // Ends run() after the first frame, for tests whose queue holds no quit event.
    void quitAfterFirstFrame()
    {
        app.frameSignal.connect([this] { app.quit = true; });
    }

    Application& app = Application::instance();
    std::vector<std::string> log;
};

} // namespace

TEST_F(ApplicationLoop, InstanceIsOneObject)
{
    EXPECT_EQ(&Application::instance(), &app);
}

TEST_F(ApplicationLoop, KeyDownPassesKeyAndModifiersUnchanged)
{
    recordEverything();
    quitAfterFirstFrame();
    pushKeyDown(SDLK_a, KMOD_LSHIFT);
    pushKeyUp(SDLK_a);
    pushKeyDown(SDLK_q, static_cast<SDLMod>(KMOD_RCTRL | KMOD_NUM));
    app.run();
    const std::vector<std::string> expected = {
        "key " + std::to_string(SDLK_a) + " mod " + std::to_string(KMOD_LSHIFT),
        "key " + std::to_string(SDLK_q) + " mod " + std::to_string(KMOD_RCTRL | KMOD_NUM),
        "frame",
    };
    EXPECT_EQ(log, expected);
}

TEST_F(ApplicationLoop, MouseEventsCarryPositionAndButton)
{
    recordEverything();
    quitAfterFirstFrame();
    // Positions are unsigned 16-bit in SDL; 40000 shows they are widened, not
    // read as signed.
    pushMotion(40000, 7);
    pushButton(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 1, 2);
    pushButton(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 3, 4);
    pushButton(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT, 5, 6);
    pushButton(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT, 7, 8);
    pushButton(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELUP, 9, 10);
    pushButton(SDL_MOUSEBUTTONUP, SDL_BUTTON_WHEELUP, 9, 10);
    pushButton(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELDOWN, 11, 12);
    pushButton(SDL_MOUSEBUTTONUP, SDL_BUTTON_WHEELDOWN, 11, 12);
    pushButton(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_MIDDLE, 13, 14);
    pushButton(SDL_MOUSEBUTTONUP, SDL_BUTTON_MIDDLE, 13, 14);
    app.run();
    const std::vector<std::string> expected = {
        "motion 40000,7", "left down 1,2", "left up 3,4",      "right down 5,6",
        "right up 7,8",   "wheel 9,10 up", "wheel 11,12 down", "frame",
    };
    EXPECT_EQ(log, expected);
}

TEST_F(ApplicationLoop, QuitEventDispatchesRestOfQueueAndDrawsNoFrame)
{
    recordEverything();
    pushKeyDown(SDLK_x, KMOD_NONE);
    pushQuit();
    pushMotion(20, 30);
    app.run();
    EXPECT_TRUE(app.quit);
    const std::vector<std::string> expected = {
        "key " + std::to_string(SDLK_x) + " mod 0",
        "quit set",
        "motion 20,30",
    };
    EXPECT_EQ(log, expected);
}

TEST_F(ApplicationLoop, QuitSetByEventHandlerEndsLoopBeforeNextFrame)
{
    // The way the program's "q" key ends it: an event arriving between frames.
    int frames = 0;
    app.frameSignal.connect([&] {
        if (++frames == 2)
            pushKeyDown(SDLK_q, KMOD_NONE);
    });
    app.keyDownSignal.connect([this](SDLKey key, SDLMod) {
        if (key == SDLK_q)
            app.quit = true;
    });
    app.run();
    EXPECT_EQ(frames, 2);
}

TEST_F(ApplicationLoop, FrameHandlerSettingQuitEndsLoopAfterThatFrame)
{
    app.quit = true; // run() starts by clearing it
    int frames = 0;
    app.frameSignal.connect([&] {
        if (++frames == 3)
            app.quit = true;
    });
    app.run();
    EXPECT_EQ(frames, 3);
}

TEST_F(ApplicationLoop, FrameHandlersRunInConnectionOrder)
{
    int frames = 0;
    app.frameSignal.connect([&] { log.push_back("first"); });
    app.frameSignal.connect([&] {
        log.push_back("second");
        if (++frames == 2)
            app.quit = true;
    });
    app.run();
    const std::vector<std::string> expected = {"first", "second", "first", "second"};
    EXPECT_EQ(log, expected);
}

TEST_F(ApplicationLoop, HandlerExceptionStopsEmissionAndLeavesRun)
{
    app.frameSignal.connect([] { throw std::runtime_error("frame failed"); });
    app.frameSignal.connect([&] { log.push_back("later frame handler"); });
    try {
        app.run();
        FAIL() << "run() returned normally";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "frame failed");
    }
    EXPECT_TRUE(log.empty());

    // An event handler's exception leaves run() the same way, before any frame.
    disconnectAll();
    recordEverything();
    app.keyDownSignal.connect([](SDLKey, SDLMod) { throw std::runtime_error("key failed"); });
    pushKeyDown(SDLK_r, KMOD_NONE);
    EXPECT_THROW(app.run(), std::runtime_error);
    EXPECT_EQ(log, std::vector<std::string>{"key " + std::to_string(SDLK_r) + " mod 0"});
}

TEST_F(ApplicationLoop, VideoModeFailureIsReportedAndLoopStillRuns)
{
    // The dummy driver cannot open an OpenGL window.
    try {
        app.setVideoMode({800, 600}, "Test App");
        FAIL() << "setVideoMode succeeded without an OpenGL-capable driver";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Could not set video mode");
    }
    recordEverything();
    quitAfterFirstFrame();
    app.run();
    EXPECT_EQ(log, std::vector<std::string>{"frame"});
}
