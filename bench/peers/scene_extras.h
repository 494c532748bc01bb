// What our scene files hold beyond what the shared peer reader takes: per-body materials, kinematic
// bodies, collision layers and masks, the world's combine rules and joints; the triangles of the
// AC3D models, for fixed parts that are not their own convex hull; and two more figures for the
// JSON line, the deepest penetration of a movable body into a fixed one and the widest joint gap.
//
// The shared reader (scene_file.h) refuses keys it does not know. Ours takes those keys out of the
// file, checks them, and hands the rest to the shared reader, so bodies, lattices, the jitter and
// the outputs stay exactly as in the shared peers.
#pragma once

// The shared JSON line, printed into a buffer and given the extra figures before its closing brace.
#define print_json shared_print_json
#include "scene.h"
#undef print_json
static void print_json(const char* engine, const char* version, const Args& a, const Result& r);
#include "scene_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <map>

// ---- Figures added to the JSON line ---------------------------------------------------------

// Deepest contact penetration seen over the run between a movable body and a fixed one, and the
// widest gap seen at a joint (-1 when the scene has no joint). Atomic: engines report contacts
// from their worker threads.
static std::atomic<double> g_max_penetration{0};
static double g_max_joint_gap = -1;

static void note_penetration(double depth)
{
    double seen = g_max_penetration.load(std::memory_order_relaxed);
    while (depth > seen && !g_max_penetration.compare_exchange_weak(seen, depth, std::memory_order_relaxed)) {
    }
}

// glibc lets a program set stdout, so the shared printf lands in a memory stream; the line is
// then printed with the extra keys, the rest of it unchanged.
static void print_json(const char* engine, const char* version, const Args& a, const Result& r)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* real = stdout;
    FILE* buffer = open_memstream(&text, &size);
    if (!buffer) {
        perror("open_memstream");
        exit(1);
    }
    fflush(stdout);
    stdout = buffer;
    shared_print_json(engine, version, a, r);
    fclose(buffer);
    stdout = real;
    std::string line(text, size);
    free(text);
    const size_t brace = line.rfind('}');
    if (brace == std::string::npos) {
        fputs(line.c_str(), stdout);
        return;
    }
    char extra[96];
    snprintf(extra, sizeof extra, ",\"max_penetration\":%.4f,\"max_joint_gap\":%.4f",
             g_max_penetration.load(), g_max_joint_gap);
    line.insert(brace, extra);
    fputs(line.c_str(), stdout);
}

// ---- Model triangles ------------------------------------------------------------------------

// A part's surfaces as triangles (polygons split as fans from their first vertex; lines dropped),
// indices into the shared reader's vertices of the same part.
struct PartTriangles {
    std::vector<std::array<int, 3>> triangles;
};

