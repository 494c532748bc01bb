// Reading scene files: JSON syntax (nlohmann-json), then every key, type and
// range, each failure reported in one line that names the file and the key.
#include "scene/SceneFile.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

namespace Tolvane {

namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

/// Below this length a quaternion or a rotation axis has no direction.
constexpr double zeroDirectionLength = 1e-6;
constexpr double pi = 3.14159265358979323846;
/// Most solver iterations a scene may ask for.
constexpr int maxSolverIterations = 256;

/// A key or value from the file, quoted and escaped so that a message stays on one line.
std::string quotedText(const std::string& text)
{
    return Json(text).dump(-1, ' ', true, Json::error_handler_t::replace);
}

/// Control characters (a line break inside a JSON error excerpt) would break the one-line rule.
std::string oneLine(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    return text;
}

std::string typeName(const Json& value)
{
    if (value.is_number())
        return "a number";
    if (value.is_string())
        return "a string";
    if (value.is_boolean())
        return "true or false";
    if (value.is_array())
        return "a list";
    if (value.is_object())
        return "an object";
    return "null";
}

/// Parses with a check that no object repeats a key, which JSON itself allows
/// and the library would resolve silently.
Json parseJson(const std::string& text, const std::string& label)
{
    struct Frame {
        bool object = false;
        std::set<std::string> keys;
        std::string key;
        std::size_t index = 0;
    };
    std::vector<Frame> frames;
    const auto pathOfOpenFrames = [&frames](std::size_t count) {
        std::string path;
        for (std::size_t i = 0; i < count; ++i) {
            const Frame& frame = frames[i];
            if (frame.object)
                path += (path.empty() ? "" : ".") + frame.key;
            else
                path += "[" + std::to_string(frame.index) + "]";
        }
        return path;
    };
    const auto elementDone = [&frames]() {
        if (!frames.empty() && !frames.back().object)
            ++frames.back().index;
    };
    const Json::parser_callback_t callback = [&](int, Json::parse_event_t event, Json& parsed) {
        switch (event) {
        case Json::parse_event_t::object_start:
            frames.push_back({true, {}, {}, 0});
            break;
        case Json::parse_event_t::array_start:
            frames.push_back({false, {}, {}, 0});
            break;
        case Json::parse_event_t::key: {
            const std::string key = parsed.get<std::string>();
            Frame& frame = frames.back();
            if (!frame.keys.insert(key).second) {
                const std::string where = pathOfOpenFrames(frames.size() - 1);
                throw SceneFileError(oneLine(label + ": " + (where.empty() ? "" : where + ": ") +
                                             "duplicate key " + quotedText(key)));
            }
            frame.key = key;
            break;
        }
        case Json::parse_event_t::object_end:
        case Json::parse_event_t::array_end:
            frames.pop_back();
            elementDone();
            break;
        case Json::parse_event_t::value:
            elementDone();
            break;
        }
        return true;
    };
    try {
        return Json::parse(text, callback);
    } catch (const Json::exception& error) {
        // The library's messages start with its own error kind and number, then
        // for syntax errors "parse error at " and the line and column; numbers
        // too large for a double are reported as an overflow instead.
        std::string message = error.what();
        const auto kindEnd = message.find("] ");
        if (message.rfind("[json.exception.", 0) == 0 && kindEnd != std::string::npos)
            message = message.substr(kindEnd + 2);
        const std::string marker = "parse error at ";
        if (message.rfind(marker, 0) == 0)
            message = message.substr(marker.size());
        throw SceneFileError(label + ": " + oneLine(message));
    }
}

/// A value of the file with the key path that leads to it, for messages.
class Node {
  public:
    Node(const Json& value, std::string path, const std::string& label)
        : value_(value), path_(std::move(path)), label_(label)
    {
    }

    [[noreturn]] void fail(const std::string& what) const
    {
        throw SceneFileError(oneLine(label_ + ": " + (path_.empty() ? "" : path_ + ": ") + what));
    }

    const Json& json() const { return value_; }
    const std::string& path() const { return path_; }

