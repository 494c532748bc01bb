// The interactive physics test's scene pairing, frame loop and input handlers.
#include "driver/PhysicsTestDriver.h"

#include "driver/PngCapture.h"
#include "math/Quaternion.h"
#include "math/Transform.h"
#include "math/Vector3.h"
#include "physics/PhysicalUniverse.h"
#include "physics/joint/JointReadings.h"
#include "physics/solver/ContactWorld.h"
#include "renderer/Scene.h"
#include "scene/SceneFile.h"

#include <GL/gl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <filesystem>
#include <fstream>
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
// Sleeping bodies in the tint: a dull violet, far from the awake red.
constexpr Renderer::Color sleepingColor{{0.45f, 0.3f, 0.75f, 1.0f}};
// Debug drawing: contact points yellow with green normals, boxes cyan, joints white.
constexpr Renderer::Color contactPointColor{{1.0f, 1.0f, 0.0f, 1.0f}};
constexpr Renderer::Color contactNormalColor{{0.0f, 1.0f, 0.0f, 1.0f}};
constexpr Renderer::Color boxColor{{0.0f, 0.9f, 0.9f, 1.0f}};
constexpr Renderer::Color jointColor{{1.0f, 1.0f, 1.0f, 1.0f}};
// A joint's arms, from each body's centre to its anchor, drawn fainter.
constexpr Renderer::Color jointArmColor{{0.6f, 0.6f, 0.6f, 1.0f}};
// World length of a drawn contact normal.
constexpr float normalLength = 0.5f;

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
    for (const auto& object : tintedObjects_)
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
    // The scene places the blocks as it builds them, with the same draws from
    // rand() as the headless runner, so both simulate the same start.
    auto scene = scenePath_.empty() ? std::make_unique<PhysicsTestScene>(modelFolder_)
                                    : std::make_unique<PhysicsTestScene>(loadSceneFile(scenePath_));
    VisibleModels models;
    for (const ModelReference& model : scene->description().models)
        models.push_back(Renderer::loadVisibleModel(model.path));
    showScene(std::move(scene), std::move(models));
}

void PhysicsTestDriver::showScene(std::unique_ptr<PhysicsTestScene> scene, VisibleModels models)
{
    grab_.reset();
    for (const auto& object : solidObjects)
        object->setRenderer(nullptr);
    for (const auto& object : tintedObjects_)
        object->setRenderer(nullptr);
    store_ = std::make_shared<Renderer::OpenGLContextStore>();
    renderer_ = std::make_shared<Renderer::SimpleSolidObjectRenderer>(store_);

    scene_ = std::move(scene);
    visibleModels_ = std::move(models);
    solidObjects.clear();
    tintedObjects_.clear();
    physicalObjects = scene_->bodies();
    for (std::size_t i = 0; i < physicalObjects.size(); ++i)
        addSolidObject(i, visibleModels_[scene_->bodyModel(i)]);
    thrownBodies = 0;
    simulatedSeconds = 0.0;
    copyAllPoses();
}

void PhysicsTestDriver::addSolidObject(std::size_t i, const std::shared_ptr<Renderer::VisibleModel>& model)
{
    auto object = std::make_shared<Renderer::SolidObject>(model);
    object->color = physicalObjects[i]->fixed ? floorColor : blockColor;
    object->setRenderer(renderer_);
    solidObjects.push_back(object);
    // The twin is drawn by hand, never registered with the scene pass.
    auto tinted = std::make_shared<Renderer::SolidObject>(model);
    tinted->color = sleepingColor;
    tinted->setRenderer(renderer_);
    tintedObjects_.push_back(tinted);
}

