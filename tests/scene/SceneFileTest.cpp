// Scene files: the shipped scenes build the bodies they describe, the lattice
// file is the program's scene, orientations and jitter read as documented, and
// every kind of bad input is turned away with a one-line message.
#include "scene/SceneFile.h"
#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tolvane {
namespace {

namespace fs = std::filesystem;
using Physics::PhysicalUniverse;

const std::string scenes = TOLVANE_SCENES_DIR;
const std::string cubeFile = std::string(TOLVANE_DATA_DIR) + "/SimpleCube.ac";

class SceneFileTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        PhysicalUniverse::reset();
        folder = fs::path(::testing::TempDir()) / ("scene_files_" + std::to_string(getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override
    {
        PhysicalUniverse::reset();
        fs::remove_all(folder);
    }

    /// Writes text to a file of the test's folder and returns its path.
    std::string write(const std::string& name, const std::string& text)
    {
        const std::string path = (folder / name).string();
        std::ofstream(path) << text;
        return path;
    }

    /// A scene of one cube (the shipped model) with the given extra body keys.
    std::string oneCube(const std::string& bodyKeys)
    {
        return R"({"models": {"cube": ")" + cubeFile + R"("}, "bodies": [{"model": "cube")" + bodyKeys +
               "}]}";
    }

    std::unique_ptr<PhysicsTestScene> build(const std::string& path)
    {
        PhysicalUniverse::reset();
        return std::make_unique<PhysicsTestScene>(loadSceneFile(path));
    }

    fs::path folder;
};

TEST_F(SceneFileTest, ShippedScenesBuildTheBodiesTheyDescribe)
{
    // Body 0 is the fixed ground (a floor or the terrain); the channel, the stairs and the bowl stand
    // on the floor as a second fixed body.
    struct Shipped {
        const char* file;
        std::size_t bodies;
        int fixedBodies;
    };
    const Shipped shipped[] = {{"lattice.json", 126, 1},
                               {"lattice-5-wide.json", 126, 1},
                               {"lattice-10-wide.json", 1001, 1},
                               {"lattice-12-wide.json", 1729, 1},
                               {"drop-flat.json", 2, 1},
                               {"drop-edge.json", 2, 1},
                               {"drop-corner.json", 2, 1},
                               {"tower-10.json", 11, 1},
                               {"pyramid.json", 11, 1},
                               {"slide.json", 2, 1},
                               {"ramp-20.json", 2, 1},
                               {"ramp-35.json", 2, 1},
                               {"fast-cube.json", 2, 1},
                               {"head-on.json", 3, 1},
                               {"tower-20.json", 21, 1},
                               {"tower-40.json", 41, 1},
                               {"pyramid-20.json", 211, 1},
                               {"stack-1-10-1.json", 4, 1},
                               {"stack-1-100-1.json", 4, 1},
                               {"stack-1-1000-1.json", 4, 1},
                               {"wall-struck.json", 11, 1},
                               {"slide-landing.json", 2, 1},
                               {"card-house.json", 8, 1},
                               {"lattice-bowl.json", 127, 2},
                               {"lattice-terrain.json", 126, 1},
                               {"channel.json", 3, 2},
                               {"stairs.json", 5, 2},
                               {"tiled-slide.json", 2, 1},
                               {"tiled-fast-cube.json", 2, 1},
                               {"lattice-tiled.json", 126, 1},
                               {"materials.json", 5, 1}};
    for (const auto& [file, bodies, fixedBodies] : shipped) {
        SCOPED_TRACE(file);
        const auto scene = build(scenes + "/" + file);
        ASSERT_EQ(scene->bodies().size(), bodies);
        EXPECT_EQ(scene->blockCount(), static_cast<int>(bodies) - fixedBodies);
        ASSERT_TRUE(scene->floor());
        EXPECT_TRUE(scene->bodies()[0]->fixed);
        for (int i = 1; i < fixedBodies; ++i)
            EXPECT_TRUE(scene->bodies()[i]->fixed);
    }

    // Ten cubes exactly on one another from the floor's top (y = -7) up.
    const auto tower = build(scenes + "/tower-10.json");
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(tower->bodies()[i]->transform.position, Math::Vector3(0.0f, -8.0f + 2.0f * i, 0.0f));

    // The big pyramid's rows rest exactly on one another, 0.1 apart in a row and centred on x = 0.
    const auto pyramid = build(scenes + "/pyramid-20.json");
    std::size_t index = 1;
    for (int row = 0; row < 20; ++row) {
        const int cubes = 20 - row;
        for (int i = 0; i < cubes; ++i, ++index) {
            const Math::Vector3 position = pyramid->bodies()[index]->transform.position;
            EXPECT_NEAR(position.x, 2.1f * i - 1.05f * (cubes - 1), 1e-5);
            EXPECT_EQ(position.y, -6.0f + 2.0f * row);
        }
    }

    // Heavy on light: the middle cube of three carries the scene's ratio.
    const std::pair<const char*, float> ratios[] = {
        {"stack-1-10-1.json", 10.0f}, {"stack-1-100-1.json", 100.0f}, {"stack-1-1000-1.json", 1000.0f}};
    for (const auto& [file, ratio] : ratios) {
        const auto stack = build(scenes + "/" + file);
        EXPECT_EQ(stack->bodies()[1]->mass, 1.0f);
        EXPECT_EQ(stack->bodies()[2]->mass, ratio);
        EXPECT_EQ(stack->bodies()[3]->mass, 1.0f);
        EXPECT_EQ(stack->bodies()[3]->transform.position.y, -2.0f);
    }

    // The wide lattices are centred over the 200 x 200 floor.
    const auto wide = build(scenes + "/lattice-10-wide.json");
    EXPECT_EQ(wide->floor()->model->boundingBox()->halfExtents, Math::Vector3(100.0f, 0.5f, 100.0f));
    EXPECT_FLOAT_EQ(wide->latticePoints().front().x, -11.25f);
    EXPECT_FLOAT_EQ(wide->latticePoints().back().z, 11.25f);

    // A corner points straight down: the lowest vertex lies right under the centre.
    const auto corner = build(scenes + "/drop-corner.json");
    Physics::PhysicalObject& cube = *corner->bodies()[1];
    Physics::ConvexPolyhedron& part = *cube.shape->kids()[0];
    part.refreshGeometry(cube.transform, 1);
    const auto& vertices = part.worldVertices();
    const auto lowest = *std::min_element(vertices.begin(), vertices.end(),
                                          [](const auto& a, const auto& b) { return a.y < b.y; });
    EXPECT_NEAR(lowest.y, -3.0f - std::sqrt(3.0f), 1e-5);
    EXPECT_NEAR(lowest.x, 0.0f, 1e-5);
    EXPECT_NEAR(lowest.z, 0.0f, 1e-5);

    // The ramp's cube lies on its top face, turned with it.
    const auto ramp = build(scenes + "/ramp-20.json");
    const Physics::PhysicalObject& slope = *ramp->bodies()[0];
    const Physics::PhysicalObject& block = *ramp->bodies()[1];
    EXPECT_EQ(block.transform.orientation, slope.transform.orientation);
    const Math::Vector3 up = Math::toAxes(slope.transform.orientation).yAxis;
    EXPECT_NEAR(Math::dot(block.transform.position - slope.transform.position, up), 1.0f, 1e-6);

    // After a flight, a reset puts the bodies back where and as the file starts them.
    const auto headOn = build(scenes + "/head-on.json");
    for (int step = 0; step < 10; ++step)
        PhysicalUniverse::step();
    EXPECT_NE(headOn->bodies()[1]->transform.position, Math::Vector3(-5.0f, 4.0f, 0.0f));
    headOn->resetBlocks();
    EXPECT_EQ(headOn->bodies()[1]->transform.position, Math::Vector3(-5.0f, 4.0f, 0.0f));
    EXPECT_EQ(headOn->bodies()[1]->velocity, Math::Vector3(3.0f, 0.0f, 0.0f));
    EXPECT_EQ(headOn->bodies()[2]->velocity, Math::Vector3(-3.0f, 0.0f, 0.0f));
    EXPECT_EQ(headOn->bodyName(2), "right");
    // Past the last body there is none to name.
    EXPECT_THROW(headOn->bodyName(headOn->bodies().size()), std::out_of_range);
}

TEST_F(SceneFileTest, JointScenesJoinTheBodiesTheyName)
{
    struct Shipped {
        const char* file;
        std::size_t bodies;
        std::size_t joints;
    };
    const Shipped shipped[] = {{"pendulum.json", 1, 1},         {"chain-30.json", 30, 30},
                               {"chain-30-heavy.json", 30, 30}, {"door-hinge.json", 2, 1},
                               {"slider.json", 3, 2},           {"newtons-cradle.json", 5, 10},
                               {"rope-bridge.json", 26, 21}};
    for (const auto& [file, bodies, joints] : shipped) {
        SCOPED_TRACE(file);
        const auto scene = build(scenes + "/" + file);
        EXPECT_EQ(scene->bodies().size(), bodies);
        EXPECT_EQ(PhysicalUniverse::joints.size(), joints);
        EXPECT_EQ(scene->jointIds().size(), joints);
    }

    // A joint names its bodies in the scene's order, lattice bodies by their index;
    // one body alone is joined to the world, at its own position unless an anchor is given.
    const auto text =
        R"({"models": {"cube": ")" + cubeFile +
        R"("}, "bodies": [{"name": "a", "model": "cube", "position": [1, 2, 3]}],)"
        R"( "lattices": [{"name": "l", "model": "cube", "counts": [1, 2, 1], "origin": [5, 0, 0]}],)"
        R"( "joints": [{"type": "ball", "name": "pin", "bodies": ["a"]},)"
        R"( {"type": "hinge", "bodies": ["l[1]", "a"], "anchor": [5, 1, 0], "axis": [0, 0, 2],)"
        R"(  "limits": [-1, 1], "motor": {"speed": 2, "max_torque": 5}, "collide": true}]})";
    const auto scene = build(write("joined.json", text));
    ASSERT_EQ(PhysicalUniverse::joints.size(), 2u);
    const Physics::Joint& pin = PhysicalUniverse::joints[0];
    EXPECT_EQ(pin.name, "pin");
    EXPECT_EQ(pin.bodyA, scene->bodies()[0]);
    EXPECT_EQ(pin.bodyB, nullptr);
    EXPECT_EQ(pin.localAnchorB, Math::Vector3(1.0f, 2.0f, 3.0f));
    EXPECT_FALSE(pin.collide);
    const Physics::Joint& hinge = PhysicalUniverse::joints[1];
    EXPECT_EQ(hinge.type, Physics::JointType::Hinge);
    EXPECT_EQ(hinge.bodyA, scene->bodies()[2]);
    EXPECT_EQ(hinge.bodyB, scene->bodies()[0]);
    EXPECT_EQ(hinge.localAnchorA, Math::Vector3(0.0f, -1.5f, 0.0f));
    EXPECT_EQ(hinge.localAxisA, Math::Vector3(0.0f, 0.0f, 1.0f));
    EXPECT_TRUE(hinge.hasLimits && hinge.hasMotor && hinge.collide);
    EXPECT_EQ(hinge.motor.maxForce, 5.0f);
}