    /// Checks that this is an object whose keys are all among allowed.
    void expectObject(std::initializer_list<const char*> allowed) const
    {
        if (!value_.is_object())
            fail("must be an object, not " + typeName(value_));
        for (const auto& item : value_.items()) {
            bool known = false;
            for (const char* key : allowed)
                known = known || item.key() == key;
            if (!known) {
                std::string list;
                for (const char* key : allowed)
                    list += (list.empty() ? "" : ", ") + std::string(key);
                fail("unknown key " + quotedText(item.key()) + " (known keys: " + list + ")");
            }
        }
    }

    std::optional<Node> member(const char* key) const
    {
        const auto found = value_.find(key);
        if (found == value_.end())
            return std::nullopt;
        return Node(*found, path_.empty() ? key : path_ + "." + key, label_);
    }

    Node required(const char* key) const
    {
        std::optional<Node> found = member(key);
        if (!found)
            fail("missing key " + quotedText(key));
        return *found;
    }

    std::vector<Node> elements() const
    {
        std::vector<Node> result;
        for (std::size_t i = 0; i < value_.size(); ++i)
            result.emplace_back(value_[i], path_ + "[" + std::to_string(i) + "]", label_);
        return result;
    }

    std::vector<Node> list(std::size_t size) const
    {
        if (!value_.is_array() || value_.size() != size)
            fail("must be a list of " + std::to_string(size) + " numbers, not " + describe());
        return elements();
    }

    /// The number as the physics will hold it: finite once rounded to float.
    float number() const
    {
        if (!value_.is_number())
            fail("must be a number, not " + typeName(value_));
        const float result = static_cast<float>(value_.get<double>());
        if (!std::isfinite(result))
            fail(value_.dump() + " is not a finite number in single precision");
        return result;
    }

    double exactNumber() const
    {
        number();
        return value_.get<double>();
    }

    float number(float low, float high, const std::string& range) const
    {
        const float result = number();
        if (!(result >= low && result <= high))
            fail(value_.dump() + " is out of range: must be " + range);
        return result;
    }

    long long integer(long long low, long long high) const
    {
        if (!value_.is_number_integer())
            fail("must be a whole number, not " + describe());
        const bool inRange =
            value_.is_number_unsigned()
                ? value_.get<unsigned long long>() <= static_cast<unsigned long long>(high) &&
                      static_cast<long long>(value_.get<unsigned long long>()) >= low
                : value_.get<long long>() >= low && value_.get<long long>() <= high;
        if (!inRange)
            fail(value_.dump() + " is out of range: must be from " + std::to_string(low) + " to " +
                 std::to_string(high));
        return value_.get<long long>();
    }

    bool boolean() const
    {
        if (!value_.is_boolean())
            fail("must be true or false, not " + typeName(value_));
        return value_.get<bool>();
    }

    std::string text() const
    {
        if (!value_.is_string())
            fail("must be a string, not " + typeName(value_));
        return value_.get<std::string>();
    }

    Math::Vector3 vector() const
    {
        const std::vector<Node> parts = list(3);
        return {parts[0].number(), parts[1].number(), parts[2].number()};
    }

  private:
    std::string describe() const
    {
        if (value_.is_number())
            return value_.dump();
        if (value_.is_array())
            return "a list of " + std::to_string(value_.size());
        return typeName(value_);
    }