bool PhysicsTestDriver::loadListedScene(std::size_t index)
{
    if (index >= sceneList_.files().size())
        return false;
    const std::string& path = sceneList_.files()[index];
    sceneList_.moveTo(index);
    const std::string fileName = std::filesystem::path(path).filename().string();
    // Everything that can fail is read before the scene shown is let go.
    SceneDescription description;
    VisibleModels models;
    try {
        description = loadSceneFile(path);
        for (const ModelReference& model : description.models)
            models.push_back(Renderer::loadVisibleModel(model.path));
    } catch (const std::exception& error) {
        setMessage(error.what(), true);
        std::cerr << "physics_test: " << error.what() << "\n";
        return false;
    }
    // The universe holds one scene: the new one is built on an empty universe,
    // and should that still fail, the old one is put back as it was.
    const Physics::JointList oldJoints = Physics::PhysicalUniverse::joints;
    Physics::PhysicalUniverse::reset();
    std::unique_ptr<PhysicsTestScene> scene;
    try {
        scene = std::make_unique<PhysicsTestScene>(std::move(description));
    } catch (const std::exception& error) {
        Physics::PhysicalUniverse::reset();
        if (scene_) {
            Physics::PhysicalUniverse::gravity = scene_->description().gravity;
            Physics::PhysicalUniverse::contactSettings = scene_->description().contact;
            Physics::PhysicalUniverse::addCollisionSet(scene_->collisionSet());
            Physics::PhysicalUniverse::joints = oldJoints;
        }
        setMessage(error.what(), true);
        std::cerr << "physics_test: " << error.what() << "\n";
        return false;
    }
    Renderer::clearVisibleObjects();
    scenePath_ = path;
    showScene(std::move(scene), std::move(models));
    for (const auto& object : solidObjects)
        Renderer::addVisibleObject(object);
    fitCamera();
    setMessage("", false);
    if (application_)
        application_->setCaption(std::string(windowTitle) + " - " + fileName);
    return true;
}

void PhysicsTestDriver::setSceneList(SceneList list)
{
    sceneList_ = std::move(list);
    if (!scenePath_.empty())
        sceneList_.placeAt(scenePath_);
}

void PhysicsTestDriver::fitCamera()
{
    cameraDistance = std::max(startCameraDistance, distanceShowingMovableBodies(physicalObjects));
    if (camera)
        camera->orbit(orbitTarget, 0.0f, 0.0f);
}

void PhysicsTestDriver::throwBody()
{
    if (!scene_ || !camera)
        return;
    // The scene's own choice first, then what it is made of, then the program's cube.
    std::size_t modelIndex = visibleModels_.size();
    const std::vector<ModelReference>& models = scene_->description().models;
    for (std::size_t m = 0; m < models.size(); ++m)
        if (models[m].name == "thrown")
            modelIndex = m;
    for (std::size_t i = 0; modelIndex == visibleModels_.size() && i < scene_->bodies().size(); ++i)
        if (!scene_->bodies()[i]->fixed)
            modelIndex = scene_->bodyModel(i);
    std::shared_ptr<Physics::PhysicalModel> model;
    std::shared_ptr<Renderer::VisibleModel> visible;
    try {
        if (modelIndex < visibleModels_.size()) {
            model = scene_->model(models[modelIndex].name);
            visible = visibleModels_[modelIndex];
        } else {
            const std::string path = modelFolder_.empty()
                                         ? blockModelFile
                                         : (std::filesystem::path(modelFolder_) / blockModelFile).string();
            model = Physics::loadPhysicalModel(path);
            visible = Renderer::loadVisibleModel(path);
        }
    } catch (const std::exception& error) {
        setMessage(std::string("nothing to throw: ") + error.what(), true);
        return;
    }
    if (!model || !visible)
        return;

    const Math::Axes axes = camera->transform.axes();
    auto body = std::make_shared<Physics::PhysicalObject>(model);
    body->transform = Math::Transform(camera->transform.position, Math::Quaternion());
    body->velocity = axes.zAxis * throwSpeed;
    body->mass = thrownMass;
    body->updateInertia();
    scene_->collisionSet()->addBody(body);
    physicalObjects.push_back(body);
    addSolidObject(physicalObjects.size() - 1, visible);
    copyAllPoses();
    Renderer::addVisibleObject(solidObjects.back());
    ++thrownBodies;
}

