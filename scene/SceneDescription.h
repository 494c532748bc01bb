// A scene as data: world settings, the models it uses, single bodies and
// lattices of bodies. Read from a scene file or made in code for the built-in
// scene; PhysicsTestScene turns it into bodies.
#pragma once

#include "math/Quaternion.h"
#include "math/Vector3.h"
#include "physics/body/PhysicalModel.h"
#include "physics/joint/Joint.h"
#include "physics/solver/ContactSettings.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Tolvane {

/// A model file under the name bodies refer to it by.
struct ModelReference {
    std::string name;
    /// Ready to open: relative paths are relative to the working directory.
    std::string path;
    /// The model already read from path, when whoever made the description
    /// has read it (a scene file's loader does, to report a bad model against
    /// the scene); otherwise the scene reads it.
    std::shared_ptr<Physics::PhysicalModel> loaded;
};

/// The mass a fixed body gets unless its description gives one: so large that
/// its terms vanish from every impulse of the designed response.
constexpr float fixedBodyMass = 1e20f;

/// What a body is made of and what it collides with, and whether code
/// drives it: the same for single bodies and lattices.
struct BodyTraits {
    /// Moved only by its velocities, never by contacts (the solver response).
    bool kinematic = false;
    /// The body's own friction and restitution; unset, the world's stand in.
    std::optional<float> friction;
    std::optional<float> restitution;
    /// The layer (0 to 31) and the layers it collides with, one bit each.
    std::uint8_t layer = 0;
    std::uint32_t mask = ~0u;
};

/// One body as it starts.
struct BodyDescription {
    std::string name;
    /// Index into SceneDescription::models.
    std::size_t model = 0;
    Math::Vector3 position;
    Math::Quaternion orientation;
    Math::Vector3 velocity;
    /// Radians per second about world axes.
    Math::Vector3 angularVelocity;
    float mass = 1.0f;
    bool fixed = false;
    BodyTraits traits;
};

/// How a lattice moves its bodies off their lattice points.
enum class LatticeJitter {
    /// Exactly on the points.
    none,
    /// The program's jitter from the C library's rand(), continuing whatever
    /// sequence the process is in: a fresh placement on every reset.
    unseeded,
    /// The same formula after srand(seed): the same placement every time.
    seeded,
};

/// counts[0] × counts[1] × counts[2] bodies on a grid, y running fastest, then
/// x, then z (the program's order). Every body of a lattice is upright, at rest
/// and made from one model.
struct LatticeDescription {
    std::string name;
    std::size_t model = 0;
    std::array<int, 3> counts{{1, 1, 1}};
    /// The point of the first body.
    Math::Vector3 origin;
    Math::Vector3 spacing{2.5f, 2.5f, 2.5f};
    LatticeJitter jitter = LatticeJitter::none;
    unsigned seed = 0;
    float mass = 1.0f;
    bool fixed = false;
    BodyTraits traits;

    int bodyCount() const { return counts[0] * counts[1] * counts[2]; }
    /// The point of the body at index in lattice order, before any jitter.
    Math::Vector3 point(int index) const;
    /// The name of the body at index: "name[index]", or empty for a lattice
    /// without a name.
    std::string bodyName(int index) const;
};

/// A joint between two bodies of the scene, or a body and the world. The
/// definition's points and axes are in world coordinates with the bodies as
/// they start; its body pointers are left null and filled in when the scene
/// is built.
struct JointDescription {
    Physics::JointDefinition definition;
    /// The bodies by their place in the scene's order (bodies, then lattices);
    /// no second body joins the first to the world.
    std::size_t bodyA = 0;
    std::optional<std::size_t> bodyB;
};

/// A whole scene. Its bodies are made in order: first `bodies`, then every
/// lattice in turn; that order decides the pairs and the state hash.
struct SceneDescription {
    /// The file it came from, or a short description of where it was made.
    std::string source;
    Math::Vector3 gravity{0.0f, -9.81f, 0.0f};
    Physics::ContactSettings contact;
    std::vector<ModelReference> models;
    std::vector<BodyDescription> bodies;
    std::vector<LatticeDescription> lattices;
    /// Made after every body, in order.
    std::vector<JointDescription> joints;

    /// Bodies of every kind together.
    std::size_t bodyCount() const;
};

/// Most bodies along one axis of a lattice.
constexpr int maxLatticeCount = 64;
/// Most bodies in one scene, however they are made.
constexpr std::size_t maxSceneBodies = 65536;

/// The jitter of one body: rand()'s value scaled to [0, 1] and rounded to float,
/// then mapped to [-0.1, 0.1] in double and rounded to float.
float latticeJitter(int randomValue);

} // namespace Tolvane