    const Json& value_;
    std::string path_;
    const std::string& label_;
};

/// A unit quaternion from four numbers (w first) or from an axis and an angle
/// in degrees. Both are worked out in double and rounded to float once, so a
/// quaternion and its axis and angle written to double precision give the same
/// orientation.
Math::Quaternion readOrientation(const Node& node)
{
    double w, x, y, z;
    if (node.json().is_array()) {
        const std::vector<Node> parts = node.list(4);
        w = parts[0].exactNumber();
        x = parts[1].exactNumber();
        y = parts[2].exactNumber();
        z = parts[3].exactNumber();
    } else {
        node.expectObject({"axis", "degrees"});
        const Node axisNode = node.required("axis");
        const std::vector<Node> axis = axisNode.list(3);
        const double ax = axis[0].exactNumber(), ay = axis[1].exactNumber(), az = axis[2].exactNumber();
        const double axisLength = std::sqrt(ax * ax + ay * ay + az * az);
        if (!(axisLength >= zeroDirectionLength) || !std::isfinite(axisLength))
            axisNode.fail("the axis has no direction (zero length)");
        const double halfAngle = node.required("degrees").exactNumber() * pi / 360.0;
        const double s = std::sin(halfAngle) / axisLength;
        w = std::cos(halfAngle);
        x = ax * s;
        y = ay * s;
        z = az * s;
    }
    const double length = std::sqrt(w * w + x * x + y * y + z * z);
    if (!(length >= zeroDirectionLength) || !std::isfinite(length))
        node.fail("the quaternion has zero length, so it is no rotation");
    return {static_cast<float>(w / length), static_cast<float>(x / length), static_cast<float>(y / length),
            static_cast<float>(z / length)};
}

Physics::CombineRule readCombineRule(const Node& node)
{
    const std::string rule = node.text();
    if (rule == "geometric_mean")
        return Physics::CombineRule::geometricMean;
    if (rule == "mean")
        return Physics::CombineRule::mean;
    if (rule == "min")
        return Physics::CombineRule::min;
    if (rule == "max")
        return Physics::CombineRule::max;
    if (rule == "product")
        return Physics::CombineRule::product;
    node.fail(
        quotedText(rule) +
        " is not a combine rule: must be \"geometric_mean\", \"mean\", \"min\", \"max\" or \"product\"");
}

void readWorld(const Node& world, SceneDescription& scene)
{
    world.expectObject({"gravity", "response", "friction", "restitution", "restitution_threshold",
                        "solver_iterations", "allowed_penetration", "sleeping", "friction_combine",
                        "restitution_combine"});
    Physics::ContactSettings& contact = scene.contact;
    if (const auto gravity = world.member("gravity"))
        scene.gravity = gravity->vector();
    if (const auto response = world.member("response")) {
        const std::string kind = response->text();
        if (kind == "designed")
            contact.response = Physics::ResponseKind::designed;
        else if (kind == "solver")
            contact.response = Physics::ResponseKind::solver;
        else
            response->fail(quotedText(kind) + " is not a response: must be \"solver\" or \"designed\"");
    }
    const float largest = std::numeric_limits<float>::max();
    if (const auto friction = world.member("friction"))
        contact.friction = friction->number(0.0f, largest, "0 or more");
    if (const auto restitution = world.member("restitution"))
        contact.restitution = restitution->number(0.0f, 1.0f, "from 0 to 1");
    if (const auto threshold = world.member("restitution_threshold"))
        contact.restitutionThreshold = threshold->number(0.0f, largest, "0 or more");
    if (const auto iterations = world.member("solver_iterations"))
        contact.solverIterations = static_cast<int>(iterations->integer(1, maxSolverIterations));
    if (const auto slop = world.member("allowed_penetration"))
        contact.allowedPenetration = slop->number(0.0f, 1.0f, "from 0 to 1");
    if (const auto sleeping = world.member("sleeping"))
        contact.sleeping = sleeping->boolean();
    if (const auto rule = world.member("friction_combine"))
        contact.frictionCombine = readCombineRule(*rule);
    if (const auto rule = world.member("restitution_combine"))
        contact.restitutionCombine = readCombineRule(*rule);
}

void readModels(const Node& models, const std::string& label, const fs::path& baseFolder,
                SceneDescription& scene)
{
    if (!models.json().is_object())
        models.fail("must be an object of model names and file paths, not " + typeName(models.json()));
    for (const auto& item : models.json().items()) {
        const Node entry(item.value(), models.path() + "." + item.key(), label);
        if (item.key().empty())
            entry.fail("a model needs a name");
        const std::string file = entry.text();
        if (file.empty())
            entry.fail("the model's file path is empty");
        scene.models.push_back({item.key(), (baseFolder / file).lexically_normal().string(), nullptr});
    }
}

std::size_t modelIndex(const Node& node, const SceneDescription& scene)
{
    const std::string name = node.text();
    for (std::size_t i = 0; i < scene.models.size(); ++i)
        if (scene.models[i].name == name)
            return i;
    node.fail("no model named " + quotedText(name) + " in \"models\"");
}

/// A movable body needs a positive mass; a fixed one may give 0 (or leave the
/// mass out) for the fixed-body mass.
float readMass(const std::optional<Node>& massNode, bool fixed, float movableDefault)
{
    if (!massNode)
        return fixed ? fixedBodyMass : movableDefault;
    const float mass = massNode->number();
    if (fixed) {
        if (mass < 0.0f)
            massNode->fail(massNode->json().dump() +
                           " is out of range: a fixed body's mass must be 0 or more");
        return mass == 0.0f ? fixedBodyMass : mass;
    }
    if (!(mass > 0.0f))
        massNode->fail(massNode->json().dump() +
                       " is out of range: a movable body's mass must be more than 0");
    return mass;
}

/// Collision layers are numbered 0 to 31, a bit each in a mask.
constexpr long long highestLayer = 31;

/// The keys bodies and lattices share: kinematic, friction, restitution,
/// layer and mask. A body cannot be both fixed and kinematic.
BodyTraits readTraits(const Node& node, bool fixed)
{
    BodyTraits traits;
    if (const auto kinematic = node.member("kinematic")) {
        traits.kinematic = kinematic->boolean();
        if (traits.kinematic && fixed)
            kinematic->fail("a body cannot be both fixed and kinematic");
    }
    if (const auto friction = node.member("friction"))
        traits.friction = friction->number(0.0f, std::numeric_limits<float>::max(), "0 or more");
    if (const auto restitution = node.member("restitution"))
        traits.restitution = restitution->number(0.0f, 1.0f, "from 0 to 1");
    if (const auto layer = node.member("layer"))
        traits.layer = static_cast<std::uint8_t>(layer->integer(0, highestLayer));
    if (const auto mask = node.member("mask")) {
        if (!mask->json().is_array())
            mask->fail("must be a list of layer numbers, not " + typeName(mask->json()));
        traits.mask = 0;
        for (const Node& layer : mask->elements())
            traits.mask |= std::uint32_t{1} << layer.integer(0, highestLayer);
    }
    return traits;
}

BodyDescription readBody(const Node& node, const SceneDescription& scene)
{
    node.expectObject({"name", "model", "position", "orientation", "velocity", "angular_velocity", "mass",
                       "fixed", "kinematic", "friction", "restitution", "layer", "mask"});
    BodyDescription body;
    if (const auto name = node.member("name"))
        body.name = name->text();
    body.model = modelIndex(node.required("model"), scene);
    if (const auto position = node.member("position"))
        body.position = position->vector();
    if (const auto orientation = node.member("orientation"))
        body.orientation = readOrientation(*orientation);
    if (const auto velocity = node.member("velocity"))
        body.velocity = velocity->vector();
    if (const auto angularVelocity = node.member("angular_velocity"))
        body.angularVelocity = angularVelocity->vector();
    if (const auto fixed = node.member("fixed"))
        body.fixed = fixed->boolean();
    body.mass = readMass(node.member("mass"), body.fixed, 1.0f);
    body.traits = readTraits(node, body.fixed);
    return body;
}

LatticeDescription readLattice(const Node& node, const SceneDescription& scene)
{
    node.expectObject({"name", "model", "counts", "origin", "spacing", "jitter", "mass", "fixed", "kinematic",
                       "friction", "restitution", "layer", "mask"});
    LatticeDescription lattice;
    if (const auto name = node.member("name"))
        lattice.name = name->text();
    lattice.model = modelIndex(node.required("model"), scene);
    const Node countsNode = node.required("counts");
    const std::vector<Node> counts = countsNode.list(3);
    for (int axis = 0; axis < 3; ++axis)
        lattice.counts[axis] = static_cast<int>(counts[axis].integer(1, maxLatticeCount));
    if (const auto origin = node.member("origin"))
        lattice.origin = origin->vector();
    if (const auto spacing = node.member("spacing")) {
        if (spacing->json().is_number()) {
            const float s = spacing->number();
            lattice.spacing = {s, s, s};
        } else {
            lattice.spacing = spacing->vector();
        }
    }
    if (const auto jitter = node.member("jitter")) {
        if (jitter->json().is_object()) {
            jitter->expectObject({"seed"});
            lattice.jitter = LatticeJitter::seeded;
            lattice.seed = static_cast<unsigned>(
                jitter->required("seed").integer(0, std::numeric_limits<unsigned>::max()));
        } else {
            const std::string kind = jitter->text();
            if (kind == "none")
                lattice.jitter = LatticeJitter::none;
            else if (kind == "rand")
                lattice.jitter = LatticeJitter::unseeded;
            else
                jitter->fail(quotedText(kind) +
                             " is not a jitter: must be \"none\", \"rand\" or {\"seed\": N}");
        }
    }
    if (const auto fixed = node.member("fixed"))
        lattice.fixed = fixed->boolean();
    lattice.mass = readMass(node.member("mass"), lattice.fixed, 1.0f);
    lattice.traits = readTraits(node, lattice.fixed);
    return lattice;
}

/// The names bodies can be joined by, in the scene's order: a body's own
/// name, a lattice body's "name[i]".
std::vector<std::string> bodyNames(const SceneDescription& scene)
{
    std::vector<std::string> names;
    for (const BodyDescription& body : scene.bodies)
        names.push_back(body.name);
    for (const LatticeDescription& lattice : scene.lattices)
        for (int i = 0; i < lattice.bodyCount(); ++i)
            names.push_back(lattice.bodyName(i));
    return names;
}

std::size_t bodyIndex(const Node& node, const std::vector<std::string>& names)
{
    const std::string name = node.text();
    std::size_t found = names.size();
    std::size_t count = 0;
    if (!name.empty())
        for (std::size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) {
                found = count == 0 ? i : found;
                ++count;
            }
    if (count == 0)
        node.fail("no body named " + quotedText(name));
    if (count > 1)
        node.fail(std::to_string(count) + " bodies are named " + quotedText(name) + ", so it names none");
    return found;
}

Math::Vector3 readAxis(const Node& node)
{
    const Math::Vector3 axis = node.vector();
    const double length =
        std::sqrt(static_cast<double>(axis.x) * axis.x + static_cast<double>(axis.y) * axis.y +
                  static_cast<double>(axis.z) * axis.z);
    if (!(length >= zeroDirectionLength) || !std::isfinite(length))
        node.fail("the axis has no direction (zero length)");
    return axis;
}

Physics::JointLimits readLimits(const Node& node)
{
    const std::vector<Node> parts = node.list(2);
    const Physics::JointLimits limits{parts[0].number(), parts[1].number()};
    if (!(limits.low <= limits.high))
        node.fail("the low limit " + parts[0].json().dump() + " is above the high limit " +
                  parts[1].json().dump());
    return limits;
}

Physics::JointMotor readMotor(const Node& node, const char* forceKey)
{
    node.expectObject({"speed", forceKey});
    Physics::JointMotor motor;
    motor.speed = node.required("speed").number();
    motor.maxForce = node.required(forceKey).number(0.0f, std::numeric_limits<float>::max(), "0 or more");
    return motor;
}

float readLength(const Node& node)
{
    return node.number(0.0f, std::numeric_limits<float>::max(), "0 or more");
}

/// The joint's type, checking that the node holds only that type's keys.
Physics::JointType readJointType(const Node& node)
{
    const Node typeNode = node.required("type");
    const std::string type = typeNode.text();
    if (type == "ball" || type == "fixed") {
        node.expectObject({"type", "name", "bodies", "anchor", "collide"});
        return type == "ball" ? Physics::JointType::Ball : Physics::JointType::Fixed;
    }
    if (type == "hinge" || type == "slider") {
        node.expectObject({"type", "name", "bodies", "anchor", "axis", "limits", "motor", "collide"});
        return type == "hinge" ? Physics::JointType::Hinge : Physics::JointType::Slider;
    }
    if (type == "distance") {
        node.expectObject({"type", "name", "bodies", "anchors", "length", "min", "max", "spring", "collide"});
        return Physics::JointType::Distance;
    }
    typeNode.fail(quotedText(type) +
                  " is not a joint type: must be \"ball\", \"hinge\", \"fixed\", \"slider\" or \"distance\"");
}

/// The one or two bodies a joint names, into joint.
void readJointBodies(const Node& node, const std::vector<std::string>& names, JointDescription& joint)
{
    const Node bodiesNode = node.required("bodies");
    if (!bodiesNode.json().is_array() || bodiesNode.json().empty() || bodiesNode.json().size() > 2)
        bodiesNode.fail("must be a list of one or two body names, not " +
                        (bodiesNode.json().is_array()
                             ? "a list of " + std::to_string(bodiesNode.json().size())
                             : typeName(bodiesNode.json())));
    const std::vector<Node> bodies = bodiesNode.elements();
    joint.bodyA = bodyIndex(bodies[0], names);
    if (bodies.size() == 2) {
        joint.bodyB = bodyIndex(bodies[1], names);
        if (*joint.bodyB == joint.bodyA)
            bodiesNode.fail("a joint cannot join a body to itself");
    }
}

Physics::DistanceSpring readSpring(const Node& node)
{
    node.expectObject({"frequency", "damping_ratio"});
    Physics::DistanceSpring spring;
    const Node frequency = node.required("frequency");
    spring.frequency = frequency.number();
    if (!(spring.frequency > 0.0f))
        frequency.fail(frequency.json().dump() + " is out of range: must be more than 0");
    if (const auto damping = node.member("damping_ratio"))
        spring.dampingRatio = damping->number(0.0f, std::numeric_limits<float>::max(), "0 or more");
    return spring;
}

/// A distance joint's anchors, length, limits and spring, into definition.
void readDistance(const Node& node, Physics::JointDefinition& definition)
{
    const Node anchorsNode = node.required("anchors");
    if (!anchorsNode.json().is_array() || anchorsNode.json().size() != 2)
        anchorsNode.fail("must be a list of two points");
    const std::vector<Node> anchors = anchorsNode.elements();
    definition.anchorA = anchors[0].vector();
    definition.anchorB = anchors[1].vector();
    if (const auto length = node.member("length"))
        definition.length = readLength(*length);
    if (const auto low = node.member("min"))
        definition.minLength = readLength(*low);
    if (const auto high = node.member("max"))
        definition.maxLength = readLength(*high);
    if (const auto spring = node.member("spring"))
        definition.spring = readSpring(*spring);
    const float length = definition.length.value_or((definition.anchorB - definition.anchorA).length());
    const bool spring = definition.spring.has_value();
    const float low = definition.minLength.value_or(spring ? 0.0f : length);
    const float high =
        definition.maxLength.value_or(spring ? std::numeric_limits<float>::infinity() : length);
    if (!(low <= high))
        node.fail("the least distance " + Json(low).dump() + " is above the greatest " + Json(high).dump());
}

JointDescription readJoint(const Node& node, const std::vector<std::string>& names)
{
    if (!node.json().is_object())
        node.fail("must be an object, not " + typeName(node.json()));
    JointDescription joint;
    Physics::JointDefinition& definition = joint.definition;
    definition.type = readJointType(node);
    if (const auto name = node.member("name"))
        definition.name = name->text();
    readJointBodies(node, names, joint);
    if (const auto anchor = node.member("anchor"))
        definition.anchor = anchor->vector();
    if (definition.type == Physics::JointType::Hinge || definition.type == Physics::JointType::Slider) {
        definition.axis = readAxis(node.required("axis"));
        if (const auto limits = node.member("limits"))
            definition.limits = readLimits(*limits);
        if (const auto motor = node.member("motor"))
            definition.motor =
                readMotor(*motor, definition.type == Physics::JointType::Hinge ? "max_torque" : "max_force");
    }
    if (definition.type == Physics::JointType::Distance)
        readDistance(node, definition);
    if (const auto collide = node.member("collide"))
        definition.collide = collide->boolean();
    return joint;
}

SceneDescription readScene(const Json& document, const std::string& label, const fs::path& baseFolder)
{
    const Node root(document, "", label);
    root.expectObject({"description", "world", "models", "bodies", "lattices", "joints"});
    SceneDescription scene;
    scene.source = label;
    if (const auto description = root.member("description"))
        description->text();
    if (const auto world = root.member("world"))
        readWorld(*world, scene);
    if (const auto models = root.member("models"))
        readModels(*models, label, baseFolder, scene);
    if (const auto bodies = root.member("bodies")) {
        if (!bodies->json().is_array())
            bodies->fail("must be a list of bodies, not " + typeName(bodies->json()));
        for (const Node& body : bodies->elements())
            scene.bodies.push_back(readBody(body, scene));
    }
    if (const auto lattices = root.member("lattices")) {
        if (!lattices->json().is_array())
            lattices->fail("must be a list of lattices, not " + typeName(lattices->json()));
        for (const Node& lattice : lattices->elements()) {
            scene.lattices.push_back(readLattice(lattice, scene));
            // Checked lattice by lattice, so that no product can overflow.
            if (scene.bodyCount() > maxSceneBodies)
                lattice.fail("the scene would have " + std::to_string(scene.bodyCount()) +
                             " bodies, more than the limit of " + std::to_string(maxSceneBodies));
        }
    }
    if (scene.bodyCount() > maxSceneBodies)
        root.fail("the scene has " + std::to_string(scene.bodyCount()) + " bodies, more than the limit of " +
                  std::to_string(maxSceneBodies));
    if (scene.bodyCount() == 0)
        root.fail("the scene has no bodies");
    if (const auto joints = root.member("joints")) {
        if (!joints->json().is_array())
            joints->fail("must be a list of joints, not " + typeName(joints->json()));
        const std::vector<std::string> names = bodyNames(scene);
        for (const Node& joint : joints->elements())
            scene.joints.push_back(readJoint(joint, names));
    }
    return scene;
}

} // namespace