void PhysicsTestDriver::removeThrownBodies()
{
    if (thrownBodies == 0)
        return;
    const std::size_t kept = physicalObjects.size() - static_cast<std::size_t>(thrownBodies);
    if (grab_) {
        const auto held = std::find(physicalObjects.begin(), physicalObjects.end(), grab_->body());
        if (held != physicalObjects.end() && static_cast<std::size_t>(held - physicalObjects.begin()) >= kept)
            grab_.reset();
    }
    std::vector<std::shared_ptr<Physics::PhysicalObject>>& setBodies = scene_->collisionSet()->bodies;
    setBodies.erase(std::remove_if(setBodies.begin(), setBodies.end(),
                                   [&](const std::shared_ptr<Physics::PhysicalObject>& body) {
                                       return std::find(physicalObjects.begin() +
                                                            static_cast<std::ptrdiff_t>(kept),
                                                        physicalObjects.end(), body) != physicalObjects.end();
                                   }),
                    setBodies.end());
    for (std::size_t i = kept; i < solidObjects.size(); ++i) {
        solidObjects[i]->setRenderer(nullptr);
        tintedObjects_[i]->setRenderer(nullptr);
    }
    physicalObjects.resize(kept);
    solidObjects.resize(kept);
    tintedObjects_.resize(kept);
    Renderer::clearVisibleObjects();
    for (const auto& object : solidObjects)
        Renderer::addVisibleObject(object);
    thrownBodies = 0;
}

void PhysicsTestDriver::resetBlocks()
{
    assert(scene_);
    grab_.reset();
    removeThrownBodies();
    scene_->resetBlocks();
    simulatedSeconds = 0.0;
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
    application_ = &application;
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

void PhysicsTestDriver::stepOnce()
{
    if (grab_)
        grab_->pull(PhysicalUniverse::timeStep);
    const auto start = std::chrono::steady_clock::now();
    PhysicalUniverse::step();
    stepMicroseconds_ =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    simulatedSeconds += PhysicalUniverse::timeStep;
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
            stepOnce();
            copyPoses = true;
        }
    } else {
        // Fixed steps only; the remainder, less than one step, waits for the next frame.
        timeAccumulator += dt;
        if (timeAccumulator > maxCatchUpSeconds)
            timeAccumulator = maxCatchUpSeconds;
        while (timeAccumulator > PhysicalUniverse::timeStep) {
            stepOnce();
            timeAccumulator -= PhysicalUniverse::timeStep;
        }
        copyPoses = true;
    }
    if (copyPoses)
        copyBlockPoses();
    stepRequested = false;

    glClear(clearedBuffers);
    Renderer::renderScene(camera);
    if (tintSleeping)
        drawSleepingTint();
    drawDebug();
    drawText();
    if (screenshotRequested_)
        saveScreenshot();
    if (stateRequested_)
        saveState();

    ++frameCount;
    lastFrameTicks = ticks_();
    if (ticks_() - lastFpsTicks > fpsIntervalMilliseconds) {
        console_ << "fps: " << frameCount << "\n" << std::flush;
        lastFramesPerSecond_ = frameCount;
        lastFpsTicks = ticks_();
        frameCount = 0;
    }
}

void PhysicsTestDriver::drawSleepingTint()
{
    // Drawn again over itself: the same triangles at the same depths pass
    // a less-or-equal depth test and cover the body in the tint.
    glPushAttrib(GL_DEPTH_BUFFER_BIT);
    glDepthFunc(GL_LEQUAL);
    for (std::size_t i = 0; i < physicalObjects.size(); ++i) {
        const Physics::PhysicalObject& body = *physicalObjects[i];
        if (body.fixed || !body.solverMemory.asleep)
            continue;
        tintedObjects_[i]->transform = solidObjects[i]->transform;
        renderer_->render(tintedObjects_[i]);
    }
    glPopAttrib();
}