TEST_F(SceneFileTest, DocumentedExampleReadsAsDescribed)
{
    std::ifstream page(std::string(TOLVANE_SCENES_DIR) + "/../docs/scene-format.md");
    std::stringstream text;
    text << page.rdbuf();
    const std::string markdown = text.str();
    const auto start = markdown.find("```json\n");
    ASSERT_NE(start, std::string::npos);
    const auto end = markdown.find("```", start + 8);
    const SceneDescription scene = parseSceneText(markdown.substr(start + 8, end - start - 8), "example",
                                                  std::string(TOLVANE_SCENES_DIR));
    EXPECT_EQ(scene.bodyCount(), 20u);
    EXPECT_EQ(scene.contact.response, Physics::ResponseKind::solver);
    EXPECT_EQ(scene.bodies[1].mass, 2.0f);
    EXPECT_EQ(scene.lattices[0].jitter, LatticeJitter::seeded);
    EXPECT_EQ(scene.lattices[0].spacing, Math::Vector3(2.5f, 2.5f, 2.5f));
}

TEST_F(SceneFileTest, LatticeFileIsTheProgramsScene)
{
    // The same seed for both, so that both draw the same jitter.
    std::srand(7);
    PhysicsTestScene builtIn(TOLVANE_DATA_DIR);
    for (int step = 0; step < 400; ++step)
        PhysicalUniverse::step();
    const std::uint64_t builtInHash = builtIn.stateHash();

    std::srand(7);
    const auto file = build(scenes + "/lattice.json");
    EXPECT_EQ(file->bodyName(1), "block[0]");
    EXPECT_EQ(file->latticePoints(), builtIn.latticePoints());
    for (int step = 0; step < 400; ++step)
        PhysicalUniverse::step();
    EXPECT_EQ(file->stateHash(), builtInHash);
}

