// The interactive physics test: the scene's bodies paired with drawable twins, the
// driver's state, and the key, mouse and frame handlers that run the simulation.
#pragma once

#include "app/Application.h"
#include "driver/MouseGrab.h"
#include "driver/SceneList.h"
#include "driver/TestBedText.h"
#include "math/Point2.h"
#include "physics/body/PhysicalObject.h"
#include "renderer/Camera.h"
#include "renderer/DebugDrawing.h"
#include "renderer/OpenGLContextStore.h"
#include "renderer/SimpleSolidObjectRenderer.h"
#include "renderer/SolidObject.h"
#include "scene/PhysicsTestScene.h"

#include <SDL.h>
#include <boost/signals2/connection.hpp>

#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace Tolvane {

/// Everything the interactive program knows between frames, in one object.
///
/// solidObjects[i] draws physicalObjects[i]: index 0 is the floor, 1 to 125 the
/// blocks. The handlers follow the program's controls: "m" toggles single-step
/// and full-speed simulation, "n" asks for one step in single-step mode, "r"
/// puts the blocks back on their lattice, "q" quits; a left drag orbits the
/// camera and the wheel zooms.
///
/// Beside those it is a test bed: a left press on a movable body grabs it
/// with a soft spring (release throws it), space throws a cube, the keys
/// named in helpLines() show figures, help, contacts, sleeping bodies,
/// boxes and joints, step through the scene files of a folder, and save a
/// screenshot or the bodies' state.
///
/// The camera keeps a reference to cameraDistance, so the driver can be neither
/// copied nor moved.
class PhysicsTestDriver {
  public:
    /// Milliseconds since some fixed start; the real program uses SDL_GetTicks.
    using TickSource = std::function<std::uint32_t()>;
    using ScreenPoint = Application::ScreenPoint;

    static constexpr const char* blockModelFile = PhysicsTestScene::blockModelFile;
    static constexpr const char* floorModelFile = PhysicsTestScene::floorModelFile;
    static constexpr float blockStartHeight = PhysicsTestScene::blockStartHeight;

    /// Frames closer together than this are not processed at all.
    static constexpr std::uint32_t minimumFrameMilliseconds = 5;
    /// Wall milliseconds per simulated second: a frame's elapsed milliseconds
    /// divided by this give its simulated seconds, so the simulation runs ten
    /// times faster than the clock on the wall.
    static constexpr double ticksPerSimulatedSecond = 100.0;
    /// At most one simulated second is caught up in one frame (40 steps).
    static constexpr float maxCatchUpSeconds = 1.0f;
    /// The frame-rate line is printed once this many milliseconds have passed.
    static constexpr std::uint32_t fpsIntervalMilliseconds = 1000;
    /// Where the camera starts, and the closest the wheel brings it.
    static constexpr float startCameraDistance = 25.0f;
    static constexpr float minimumCameraDistance = 5.0f;
    /// Distance change of one wheel step.
    static constexpr float wheelStep = 5.0f;
    /// Pixels of drag per radian of orbit.
    static constexpr double dragPixelsPerRadian = 50.0;
    /// The camera's start orbit looks slightly down at the origin.
    static constexpr float startPitch = 0.2f;
    static constexpr int windowWidth = 800;
    static constexpr int windowHeight = 600;
    /// Speed of a thrown cube, world units per second, and its mass.
    static constexpr float throwSpeed = 50.0f;
    static constexpr float thrownMass = 1.0f;
    /// The window's title at start, and before a scene file's name once the
    /// list has loaded one.
    static constexpr const char* windowTitle = "Test App";

    /// console receives the "fps: " lines; ticks is the clock the frame gate and
    /// the frame rate read. Models are read from modelFolder (empty: the working
    /// directory). With a scenePath the scene file's bodies are shown instead of
    /// the program's scene. Nothing is loaded or drawn until prepareScene().
    explicit PhysicsTestDriver(std::ostream& console = std::cout, TickSource ticks = &SDL_GetTicks,
                               std::string modelFolder = std::string(),
                               std::string scenePath = std::string());

    PhysicsTestDriver(const PhysicsTestDriver&) = delete;
    PhysicsTestDriver& operator=(const PhysicsTestDriver&) = delete;

    /// Disconnects the handlers and lets the renderer, its display lists and the
    /// objects it has drawn go. Call with the GL context still current.
    ~PhysicsTestDriver();

    /// Everything between the usage text and the window: the camera distance,
    /// the light, the scene (buildScene), the objects registered for drawing,
    /// the accumulator and the camera at its start orbit. The physics universe
    /// should hold no other scene. Throws the model reader's errors.
    void prepareScene();

    /// Builds the physics scene (which registers its collision set, sets gravity
    /// and places the bodies), loads its models for drawing and pairs every body
    /// with a solid object sharing one renderer: fixed bodies (the floor) blue,
    /// movable ones (the blocks) red, each drawn where its body is. A scene file
    /// that cannot be used throws SceneFileError.
    void buildScene();

    /// The scene's reset (for the program's scene a fresh jitter on the same
    /// lattice points, blocks at rest and upright; for a scene file every body
    /// where the file places it), with the new poses copied to the solid objects.
    void resetBlocks();

    /// Connects the handlers to the application's signals: frame, mouse motion,
    /// left button down and up, wheel and key down. They stay connected until the
    /// driver is destroyed; "q" sets this application's quit flag.
    void connect(Application& application);

    /// Starts the frame gate and the frame-rate clock at the current tick.
    void startClock();