// Walks the objects in the order of the shared reader, keeping the surfaces it skips.
static void ac3d_surfaces(std::istream& in, int depth, std::vector<PartTriangles>& parts)
{
    auto word = [&in] {
        std::string w;
        if (!(in >> w))
            throw std::runtime_error("ends inside an object");
        return w;
    };
    auto number = [&in] {
        double x;
        if (!(in >> x))
            throw std::runtime_error("a number is missing");
        return x;
    };
    auto count = [&in] {
        long n;
        if (!(in >> n) || n < 0 || n > 10000000)
            throw std::runtime_error("bad count");
        return n;
    };
    PartTriangles part;
    long verts = 0;
    word(); // the kind
    for (;;) {
        const std::string w = word();
        if (w == "name") {
            std::string rest;
            std::getline(in, rest);
        } else if (w == "loc") {
            number(), number(), number();
        } else if (w == "numvert") {
            verts = count();
            for (long n = 0; n < 3 * verts; ++n)
                number();
        } else if (w == "numsurf") {
            for (long n = count(); n > 0; --n) {
                if (word() != "SURF")
                    throw std::runtime_error("SURF expected");
                const long flags = std::stol(word(), nullptr, 0);
                std::string k = word();
                if (k == "mat")
                    word(), k = word();
                if (k != "refs")
                    throw std::runtime_error("refs expected");
                std::vector<int> refs;
                for (long r = count(); r > 0; --r) {
                    const long index = count();
                    if (index >= verts)
                        throw std::runtime_error("a surface names a vertex the object does not have");
                    refs.push_back((int)index);
                    number(), number();
                }
                if ((flags & 0xf) != 0)
                    continue; // a closed or open line, no area
                for (size_t i = 2; i < refs.size(); ++i)
                    part.triangles.push_back({refs[0], refs[i - 1], refs[i]});
            }
        } else if (w == "kids") {
            if (verts > 0)
                parts.push_back(part);
            for (long n = count(); n > 0; --n) {
                if (word() != "OBJECT")
                    throw std::runtime_error("a kid is not an OBJECT");
                if (depth > 256)
                    throw std::runtime_error("kids nested too deep");
                ac3d_surfaces(in, depth + 1, parts);
            }
            return;
        } else if (w == "data") {
            const long n = count();
            in.ignore(1);
            in.ignore(n);
        } else if (w == "texture" || w == "url") {
            word();
        } else if (w == "texrep") {
            number(), number();
        } else if (w == "crease") {
            number();
        } else {
            throw std::runtime_error("unknown word \"" + w + "\"");
        }
    }
}

static std::vector<PartTriangles> read_ac3d_triangles(const Model& m)
{
    std::ifstream in(m.path);
    std::string w;
    std::vector<PartTriangles> parts;
    if (!(in >> w) || w != "AC3Db")
        throw std::runtime_error("is not an AC3D file");
    while (in >> w) {
        if (w == "MATERIAL")
            std::getline(in, w);
        else if (w == "OBJECT") {
            ac3d_surfaces(in, 1, parts);
            break;
        } else
            throw std::runtime_error("unknown word \"" + w + "\"");
    }
    if (parts.size() != m.parts.size())
        throw std::runtime_error("its surfaces and its parts do not match");
    return parts;
}