TEST_F(SceneFileTest, QuaternionAndAxisAngleGiveTheSameBody)
{
    // 45 degrees about z, once as w, x, y, z and once as a (not unit) axis and an angle.
    const auto byQuaternion = build(write(
        "quaternion.json", oneCube(R"(, "orientation": [0.9238795325112867, 0, 0, 0.3826834323650898])")));
    const auto byAxis =
        build(write("axis.json", oneCube(R"(, "orientation": {"axis": [0, 0, 2], "degrees": 45})")));
    const Math::Quaternion q = byQuaternion->bodies()[0]->transform.orientation;
    EXPECT_EQ(q, byAxis->bodies()[0]->transform.orientation);
    EXPECT_FLOAT_EQ(q.z, 0.38268343f);

    // A quaternion that is not unit length is made so.
    const auto scaled = build(write("scaled.json", oneCube(R"(, "orientation": [2, 0, 0, 0])")));
    EXPECT_EQ(scaled->bodies()[0]->transform.orientation, Math::Quaternion());
}

TEST_F(SceneFileTest, SeededLatticeRepeatsAndDiffersFromTheUnseededOne)
{
    const auto lattice = [this](const std::string& name, const std::string& jitter) {
        return write(name, R"({"models": {"cube": ")" + cubeFile +
                               R"("}, "lattices": [{"model": "cube", "counts": [2, 2, 2], "jitter": )" +
                               jitter + "}]}");
    };
    const std::string seeded = lattice("seeded.json", R"({"seed": 3})");
    const std::string unseeded = lattice("unseeded.json", R"("rand")");
    const std::string plain = lattice("none.json", R"("none")");
    const auto positions = [](const PhysicsTestScene& scene) {
        std::vector<Math::Vector3> result;
        for (const auto& body : scene.bodies())
            result.push_back(body->transform.position);
        return result;
    };

    std::srand(11);
    const auto first = build(seeded);
    const std::vector<Math::Vector3> seededPlaces = positions(*first);
    std::srand(12);
    EXPECT_EQ(positions(*build(seeded)), seededPlaces);
    first->resetBlocks();
    EXPECT_EQ(positions(*first), seededPlaces);

    std::srand(11);
    const std::vector<Math::Vector3> unseededPlaces = positions(*build(unseeded));
    EXPECT_NE(unseededPlaces, seededPlaces);
    EXPECT_NE(positions(*build(plain)), seededPlaces);
    for (std::size_t i = 0; i < seededPlaces.size(); ++i) {
        const Math::Vector3 offset = seededPlaces[i] - first->latticePoints()[i];
        EXPECT_NEAR(offset.x, offset.y, 1e-6);
        EXPECT_LE(std::fabs(offset.x), 0.1f);
    }
}