    /// One frame: steps the simulation as the mode asks, copies the blocks'
    /// poses, clears the buffers, draws and counts the frame. Does nothing when
    /// the last processed frame is less than 5 ms ago.
    void onFrame();
    /// m, n, q and r act as they always have; the test bed's keys are listed
    /// by helpLines(); every other key does nothing. Modifiers are ignored.
    void onKeyDown(SDLKey key, SDLMod modifiers);
    /// While a body is held, moves the spring's target under the pointer;
    /// else, while the left button is held, orbits the camera by the pointer's movement.
    void onMouseMotion(const ScreenPoint& position);
    /// Grabs the movable body under the pointer, if any; else starts an orbit.
    void onLeftButtonDown(const ScreenPoint& position);
    /// Lets the held body go with its velocity, or ends the orbit.
    void onLeftButtonUp(const ScreenPoint& position);
    /// Wheel up brings the camera 5 closer (not closer than 5), wheel down 5 further.
    void onMouseWheel(const ScreenPoint& position, bool up);

    /// The scene files that PageDown and PageUp (or "]" and "[") step
    /// through; the list is placed at the scene file shown, if it holds it.
    void setSceneList(SceneList list);
    const SceneList& sceneList() const { return sceneList_; }
    /// Loads the list's file at index in place of the scene shown: a file
    /// that cannot be used leaves the scene as it is and puts its error on
    /// screen (and on errors). Either way the list moves to index. True when
    /// the file was loaded.
    bool loadListedScene(std::size_t index);

    /// Shoots a cube from the eye along the view at throwSpeed: the scene's
    /// model named "thrown" when it has one, else the model of its first
    /// movable body, else the program's block model.
    void throwBody();

    /// The physics scene; null before buildScene().
    const PhysicsTestScene* scene() const { return scene_.get(); }
    /// The body the mouse holds, if any.
    const std::optional<MouseGrab>& grab() const { return grab_; }
    /// The on-screen text; null until the first frame draws it.
    const TestBedText* text() const { return text_.get(); }

    std::vector<std::shared_ptr<Renderer::SolidObject>> solidObjects;
    std::vector<std::shared_ptr<Physics::PhysicalObject>> physicalObjects;
    std::shared_ptr<Renderer::Camera> camera;
    float cameraDistance = startCameraDistance;
    bool singleStepMode = true;
    bool stepRequested = false;
    bool dragging = false;
    ScreenPoint lastMousePosition;
    /// Simulated seconds not yet stepped.
    float timeAccumulator = 0.0f;
    std::uint32_t lastFrameTicks = 0;
    std::uint32_t lastFpsTicks = 0;
    /// Frames processed since the last frame-rate line.
    int frameCount = 0;

    /// The test bed's switches, each on its key; all start off but the joints.
    bool showFigures = false;
    bool showHelp = false;
    bool drawContacts = false;
    bool tintSleeping = false;
    bool drawBoxes = false;
    bool drawJoints = true;
    /// Bodies thrown since the scene was built or reset: the last ones of physicalObjects.
    int thrownBodies = 0;
    /// Simulated seconds since the scene was built or reset.
    double simulatedSeconds = 0.0;

  private:
    /// Everything the scene's drawing needs besides its bodies: its models
    /// ready to draw, one per description model.
    using VisibleModels = std::vector<std::shared_ptr<Renderer::VisibleModel>>;
    /// Replaces the scene shown by a built one: lets the old one go, pairs the
    /// bodies with solid objects and registers them for drawing.
    void showScene(std::unique_ptr<PhysicsTestScene> scene, VisibleModels models);
    /// A solid object for body i (and its tinted twin) drawn with model.
    void addSolidObject(std::size_t i, const std::shared_ptr<Renderer::VisibleModel>& model);
    /// Takes the thrown bodies out of the world and the drawing.
    void removeThrownBodies();
    /// Stands the camera back far enough to see a scene file's movable bodies.
    void fitCamera();
    /// The steps this frame asks for, each after the held body's pull.
    void stepOnce();
    /// Debug lines and points of the switches that are on, drawn over the scene.
    void drawDebug();
    /// The bodies asleep, drawn again over themselves in the tint.
    void drawSleepingTint();
    /// The figures panel, help, message and hint.
    void drawText();
    void saveScreenshot();
    void saveState();
    /// Figures of the scene and the last step.
    TestBedFigures figures() const;
    void setMessage(const std::string& text, bool error);
    /// Copies every movable body's pose to its solid object; fixed bodies never move.
    void copyBlockPoses();
    /// Copies every body's pose, fixed ones too.
    void copyAllPoses();

    std::ostream& console_;
    TickSource ticks_;
    std::string modelFolder_;
    std::string scenePath_;
    std::unique_ptr<PhysicsTestScene> scene_;
    std::shared_ptr<Renderer::OpenGLContextStore> store_;
    std::shared_ptr<Renderer::SimpleSolidObjectRenderer> renderer_;
    bool* quitFlag_ = nullptr;
    Application* application_ = nullptr;
    VisibleModels visibleModels_;
    /// Parallel to solidObjects: each body drawn in the sleeping tint.
    std::vector<std::shared_ptr<Renderer::SolidObject>> tintedObjects_;
    SceneList sceneList_;
    std::optional<MouseGrab> grab_;
    std::unique_ptr<TestBedText> text_;
    Renderer::DebugDrawing debugDrawing_;
    bool screenshotRequested_ = false;
    bool stateRequested_ = false;
    /// Wall microseconds of the last step, and the frame rate last printed.
    double stepMicroseconds_ = 0.0;
    int lastFramesPerSecond_ = 0;
    std::vector<boost::signals2::scoped_connection> connections_;
};

} // namespace Tolvane