void PhysicsTestDriver::drawDebug()
{
    debugDrawing_.clear();
    if (drawContacts) {
        const Physics::ContactCache& contacts = PhysicalUniverse::contactWorld.contacts();
        for (const Physics::PairContact& pair : contacts.pairs())
            for (std::int32_t k = 0; k < pair.pieceCount; ++k) {
                const Physics::PieceContact& piece =
                    contacts.piece(static_cast<std::size_t>(pair.firstPiece + k));
                for (std::int32_t n = 0; n < piece.pointCount; ++n) {
                    const Math::Vector3& at = piece.points[n].point.position;
                    debugDrawing_.point(at, contactPointColor);
                    debugDrawing_.line(at, at + piece.normal * normalLength, contactNormalColor);
                }
            }
    }
    if (drawBoxes)
        for (const auto& body : physicalObjects) {
            if (!body->model || !body->model->boundingBox())
                continue;
            // The model's box, in the model's frame, carried into the world by the body's pose.
            const Physics::OrientedBoundingBox& box = *body->model->boundingBox();
            Math::Transform pose = body->getTransform();
            Math::Transform boxPose(pose.position + pose.rotate(box.transform.position),
                                    pose.orientation * box.transform.orientation);
            const Math::Axes axes = boxPose.axes();
            const Math::Vector3 worldAxes[3] = {axes.xAxis, axes.yAxis, axes.zAxis};
            debugDrawing_.box(boxPose.position, worldAxes, box.halfExtents, boxColor);
        }
    if (drawJoints) {
        for (const Physics::Joint& joint : PhysicalUniverse::joints) {
            const Math::Vector3 anchorA = Physics::worldAnchorA(joint);
            const Math::Vector3 anchorB = Physics::worldAnchorB(joint);
            debugDrawing_.line(joint.bodyA->transform.position, anchorA, jointArmColor);
            if (joint.bodyB)
                debugDrawing_.line(joint.bodyB->transform.position, anchorB, jointArmColor);
            debugDrawing_.line(anchorA, anchorB, jointColor);
            debugDrawing_.point(anchorA, jointColor);
        }
        if (grab_) {
            debugDrawing_.line(grab_->heldPoint(), grab_->target(), jointColor);
            debugDrawing_.point(grab_->target(), jointColor);
        }
    }
    debugDrawing_.draw(camera);
}

TestBedFigures PhysicsTestDriver::figures() const
{
    TestBedFigures f;
    f.sceneName = scenePath_.empty() ? "built-in lattice of blocks"
                                     : std::filesystem::path(scenePath_).filename().string();
    f.bodies = static_cast<int>(physicalObjects.size());
    f.thrownBodies = thrownBodies;
    f.solverResponse = PhysicalUniverse::contactSettings.response == Physics::ResponseKind::solver;
    const Physics::ContactStepStatistics& statistics = PhysicalUniverse::contactStatistics();
    int movable = 0;
    int asleep = 0;
    for (const auto& body : physicalObjects)
        if (!body->fixed) {
            ++movable;
            asleep += body->solverMemory.asleep ? 1 : 0;
        }
    f.awakeBodies = movable - asleep;
    f.sleepingBodies = asleep;
    f.contactPairs = statistics.touchingPairs;
    f.contactPoints = statistics.contactPoints;
    f.phases = statistics.time;
    f.stepMicroseconds = stepMicroseconds_;
    f.simulatedSeconds = simulatedSeconds;
    f.framesPerSecond = lastFramesPerSecond_;
    f.singleStep = singleStepMode;
    if (grab_) {
        const auto held = std::find(physicalObjects.begin(), physicalObjects.end(), grab_->body());
        f.heldBody = held == physicalObjects.end() ? -1 : static_cast<int>(held - physicalObjects.begin());
    }
    return f;
}

void PhysicsTestDriver::drawText()
{
    // Made on the first frame, when the window's GL context exists.
    if (!text_)
        text_ = std::make_unique<TestBedText>(std::cerr);
    const std::uint32_t now = ticks_();
    if (showFigures)
        text_->setFigures(figures(), now);
    text_->draw(showFigures, showHelp, now, windowWidth, windowHeight);
}

void PhysicsTestDriver::setMessage(const std::string& text, bool error)
{
    if (!text_)
        text_ = std::make_unique<TestBedText>(std::cerr);
    text_->setMessage(text, error, ticks_());
}