TEST_F(SceneFileTest, MaterialKinematicAndLayerKeysReachTheBodies)
{
    const auto scene =
        build(write("traits.json", R"({"world": {"friction_combine": "min", "restitution_combine": "product"},
        "models": {"cube": ")" + cubeFile +
                                       R"("},
        "bodies": [{"model": "cube", "kinematic": true, "angular_velocity": [0, 1, 0], "friction": 0.8,
                    "restitution": 0, "layer": 31, "mask": [0, 31, 0]}, {"model": "cube", "mask": []}],
        "lattices": [{"model": "cube", "counts": [1, 1, 2], "layer": 2, "restitution": 1}]})"));
    EXPECT_EQ(Physics::PhysicalUniverse::contactSettings.frictionCombine, Physics::CombineRule::min);
    EXPECT_EQ(Physics::PhysicalUniverse::contactSettings.restitutionCombine, Physics::CombineRule::product);
    const auto& bodies = scene->bodies();
    EXPECT_TRUE(bodies[0]->kinematic);
    EXPECT_EQ(bodies[0]->friction, 0.8f);
    EXPECT_EQ(bodies[0]->restitution, 0.0f);
    EXPECT_EQ(bodies[0]->collisionLayer, 31);
    EXPECT_EQ(bodies[0]->collisionMask, 0x80000001u);
    // Unset: the world's values, layer 0, every layer; an empty mask collides with nothing.
    EXPECT_FALSE(bodies[1]->kinematic);
    EXPECT_FALSE(bodies[1]->friction);
    EXPECT_EQ(bodies[1]->collisionLayer, 0);
    EXPECT_EQ(bodies[1]->collisionMask, 0u);
    for (std::size_t i = 2; i < 4; ++i) {
        EXPECT_EQ(bodies[i]->collisionLayer, 2);
        EXPECT_EQ(bodies[i]->restitution, 1.0f);
        EXPECT_EQ(bodies[i]->collisionMask, ~0u);
    }
    // A kinematic body is no block the settling figures wait for.
    EXPECT_EQ(scene->blockCount(), 3);
}