// True when a part is its own convex hull: its triangles close it (every edge shared by exactly two
// of them) and every vertex lies on one side of every triangle's plane. An open surface (a
// terrain, a tiled floor) or a solid with hollows (a bowl, a channel, stairs) is not. A part with
// no surfaces is taken as the hull of its vertices, as the shared reader takes every part.
static bool convex_part(const Part& p, const PartTriangles& t)
{
    if (t.triangles.empty())
        return true;
    std::map<std::pair<int, int>, int> edges;
    for (const auto& tri : t.triangles)
        for (int e = 0; e < 3; ++e) {
            const int a = tri[e], b = tri[(e + 1) % 3];
            ++edges[{std::min(a, b), std::max(a, b)}];
        }
    for (const auto& edge : edges)
        if (edge.second != 2)
            return false;
    V3 lo = p.verts[0], hi = lo;
    for (const V3& v : p.verts)
        for (int i = 0; i < 3; ++i)
            lo[i] = std::min(lo[i], v[i]), hi[i] = std::max(hi[i], v[i]);
    const double eps = 1e-5 * std::max({1.0, hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    for (const auto& tri : t.triangles) {
        const V3 &a = p.verts[tri[0]], &b = p.verts[tri[1]], &c = p.verts[tri[2]];
        const V3 u{b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        V3 n{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (!(len > 0))
            continue; // a sliver without a plane of its own
        for (double& x : n)
            x /= len;
        bool above = false, below = false;
        for (const V3& q : p.verts) {
            const double d = n[0] * (q[0] - a[0]) + n[1] * (q[1] - a[1]) + n[2] * (q[2] - a[2]);
            above = above || d > eps, below = below || d < -eps;
        }
        if (above && below)
            return false;
    }
    return true;
}

// The parts of a model that a fixed body collides with by their triangles; empty when every part
// is convex and the model stays as the shared peers build it.
struct MeshParts {
    std::vector<bool> mesh;               // per part: collides by its triangles
    std::vector<PartTriangles> triangles; // per part
    bool any() const { return std::find(mesh.begin(), mesh.end(), true) != mesh.end(); }
};

static MeshParts mesh_parts(const Model& m)
{
    MeshParts out;
    if (m.path.empty())
        return out; // the built-in lattice's boxes
    out.triangles = read_ac3d_triangles(m);
    for (size_t k = 0; k < m.parts.size(); ++k)
        out.mesh.push_back(!convex_part(m.parts[k], out.triangles[k]));
    return out;
}

// ---- Scene keys beyond the shared reader ----------------------------------------------------

// How two bodies' coefficients make a contact's.
enum class Combine { GeometricMean, Mean, Min, Max, Product };

static double combine(Combine rule, double a, double b)
{
    switch (rule) {
    case Combine::GeometricMean:
        return std::sqrt(a * b);
    case Combine::Mean:
        return 0.5 * (a + b);
    case Combine::Min:
        return std::min(a, b);
    case Combine::Max:
        return std::max(a, b);
    case Combine::Product:
        return a * b;
    }
    return a;
}

struct Material {
    double friction = 0.5, restitution = 0.5; // the body's own, or the world's
    bool kinematic = false;
    int layer = 0;
    uint32_t mask = 0xffffffffu;
};

enum class JointType { Ball, Hinge, Fixed, Slider, Distance };

// A distance joint's greatest distance when it has none (a spring given without max).
constexpr double kNoGreatest = 3.4e38;

// A joint as the file gives it, in world coordinates at the start. `first` is a body index;
// `second` is one too, or -1 for the world.
struct Joint {
    JointType type = JointType::Ball;
    std::string name;
    int first = -1, second = -1;
    V3 anchor{0, 0, 0}, axis{0, 1, 0};
    bool limited = false;
    double low = 0, high = 0;
    bool motor = false;
    double motor_speed = 0, motor_max = 0;  // rad/s and torque (hinge), units/s and force (slider)
    V3 anchors[2] = {{0, 0, 0}, {0, 0, 0}}; // distance
    double length = 0, min = 0, max = 0;
    bool spring = false;
    double frequency = 0, damping_ratio = 0;
    bool collide = false;
};

struct Extras {
    std::vector<Material> bodies; // scene order
    std::vector<Joint> joints;
    Combine friction_combine = Combine::GeometricMean, restitution_combine = Combine::Max;
    // Two bodies collide only when each one's mask holds the other's layer, and when no joint
    // between them says otherwise.
    bool may_collide(int i, int j) const
    {
        const Material &a = bodies[i], &b = bodies[j];
        return (a.mask >> b.layer & 1u) && (b.mask >> a.layer & 1u);
    }
};

static Combine read_combine(const Node& n)
{
    const std::string rule = n.text();
    if (rule == "geometric_mean")
        return Combine::GeometricMean;
    if (rule == "mean")
        return Combine::Mean;
    if (rule == "min")
        return Combine::Min;
    if (rule == "max")
        return Combine::Max;
    if (rule == "product")
        return Combine::Product;
    n.fail(n.j.dump() +
           " is not a combine rule: must be \"geometric_mean\", \"mean\", \"min\", \"max\" or \"product\"");
}

// Takes a body's or a lattice's own keys out of it.
static Material take_material(Json& item, const std::string& at, double friction, double restitution)
{
    Material m;
    m.friction = friction, m.restitution = restitution;
    if (!item.is_object())
        return m; // the shared reader reports it
    const Json copy = item;
    const Node n{copy, at};
    if (n.has("friction"))
        m.friction = n["friction"].number(0, 3.4e38, "0 or more"), item.erase("friction");
    if (n.has("restitution"))
        m.restitution = n["restitution"].number(0, 1, "from 0 to 1"), item.erase("restitution");
    if (n.has("kinematic"))
        m.kinematic = n["kinematic"].boolean(), item.erase("kinematic");
    if (n.has("layer"))
        m.layer = (int)n["layer"].integer(0, 31), item.erase("layer");
    if (n.has("mask")) {
        const Node list = n["mask"];
        if (!list.j.is_array())
            list.fail(std::string("must be a list of layer numbers, not ") + list.type());
        m.mask = 0;
        for (size_t i = 0; i < list.j.size(); ++i)
            m.mask |= 1u << list[i].integer(0, 31);
        item.erase("mask");
    }
    if (m.kinematic && item.contains("fixed") && item["fixed"].is_boolean() && item["fixed"].get<bool>())
        n["kinematic"].fail("a body cannot be both fixed and kinematic");
    return m;
}

static V3 unit(const Node& n)
{
    const V3 v = n.vec();
    const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(len >= 1e-6))
        n.fail("the axis has no direction (zero length)");
    return {v[0] / len, v[1] / len, v[2] / len};
}

// A joint as the engine's own scene reader takes it: each type takes only its own keys, and the
// messages are the engine's, so that a file both refuse is refused alike.
static Joint read_joint(const Node& n, const Scene& s)
{
    if (!n.j.is_object())
        n.fail(std::string("must be an object, not ") + n.type());
    Joint j;
    const Node type = n.need("type");
    const std::string kind = type.text();
    if (kind == "ball" || kind == "fixed") {
        j.type = kind == "ball" ? JointType::Ball : JointType::Fixed;
        n.keys({"type", "name", "bodies", "anchor", "collide"});
    } else if (kind == "hinge" || kind == "slider") {
        j.type = kind == "hinge" ? JointType::Hinge : JointType::Slider;
        n.keys({"type", "name", "bodies", "anchor", "axis", "limits", "motor", "collide"});
    } else if (kind == "distance") {
        j.type = JointType::Distance;
        n.keys({"type", "name", "bodies", "anchors", "length", "min", "max", "spring", "collide"});
    } else {
        type.fail(type.j.dump() +
                  " is not a joint type: must be \"ball\", \"hinge\", \"fixed\", \"slider\" or \"distance\"");
    }
    if (n.has("name"))
        j.name = n["name"].text();
    const Node bodies = n.need("bodies");
    if (!bodies.j.is_array() || bodies.j.empty() || bodies.j.size() > 2)
        bodies.fail("must be a list of one or two body names, not " +
                    (bodies.j.is_array() ? "a list of " + std::to_string(bodies.j.size())
                                         : std::string(bodies.type())));
    int* ends[2] = {&j.first, &j.second};
    for (size_t k = 0; k < bodies.j.size(); ++k) {
        const Node name = bodies[k];
        const std::string wanted = name.text();
        int found = -1, matches = 0;
        for (size_t b = 0; b < s.bodies.size() && !wanted.empty(); ++b)
            if (s.bodies[b].name == wanted)
                found = found < 0 ? (int)b : found, ++matches;
        if (matches == 0)
            name.fail("no body named " + Json(wanted).dump());
        if (matches > 1)
            name.fail(std::to_string(matches) + " bodies are named " + Json(wanted).dump() +
                      ", so it names none");
        *ends[k] = found;
    }
    if (j.first == j.second)
        bodies.fail("a joint cannot join a body to itself");
    j.anchor = n.has("anchor") ? n["anchor"].vec() : s.bodies[j.first].p;
    if (j.type == JointType::Hinge || j.type == JointType::Slider) {
        j.axis = unit(n.need("axis"));
        if (n.has("limits")) {
            const Node limits = n["limits"];
            if (!limits.j.is_array() || limits.j.size() != 2)
                limits.fail("must be a list of 2 numbers");
            j.limited = true, j.low = limits[size_t(0)].number(), j.high = limits[1].number();
            if (!(j.low <= j.high))
                limits.fail("the low limit " + limits[size_t(0)].j.dump() + " is above the high limit " +
                            limits[1].j.dump());
        }
        if (n.has("motor")) {
            const Node motor = n["motor"];
            const char* limit = j.type == JointType::Hinge ? "max_torque" : "max_force";
            motor.keys({"speed", limit});
            j.motor = true, j.motor_speed = motor.need("speed").number();
            j.motor_max = motor.need(limit).number(0, 3.4e38, "0 or more");
        }
    }
    if (j.type == JointType::Distance) {
        const Node anchors = n.need("anchors");
        if (!anchors.j.is_array() || anchors.j.size() != 2)
            anchors.fail("must be a list of two points");
        j.anchors[0] = anchors[size_t(0)].vec(), j.anchors[1] = anchors[1].vec();
        // Worked out in single precision, as the engine holds the points.
        const float dx = (float)(j.anchors[1][0] - j.anchors[0][0]),
                    dy = (float)(j.anchors[1][1] - j.anchors[0][1]),
                    dz = (float)(j.anchors[1][2] - j.anchors[0][2]);
        j.length = n.has("length") ? n["length"].number(0, 3.4e38, "0 or more")
                                   : std::sqrt(dx * dx + dy * dy + dz * dz);
        if (n.has("spring")) {
            const Node spring = n["spring"];
            spring.keys({"frequency", "damping_ratio"});
            j.spring = true;
            const Node frequency = spring.need("frequency");
            j.frequency = frequency.number();
            if (!(j.frequency > 0))
                frequency.fail(frequency.j.dump() + " is out of range: must be more than 0");
            if (spring.has("damping_ratio"))
                j.damping_ratio = spring["damping_ratio"].number(0, 3.4e38, "0 or more");
        }
        // Without a spring the distance is held at the length; a spring with no min or max
        // stretches freely.
        j.min = n.has("min") ? n["min"].number(0, 3.4e38, "0 or more") : j.spring ? 0 : j.length;
        j.max = n.has("max") ? n["max"].number(0, 3.4e38, "0 or more") : j.spring ? kNoGreatest : j.length;
        if (!(j.min <= j.max))
            n.fail("the least distance " + Json((float)j.min).dump() + " is above the greatest " +
                   Json((float)j.max).dump());
    }
    if (n.has("collide"))
        j.collide = n["collide"].boolean();
    return j;
}

// Reads the scene of --scene with our keys; exits with status 2 and a "FILE: where: what" line on
// a fault, as the shared reader does. Without --scene: the lattice, with the world's coefficients.
static Scene make_scene_with_extras(Args& a, Extras& x)
{
    if (a.scene.empty()) {
        Scene s = make_scene(a);
        x.bodies.assign(s.bodies.size(), Material{a.friction, s.restitution});
        return s;
    }
    auto refuse = [&a](const std::string& what) {
        fprintf(stderr, "%s: %s\n", a.scene.c_str(), what.c_str());
        exit(2);
    };
    Json doc;
    {
        std::ifstream in(a.scene, std::ios::binary);
        try {
            doc = Json::parse(in);
        } catch (const Json::exception&) {
            return make_scene(a);
        } // its message
    }
    if (!doc.is_object())
        return make_scene(a);
    Json joints;
    std::vector<Json> items;                  // bodies, then lattices, with our keys
    std::map<std::string, std::string> moved; // model paths made absolute, and as the file gave them
    try {
        if (doc.contains("joints"))
            joints = doc["joints"], doc.erase("joints");
        if (doc.contains("world") && doc["world"].is_object()) {
            Json& w = doc["world"];
            const Json copy = w;
            const Node n{copy, "world"};
            if (n.has("friction_combine"))
                x.friction_combine = read_combine(n["friction_combine"]), w.erase("friction_combine");
            if (n.has("restitution_combine"))
                x.restitution_combine = read_combine(n["restitution_combine"]),
                w.erase("restitution_combine");
            // Checked and noted here rather than by the shared reader, so that the note names this file.
            if (n.has("solver_iterations"))
                n["solver_iterations"].integer(1, 256), w.erase("solver_iterations");
            if (n.has("allowed_penetration"))
                n["allowed_penetration"].number(0, 1, "from 0 to 1"), w.erase("allowed_penetration");
            for (const char* k : {"solver_iterations", "allowed_penetration"})
                if (n.has(k))
                    fprintf(stderr, "%s: world.%s: not applied, the engine keeps its own solver\n",
                            a.scene.c_str(), k);
        }
        // Models are found beside the file: their paths are made absolute for the reader's copy.
        const std::filesystem::path folder = std::filesystem::absolute(a.scene).parent_path();
        if (doc.contains("models") && doc["models"].is_object())
            for (auto& item : doc["models"].items())
                if (item.value().is_string()) {
                    const std::string given = item.value().get<std::string>();
                    const std::string full = (folder / given).lexically_normal().string();
                    moved[full] = given;
                    item.value() = full;
                }
    } catch (const SceneError& e) {
        refuse(e.what());
    }

    // The shared reader reads the rest from a file in memory (the friction and restitution of the
    // world are known only after it).
    std::vector<Json> own; // our keys of each body and lattice, taken out below
    for (const char* list : {"bodies", "lattices"})
        if (doc.contains(list) && doc[list].is_array())
            for (auto& item : doc[list]) {
                Json keys = Json::object();
                if (item.is_object())
                    for (const char* k : {"friction", "restitution", "kinematic", "layer", "mask"})
                        if (item.contains(k))
                            keys[k] = item[k], item.erase(k);
                own.push_back(keys);
            }
    const int fd = memfd_create("scene", MFD_CLOEXEC);
    const std::string text = doc.dump();
    if (fd < 0 || write(fd, text.data(), text.size()) != (ssize_t)text.size())
        refuse("cannot copy the scene");
    const std::string copy = "/proc/self/fd/" + std::to_string(fd);
    const std::string source = a.scene;
    Scene s;
    try {
        a.scene = copy;
        s = read_scene(copy, a);
        a.scene = source;
    } catch (const SceneError& e) {
        a.scene = source;
        std::string what = e.what();
        for (const auto& m : moved)
            for (size_t at; (at = what.find(m.first)) != std::string::npos;)
                what.replace(at, m.first.size(), m.second);
        refuse(what);
    }
    close(fd);
    s.source = source;
    // The floor's half width, as the shared make_scene works it out.
    for (const Body& b : s.bodies)
        if (b.fixed && !a.floor_half_given) {
            double x0 = 1e300, x1 = -1e300;
            for (const Part& p : s.models[b.model].parts)
                for (const V3& v : p.verts)
                    x0 = std::min(x0, v[0]), x1 = std::max(x1, v[0]);
            a.floor_half = 0.5 * (x1 - x0);
            break;
        }

    try {
        // Each body's material, then each lattice's for every body it makes.
        size_t item = 0;
        const size_t listed = doc.contains("bodies") ? doc["bodies"].size() : 0;
        for (size_t i = 0; i < listed; ++i, ++item) {
            Json keys = own[item];
            keys["fixed"] = s.bodies[i].fixed;
            x.bodies.push_back(
                take_material(keys, "bodies[" + std::to_string(i) + "]", a.friction, s.restitution));
        }
        const size_t lattices = doc.contains("lattices") ? doc["lattices"].size() : 0;
        for (size_t l = 0; l < lattices; ++l, ++item) {
            const Json& counts = doc["lattices"][l]["counts"];
            const size_t made = counts[0].get<size_t>() * counts[1].get<size_t>() * counts[2].get<size_t>();
            Json keys = own[item];
            keys["fixed"] = s.bodies[x.bodies.size()].fixed;
            const Material m =
                take_material(keys, "lattices[" + std::to_string(l) + "]", a.friction, s.restitution);
            x.bodies.insert(x.bodies.end(), made, m);
        }
        if (x.bodies.size() != s.bodies.size())
            throw SceneError("the bodies and their materials do not match");
        if (!joints.is_null()) {
            const Node list{joints, "joints"};
            if (!joints.is_array())
                list.fail(std::string("must be a list of joints, not ") + list.type());
            for (size_t i = 0; i < joints.size(); ++i)
                x.joints.push_back(read_joint(list[i], s));
            g_max_joint_gap = x.joints.empty() ? -1 : 0;
        }
        for (size_t i = 0; i < s.bodies.size(); ++i)
            if (x.bodies[i].kinematic)
                s.bodies[i].mass = 0; // moved by its velocity, never by contacts
    } catch (const SceneError& e) {
        refuse(e.what());
    }
    return s;
}

// ---- Joint gaps -----------------------------------------------------------------------------

// Each joint's points in its bodies' model frames (a world point stays as it is), for measuring
// how far the engine lets them part: ball, hinge and fixed joints hold their two points together,
// a slider holds the second body's point on the line along its axis, a distance joint holds the
// distance between min and max.
class JointGaps {
  public:
    JointGaps(const Scene& s, const std::vector<Joint>& joints) : joints_(joints)
    {
        for (const Joint& j : joints) {
            const V3 first = j.type == JointType::Distance ? j.anchors[0] : j.anchor;
            const V3 second = j.type == JointType::Distance ? j.anchors[1] : j.anchor;
            local_.push_back({to_local(s, j.first, first), to_local(s, j.second, second),
                              j.second < 0 ? j.axis : rotate(conj(s.bodies[j.second].q), j.axis)});
        }
    }
    void record(const std::vector<State>& states)
    {
        for (size_t i = 0; i < joints_.size(); ++i) {
            const Joint& j = joints_[i];
            const V3 p = to_world(states, j.first, local_[i].first),
                     q = to_world(states, j.second, local_[i].second);
            const V3 d{q[0] - p[0], q[1] - p[1], q[2] - p[2]};
            const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            double gap = length;
            if (j.type == JointType::Distance) {
                gap = std::max({0.0, length - j.max, j.min - length});
            } else if (j.type == JointType::Slider) {
                const V3 axis =
                    j.second < 0 ? local_[i].axis : rotate(quat(states, j.second), local_[i].axis);
                const double along = d[0] * axis[0] + d[1] * axis[1] + d[2] * axis[2];
                gap = std::sqrt(std::max(0.0, length * length - along * along));
                if (j.limited)
                    gap = std::max({gap, -along - j.high, j.low + along});
            }
            g_max_joint_gap = std::max(g_max_joint_gap, gap);
        }
    }

  private:
    using Q = std::array<double, 4>; // w, x, y, z
    struct Local {
        V3 first, second, axis;
    };
    static Q conj(const Q& q) { return {q[0], -q[1], -q[2], -q[3]}; }
    static V3 rotate(const Q& q, const V3& v)
    { // q v q*
        const V3 u{q[1], q[2], q[3]};
        const V3 t{2 * (u[1] * v[2] - u[2] * v[1]), 2 * (u[2] * v[0] - u[0] * v[2]),
                   2 * (u[0] * v[1] - u[1] * v[0])};
        return {v[0] + q[0] * t[0] + u[1] * t[2] - u[2] * t[1],
                v[1] + q[0] * t[1] + u[2] * t[0] - u[0] * t[2],
                v[2] + q[0] * t[2] + u[0] * t[1] - u[1] * t[0]};
    }
    static Q quat(const std::vector<State>& s, int b) { return {s[b].q[0], s[b].q[1], s[b].q[2], s[b].q[3]}; }
    static V3 to_local(const Scene& s, int b, const V3& p)
    {
        if (b < 0)
            return p;
        const Body& body = s.bodies[b];
        return rotate(conj(body.q), {p[0] - body.p[0], p[1] - body.p[1], p[2] - body.p[2]});
    }
    static V3 to_world(const std::vector<State>& s, int b, const V3& p)
    {
        if (b < 0)
            return p;
        const V3 r = rotate(quat(s, b), p);
        return {s[b].p[0] + r[0], s[b].p[1] + r[1], s[b].p[2] + r[2]};
    }
    const std::vector<Joint>& joints_;
    std::vector<Local> local_;
};
