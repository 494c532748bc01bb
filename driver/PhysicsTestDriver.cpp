// The interactive physics test's scene pairing, frame loop and input handlers.
#include "driver/PhysicsTestDriver.h"

#include "math/Quaternion.h"
#include "math/Transform.h"
#include "math/Vector3.h"
#include "physics/PhysicalUniverse.h"
#include "renderer/Scene.h"
#include "scene/SceneFile.h"

#include <GL/gl.h>

#include <algorithm>
#include <cassert>
#include <utility>

namespace Tolvane {

namespace {

using Physics::PhysicalUniverse;

// The one directional light: from above, right and in front of the lattice,
// with a grey ambient term so that faces turned away stay visible.
constexpr Math::Vector3 lightDirection{1.0f, 1.0f, 1.0f};
constexpr Renderer::Color lightAmbient{{0.3f, 0.3f, 0.3f, 1.0f}};
constexpr Renderer::Color lightDiffuse{{1.0f, 1.0f, 1.0f, 1.0f}};
constexpr Renderer::Color lightSpecular{{1.0f, 1.0f, 1.0f, 1.0f}};

constexpr Renderer::Color floorColor{{0.0f, 0.0f, 1.0f, 1.0f}};
constexpr Renderer::Color blockColor{{1.0f, 0.0f, 0.0f, 1.0f}};

// The camera orbits about, and looks at, the world's origin.
constexpr Math::Vector3 orbitTarget{0.0f, 0.0f, 0.0f};

// Colour, depth and stencil: everything the window has.
constexpr GLbitfield clearedBuffers = GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT;

/// A scene file's camera stands back far enough for a sphere about the orbit
/// target holding every movable body to fill about the height of the view
/// (the 45 degree field of view sees a sphere of radius d sin 22.5° at distance d).
float distanceShowingMovableBodies(const std::vector<std::shared_ptr<Physics::PhysicalObject>>& bodies)
{
    constexpr float distancePerRadius = 2.6f;
    float radius = 0.0f;
    for (const auto& body : bodies)
        if (!body->fixed && body->model)
            radius =
                std::max(radius, (body->transform.position - orbitTarget).length() + body->model->radius());
    return radius * distancePerRadius;
}

/// Pixels of drag turned into radians, rounded to float.
float dragAngle(int pixels)
{
    return static_cast<float>(pixels / PhysicsTestDriver::dragPixelsPerRadian);
}

} // namespace

PhysicsTestDriver::PhysicsTestDriver(std::ostream& console, TickSource ticks, std::string modelFolder,
                                     std::string scenePath)
    : console_(console), ticks_(std::move(ticks)), modelFolder_(std::move(modelFolder)),
      scenePath_(std::move(scenePath))
{
    // The clock is first read by startClock(): SDL's ticks only count once SDL is up.
    assert(ticks_);
}

PhysicsTestDriver::~PhysicsTestDriver()
{
    // The renderer keeps every object it has drawn and each object keeps the
    // renderer: without cutting that circle neither would ever be freed, nor
    // the display lists in the store.
    for (const auto& object : solidObjects)
        object->setRenderer(nullptr);
}

void PhysicsTestDriver::prepareScene()
{
    cameraDistance = startCameraDistance;
    dragging = false;
    Renderer::setLighting(lightDirection, lightAmbient, lightDiffuse, lightSpecular);

    buildScene();
    for (const auto& object : solidObjects)
        Renderer::addVisibleObject(object);
    if (!scenePath_.empty())
        cameraDistance = std::max(cameraDistance, distanceShowingMovableBodies(physicalObjects));

    // Switching to full speed starts with one step's worth of time in hand.
    timeAccumulator = PhysicalUniverse::timeStep;

    camera = std::make_shared<Renderer::Camera>(cameraDistance);
    camera->viewportOrigin = {0, 0};
    camera->viewportSize = {windowWidth, windowHeight};
    camera->orbit(orbitTarget, 0.0f, startPitch);
}

void PhysicsTestDriver::buildScene()
{
    store_ = std::make_shared<Renderer::OpenGLContextStore>();
    renderer_ = std::make_shared<Renderer::SimpleSolidObjectRenderer>(store_);

    // The scene places the blocks as it builds them, with the same draws from
    // rand() as the headless runner, so both simulate the same start.
    scene_ = scenePath_.empty() ? std::make_unique<PhysicsTestScene>(modelFolder_)
                                : std::make_unique<PhysicsTestScene>(loadSceneFile(scenePath_));
    const SceneDescription& description = scene_->description();
    std::vector<std::shared_ptr<Renderer::VisibleModel>> visibleModels;
    for (const ModelReference& model : description.models)
        visibleModels.push_back(Renderer::loadVisibleModel(model.path));

    solidObjects.clear();
    physicalObjects = scene_->bodies();
    for (std::size_t i = 0; i < physicalObjects.size(); ++i) {
        auto object = std::make_shared<Renderer::SolidObject>(visibleModels[scene_->bodyModel(i)]);
        object->color = physicalObjects[i]->fixed ? floorColor : blockColor;
        object->setRenderer(renderer_);
        solidObjects.push_back(object);
    }
    copyAllPoses();
}

void PhysicsTestDriver::resetBlocks()
{
    assert(scene_);
    scene_->resetBlocks();
    copyAllPoses();
}

void PhysicsTestDriver::copyBlockPoses()
{
    for (std::size_t i = 0; i < physicalObjects.size(); ++i) {
        if (physicalObjects[i]->fixed)
            continue;
        const Math::Transform pose = physicalObjects[i]->getTransform();
        Math::Transform& drawn = solidObjects[i]->transform;
        drawn.position = pose.position;
        drawn.orientation = pose.orientation;
        drawn.dirty = true;
    }
}

void PhysicsTestDriver::copyAllPoses()
{
    for (std::size_t i = 0; i < physicalObjects.size(); ++i) {
        const Math::Transform pose = physicalObjects[i]->getTransform();
        Math::Transform& drawn = solidObjects[i]->transform;
        drawn.position = pose.position;
        drawn.orientation = pose.orientation;
        drawn.dirty = true;
    }
}

void PhysicsTestDriver::connect(Application& application)
{
    quitFlag_ = &application.quit;
    connections_.emplace_back(application.frameSignal.connect([this] { onFrame(); }));
    connections_.emplace_back(
        application.mouseMotionSignal.connect([this](const ScreenPoint& p) { onMouseMotion(p); }));
    connections_.emplace_back(
        application.leftButtonDownSignal.connect([this](const ScreenPoint& p) { onLeftButtonDown(p); }));
    connections_.emplace_back(
        application.leftButtonUpSignal.connect([this](const ScreenPoint& p) { onLeftButtonUp(p); }));
    connections_.emplace_back(
        application.mouseWheelSignal.connect([this](const ScreenPoint& p, bool up) { onMouseWheel(p, up); }));
    connections_.emplace_back(application.keyDownSignal.connect(
        [this](SDLKey key, SDLMod modifiers) { onKeyDown(key, modifiers); }));
}

void PhysicsTestDriver::startClock()
{
    lastFrameTicks = ticks_();
    lastFpsTicks = ticks_();
}

void PhysicsTestDriver::onFrame()
{
    // Unsigned arithmetic keeps the difference right across the tick counter's wrap.
    const std::uint32_t elapsed = ticks_() - lastFrameTicks;
    if (elapsed < minimumFrameMilliseconds)
        return;
    const float dt = static_cast<float>(elapsed / ticksPerSimulatedSecond);

    // In single-step mode the poses change only with a step; at full speed they
    // are copied every frame, also when no step was due, so that a reset made
    // between frames shows at the next one.
    bool copyPoses = false;
    if (singleStepMode) {
        if (stepRequested) {
            PhysicalUniverse::step();
            copyPoses = true;
        }
    } else {
        // Fixed steps only; the remainder, less than one step, waits for the next frame.
        timeAccumulator += dt;
        if (timeAccumulator > maxCatchUpSeconds)
            timeAccumulator = maxCatchUpSeconds;
        while (timeAccumulator > PhysicalUniverse::timeStep) {
            PhysicalUniverse::step();
            timeAccumulator -= PhysicalUniverse::timeStep;
        }
        copyPoses = true;
    }
    if (copyPoses)
        copyBlockPoses();
    stepRequested = false;

    glClear(clearedBuffers);
    Renderer::renderScene(camera);

    ++frameCount;
    lastFrameTicks = ticks_();
    if (ticks_() - lastFpsTicks > fpsIntervalMilliseconds) {
        console_ << "fps: " << frameCount << "\n" << std::flush;
        lastFpsTicks = ticks_();
        frameCount = 0;
    }
}

void PhysicsTestDriver::onKeyDown(SDLKey key, SDLMod)
{
    switch (key) {
    case SDLK_m:
        singleStepMode = !singleStepMode;
        break;
    case SDLK_n:
        stepRequested = true;
        break;
    case SDLK_q:
        if (quitFlag_)
            *quitFlag_ = true;
        break;
    case SDLK_r:
        resetBlocks();
        break;
    default:
        break;
    }
}

void PhysicsTestDriver::onMouseMotion(const ScreenPoint& position)
{
    if (!dragging)
        return;
    // Moving the pointer right gives a negative x, a turn to the right.
    const ScreenPoint delta = lastMousePosition - position;
    camera->orbit(orbitTarget, dragAngle(delta.x), dragAngle(delta.y));
    lastMousePosition = position;
}

void PhysicsTestDriver::onLeftButtonDown(const ScreenPoint& position)
{
    lastMousePosition = position;
    dragging = true;
}

void PhysicsTestDriver::onLeftButtonUp(const ScreenPoint&)
{
    dragging = false;
}

void PhysicsTestDriver::onMouseWheel(const ScreenPoint&, bool up)
{
    const float distance = cameraDistance + (up ? -wheelStep : wheelStep);
    if (distance < minimumCameraDistance)
        return;
    cameraDistance = distance;
    // An orbit without turning re-places the camera at the new distance.
    camera->orbit(orbitTarget, 0.0f, 0.0f);
}

} // namespace Tolvane