void PhysicsTestDriver::saveScreenshot()
{
    screenshotRequested_ = false;
    const std::string path = nextScreenshotName();
    try {
        saveWindowPng(path, windowWidth, windowHeight);
        setMessage("saved " + path, false);
    } catch (const std::exception& error) {
        setMessage(error.what(), true);
        std::cerr << "physics_test: " << error.what() << "\n";
    }
}

void PhysicsTestDriver::saveState()
{
    stateRequested_ = false;
    std::string path;
    for (int n = 1; path.empty(); ++n) {
        const std::string name = "state-" + std::to_string(n) + ".json";
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::symlink_status(name, error)))
            path = name;
    }
    nlohmann::json state;
    state["scene"] = scenePath_.empty() ? std::string("built-in") : scenePath_;
    state["simulated_seconds"] = simulatedSeconds;
    state["thrown"] = thrownBodies;
    state["held"] = figures().heldBody;
    nlohmann::json bodies = nlohmann::json::array();
    for (const auto& body : physicalObjects) {
        const Math::Vector3& p = body->transform.position;
        const Math::Vector3& v = body->velocity;
        bodies.push_back({{"position", {p.x, p.y, p.z}},
                          {"velocity", {v.x, v.y, v.z}},
                          {"fixed", body->fixed},
                          {"asleep", body->solverMemory.asleep}});
    }
    state["bodies"] = std::move(bodies);
    std::ofstream file(path);
    file << state.dump(2) << "\n";
    file.close();
    if (!file) {
        std::error_code error;
        std::filesystem::remove(path, error);
        setMessage("cannot write " + path, true);
        std::cerr << "physics_test: cannot write " << path << "\n";
        return;
    }
    setMessage("saved " + path, false);
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
    case SDLK_SPACE:
        throwBody();
        break;
    case SDLK_h:
        showFigures = !showFigures;
        break;
    // SDL reports "?" as its unshifted key, the slash, and keys sent to the
    // window alone come without the shift; so the slash key shows the help
    // with or without it.
    case SDLK_F1:
    case SDLK_QUESTION:
    case SDLK_SLASH:
        showHelp = !showHelp;
        break;
    case SDLK_c:
        drawContacts = !drawContacts;
        break;
    case SDLK_s:
        tintSleeping = !tintSleeping;
        break;
    case SDLK_b:
        drawBoxes = !drawBoxes;
        break;
    case SDLK_j:
        drawJoints = !drawJoints;
        break;
    case SDLK_p:
        screenshotRequested_ = true;
        break;
    case SDLK_w:
        stateRequested_ = true;
        break;
    case SDLK_PAGEDOWN:
    case SDLK_RIGHTBRACKET:
        if (const std::optional<std::size_t> next = sceneList_.next())
            loadListedScene(*next);
        else
            setMessage("no scene files to step through (physics_test --scenes DIR)", false);
        break;
    case SDLK_PAGEUP:
    case SDLK_LEFTBRACKET:
        if (const std::optional<std::size_t> previous = sceneList_.previous())
            loadListedScene(*previous);
        else
            setMessage("no scene files to step through (physics_test --scenes DIR)", false);
        break;
    default:
        break;
    }
}

void PhysicsTestDriver::onMouseMotion(const ScreenPoint& position)
{
    if (grab_) {
        grab_->aim(rayThroughPixel(*camera, position.x, position.y));
        lastMousePosition = position;
        return;
    }
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
    // A movable body under the pointer is grabbed; anywhere else the drag orbits.
    if (camera) {
        const Physics::Ray ray = rayThroughPixel(*camera, position.x, position.y);
        const std::optional<Physics::RayHit> hit = PhysicalUniverse::castRay(ray);
        if (hit && !hit->body->fixed && !hit->body->kinematic) {
            grab_.emplace(hit->body, hit->point, camera->transform.axes().zAxis);
            return;
        }
    }
    dragging = true;
}

void PhysicsTestDriver::onLeftButtonUp(const ScreenPoint&)
{
    // A released body keeps the velocity the spring gave it: it is thrown.
    grab_.reset();
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