TEST_F(SceneFileTest, BadInputIsTurnedAwayInOneLineNamingTheFile)
{
    const std::string cube = R"({"cube": ")" + cubeFile + R"("})";
    const auto withModels = [](const std::string& models, const std::string& body) {
        return R"({"models": )" + models + R"(, "bodies": [)" + body + "]}";
    };
    const std::string models = cube;
    fs::create_directories(folder / "a-folder.ac");
    write("not-a-model.ac", "hello\n");
    fs::create_symlink("loop.ac", folder / "loop.ac");
    ASSERT_EQ(mkfifo((folder / "pipe.ac").c_str(), 0600), 0);
    const std::string lattice = R"({"models": )" + cube + R"(, "lattices": [)";
    // Two named cubes and a lattice of two, and one joint between them.
    const auto joint = [&](const std::string& text) {
        return R"({"models": )" + cube +
               R"(, "bodies": [{"name": "a", "model": "cube"}, {"name": "b", "model": "cube", "position": [3, 0, 0]}],)"
               R"( "lattices": [{"name": "l", "model": "cube", "counts": [1, 2, 1]}], "joints": [)" +
               text + "]}";
    };

    struct Row {
        std::string text;
        std::string message;
    };
    const std::vector<Row> rows = {
        {R"({"bodies": [})", "line 1, column 13: syntax error"},
        {R"({"world": {"friction": 1e400}})", "number overflow parsing '1e400'"},
        {withModels(models, R"({"model": "cube", "postion": [0, 0, 0]})"),
         R"(bodies[0]: unknown key "postion" (known keys: name, model, position,)"},
        {withModels(models, R"({"model": "cube", "mass": 1, "mass": 2})"),
         R"(bodies[0]: duplicate key "mass")"},
        {R"({"world": {"sleeping": true, "sleeping": false}})", R"(world: duplicate key "sleeping")"},
        {withModels(models, R"({"model": "cube", "mass": "heavy"})"),
         "bodies[0].mass: must be a number, not a string"},
        {withModels(models, R"({"model": "cube", "fixed": 1})"), "bodies[0].fixed: must be true or false"},
        {withModels(models, R"({"model": "cube", "position": [0, 0]})"),
         "bodies[0].position: must be a list of 3 numbers, not a list of 2"},
        {withModels(models, R"({"model": "cube", "position": [0, 1e39, 0]})"),
         "bodies[0].position[1]: 1e+39 is not a finite number in single precision"},
        {withModels(models, R"({"model": "cube", "mass": 0})"),
         "bodies[0].mass: 0 is out of range: a movable body's mass must be more than 0"},
        {withModels(models, R"({"model": "cube", "mass": -2})"), "bodies[0].mass: -2 is out of range"},
        {withModels(models, R"({"model": "cube", "orientation": [0, 0, 0, 0]})"),
         "bodies[0].orientation: the quaternion has zero length"},
        {withModels(models, R"({"model": "cube", "orientation": {"axis": [0, 0, 0], "degrees": 10}})"),
         "bodies[0].orientation.axis: the axis has no direction"},
        {withModels(models, R"({"model": "box"})"), R"(bodies[0].model: no model named "box")"},
        {withModels(models, R"({"position": [0, 0, 0]})"), R"(bodies[0]: missing key "model")"},
        {lattice + R"({"model": "cube", "counts": [65, 1, 1]}]})",
         "lattices[0].counts[0]: 65 is out of range: must be from 1 to 64"},
        {lattice + R"({"model": "cube", "counts": [2.5, 1, 1]}]})",
         "lattices[0].counts[0]: must be a whole number, not 2.5"},
        {lattice + R"({"model": "cube", "counts": [64, 64, 16]}, {"model": "cube", "counts": [1, 1, 1]}]})",
         "lattices[1]: the scene would have 65537 bodies, more than the limit of 65536"},
        {lattice + R"({"model": "cube", "counts": [1, 1, 1], "jitter": "lots"}]})",
         R"(lattices[0].jitter: "lots" is not a jitter)"},
        {R"({"world": {"restitution": 1.5}})", "world.restitution: 1.5 is out of range: must be from 0 to 1"},
        {R"({"world": {"friction_combine": "average"}})",
         R"(world.friction_combine: "average" is not a combine rule: must be "geometric_mean", "mean", "min", "max" or "product")"},
        {R"({"world": {"restitution_combine": 1}})",
         "world.restitution_combine: must be a string, not a number"},
        {withModels(models, R"({"model": "cube", "friction": -0.1})"),
         "bodies[0].friction: -0.1 is out of range: must be 0 or more"},
        {withModels(models, R"({"model": "cube", "restitution": 1.01})"),
         "bodies[0].restitution: 1.01 is out of range: must be from 0 to 1"},
        {withModels(models, R"({"model": "cube", "kinematic": "yes"})"),
         "bodies[0].kinematic: must be true or false, not a string"},
        {withModels(models, R"({"model": "cube", "fixed": true, "kinematic": true})"),
         "bodies[0].kinematic: a body cannot be both fixed and kinematic"},
        {withModels(models, R"({"model": "cube", "layer": 32})"),
         "bodies[0].layer: 32 is out of range: must be from 0 to 31"},
        {withModels(models, R"({"model": "cube", "mask": 3})"),
         "bodies[0].mask: must be a list of layer numbers, not a number"},
        {withModels(models, R"({"model": "cube", "mask": [0, -1]})"),
         "bodies[0].mask[1]: -1 is out of range: must be from 0 to 31"},
        {lattice + R"({"model": "cube", "counts": [1, 1, 1], "layer": 1.5}]})",
         "lattices[0].layer: must be a whole number, not 1.5"},
        {R"({"world": {"response": "magic"}})", R"(world.response: "magic" is not a response)"},
        {R"({"world": {"solver_iterations": 0}})", "world.solver_iterations: 0 is out of range"},
        {R"([1, 2])", "must be an object, not a list"},
        {R"({"description": "nothing here"})", "the scene has no bodies"},
        {joint("3").substr(0, joint("3").find(R"("joints")")) + R"("joints": 3})",
         "joints: must be a list of joints, not a number"},
        {joint(R"({"bodies": ["a"]})"), R"(joints[0]: missing key "type")"},
        {joint(R"({"type": "spring", "bodies": ["a"]})"),
         R"(joints[0].type: "spring" is not a joint type: must be "ball", "hinge", "fixed", "slider" or "distance")"},
        {joint(R"({"type": "ball", "bodies": ["a"], "axis": [0, 1, 0]})"),
         R"(joints[0]: unknown key "axis" (known keys: type, name, bodies, anchor, collide))"},
        {joint(R"({"type": "ball", "bodies": ["c"]})"), R"(joints[0].bodies[0]: no body named "c")"},
        {joint(R"({"type": "ball", "bodies": ["a", "l[2]"]})"),
         R"(joints[0].bodies[1]: no body named "l[2]")"},
        {R"({"models": )" + cube +
             R"(, "bodies": [{"name": "a", "model": "cube"}, {"name": "a", "model": "cube"}],)"
             R"( "joints": [{"type": "ball", "bodies": ["a"]}]})",
         R"(joints[0].bodies[0]: 2 bodies are named "a", so it names none)"},
        {joint(R"({"type": "ball", "bodies": []})"),
         "joints[0].bodies: must be a list of one or two body names, not a list of 0"},
        {joint(R"({"type": "ball", "bodies": ["a", "b", "l[0]"]})"),
         "joints[0].bodies: must be a list of one or two body names, not a list of 3"},
        {joint(R"({"type": "ball", "bodies": ["l[1]", "l[1]"]})"),
         "joints[0].bodies: a joint cannot join a body to itself"},
        {joint(R"({"type": "hinge", "bodies": ["a"]})"), R"(joints[0]: missing key "axis")"},
        {joint(R"({"type": "slider", "bodies": ["a"], "axis": [0, 0, 0]})"),
         "joints[0].axis: the axis has no direction (zero length)"},
        {joint(R"({"type": "hinge", "bodies": ["a"], "axis": [0, 1, 0], "limits": [1, -1]})"),
         "joints[0].limits: the low limit 1 is above the high limit -1"},
        {joint(R"({"type": "hinge", "bodies": ["a"], "axis": [0, 1, 0], "motor": {"speed": 1}})"),
         R"(joints[0].motor: missing key "max_torque")"},
        {joint(
             R"({"type": "slider", "bodies": ["a"], "axis": [0, 1, 0], "motor": {"speed": 1, "max_torque": 1}})"),
         R"(joints[0].motor: unknown key "max_torque" (known keys: speed, max_force))"},
        {joint(
             R"({"type": "hinge", "bodies": ["a"], "axis": [0, 1, 0], "motor": {"speed": 1, "max_torque": -1}})"),
         "joints[0].motor.max_torque: -1 is out of range: must be 0 or more"},
        {joint(R"({"type": "distance", "bodies": ["a", "b"]})"), R"(joints[0]: missing key "anchors")"},
        {joint(R"({"type": "distance", "bodies": ["a", "b"], "anchors": [[0, 0, 0]]})"),
         "joints[0].anchors: must be a list of two points"},
        {joint(R"({"type": "distance", "bodies": ["a", "b"], "anchors": [[0, 0, 0], [3, 0, 0]], "min": 4})"),
         "joints[0]: the least distance 4.0 is above the greatest 3.0"},
        {joint(
             R"({"type": "distance", "bodies": ["a"], "anchors": [[0, 0, 0], [0, 3, 0]], "spring": {"frequency": 0}})"),
         "joints[0].spring.frequency: 0 is out of range: must be more than 0"},
        {joint(R"({"type": "fixed", "bodies": ["a", "b"], "collide": "yes"})"),
         "joints[0].collide: must be true or false"},
        {withModels(R"({"cube": "missing.ac"})", R"({"model": "cube"})"), "missing.ac\" does not exist"},
        {withModels(R"({"cube": "a-folder.ac"})", R"({"model": "cube"})"),
         "a-folder.ac\" is a folder, not a file"},
        {withModels(R"({"cube": "pipe.ac"})", R"({"model": "cube"})"), "pipe.ac\" is not a regular file"},
        {withModels(R"({"cube": "/dev/zero"})", R"({"model": "cube"})"),
         "\"/dev/zero\" is not a regular file"},
        {withModels(R"({"cube": "loop.ac"})", R"({"model": "cube"})"), "loop.ac\" cannot be read"},
        {withModels(R"({"cube": "not-a-model.ac"})", R"({"model": "cube"})"),
         "not-a-model.ac\": AC3DFile Reader passed invalid file"},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].text);
        const std::string path = write("bad-" + std::to_string(i) + ".json", rows[i].text);
        try {
            loadSceneFile(path);
            ADD_FAILURE() << "accepted";
        } catch (const SceneFileError& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(rows[i].message), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        }
    }

    // The scene file itself: missing, a folder, a device (which must not block).
    for (const auto& [path, message] :
         std::vector<std::pair<std::string, std::string>>{{(folder / "none.json").string(), "does not exist"},
                                                          {folder.string(), "is a folder, not a file"},
                                                          {"/dev/zero", "is not a regular file"}}) {
        try {
            loadSceneFile(path);
            ADD_FAILURE() << path << " accepted";
        } catch (const SceneFileError& error) {
            EXPECT_EQ(std::string(error.what()), path + ": " + message);
        }
    }
}

} // namespace
} // namespace Tolvane