std::string fileProblem(const std::string& path)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error) {
        if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
            return "does not exist";
        return "cannot be read: " + error.message();
    }
    if (!fs::exists(status))
        return "does not exist";
    if (fs::is_directory(status))
        return "is a folder, not a file";
    if (!fs::is_regular_file(status))
        return "is not a regular file";
    std::ifstream probe(path, std::ios::binary);
    if (!probe)
        return "cannot be read";
    return std::string();
}

SceneDescription parseSceneText(const std::string& text, const std::string& label,
                                const std::string& baseFolder)
{
    return readScene(parseJson(text, label), label, fs::path(baseFolder));
}

SceneDescription loadSceneFile(const std::string& path)
{
    if (const std::string problem = fileProblem(path); !problem.empty())
        throw SceneFileError(path + ": " + problem);
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (!error && size > maxSceneFileBytes)
        throw SceneFileError(path + ": is larger than " + std::to_string(maxSceneFileBytes >> 20) +
                             " MiB, too large for a scene file");
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad())
        throw SceneFileError(path + ": cannot be read");

    SceneDescription scene = parseSceneText(text.str(), path, fs::path(path).parent_path().string());
    for (ModelReference& model : scene.models) {
        const std::string where = path + ": models." + model.name + ": " + quotedText(model.path);
        if (const std::string problem = fileProblem(model.path); !problem.empty())
            throw SceneFileError(oneLine(where + " " + problem));
        try {
            model.loaded = Physics::loadPhysicalModel(model.path);
        } catch (const std::exception& failure) {
            throw SceneFileError(oneLine(where + ": " + failure.what()));
        }
    }
    return scene;
}

} // namespace Tolvane
