// The physics of a scene: its bodies built from a scene description (the
// program's floor and lattice of blocks, or any scene file), in one
// self-colliding collision set. No window and no drawing here: the interactive
// program pairs each body with a drawable of its own.
#pragma once

#include "math/Vector3.h"
#include "physics/body/CollisionSet.h"
#include "physics/body/PhysicalModel.h"
#include "physics/body/PhysicalObject.h"
#include "physics/joint/Joint.h"
#include "scene/SceneDescription.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tolvane {

/// What can be read off the scene's movable bodies ("blocks") at one moment.
struct SceneMeasures {
    /// Blocks moving slower than the response pass's rest speed, linearly and angularly.
    int blocksAtRest = 0;
    /// Lowest and highest y of a block centre.
    float lowestBlockCentre = 0.0f;
    float highestBlockCentre = 0.0f;
    /// The largest linear speed of a block.
    float largestSpeed = 0.0f;
    /// Linear plus rotational kinetic energy of the blocks (fixed bodies have none).
    double kineticEnergy = 0.0;
    /// True when every position, orientation and velocity component is finite.
    bool allFinite = true;
};

class PhysicsTestScene {
  public:
    static constexpr const char* blockModelFile = "SimpleCube.ac";
    static constexpr const char* floorModelFile = "Floor.ac";
    /// Blocks per lattice edge in the interactive program.
    static constexpr int defaultLatticeSize = 5;
    /// The widest lattice that still lands on the floor's 60 × 60 top: 12 columns
    /// span 27.5 units plus the blocks' own size and the jitter.
    static constexpr int maxLatticeSize = 12;
    /// Height of the lowest lattice layer.
    static constexpr float blockStartHeight = 2.5f;
    /// Distance between neighbouring lattice points on every axis.
    static constexpr float latticeSpacing = 2.5f;
    static constexpr float blockMass = 1.0f;
    static constexpr float floorMass = fixedBodyMass;
    static constexpr Math::Vector3 floorPosition{0.0f, -7.0f, 0.0f};
    static constexpr Math::Vector3 sceneGravity{0.0f, -9.81f, 0.0f};

    /// The program's scene (builtInScene) with latticeSize³ blocks.
    /// Throws std::runtime_error "Lattice size must be between 1 and 12" for a
    /// size out of range, and the reader's errors for missing or bad model files.
    explicit PhysicsTestScene(const std::string& modelFolder = std::string(),
                              int latticeSize = defaultLatticeSize);

    /// Loads the description's models (the reader's errors propagate), builds
    /// its bodies in order, places them with resetBlocks(), registers the one
    /// collision set with the universe and gives the universe the scene's
    /// gravity and contact settings. The universe should hold no other scene:
    /// call PhysicalUniverse::reset() before building a second one.
    explicit PhysicsTestScene(SceneDescription description);

    /// Puts every body back where the description places it, at its starting
    /// velocities. Lattices with the unseeded jitter draw one rand() per body
    /// from the never-seeded C generator, so each reset of those differs;
    /// seeded lattices call srand(seed) first and land the same every time.
    void resetBlocks();

    /// Every body in the description's order (for the program's scene: index 0
    /// the floor, then the blocks in lattice order); the same order as in the
    /// collision set.
    const std::vector<std::shared_ptr<Physics::PhysicalObject>>& bodies() const { return bodies_; }
    /// The name of bodies()[i]; lattice bodies are named "<lattice>[<index>]"
    /// when their lattice has a name. Made when asked: a pile keeps no name
    /// for each of its bodies.
    std::string bodyName(std::size_t i) const;
    /// The ids of the joints the scene added to PhysicalUniverse::joints, in
    /// the description's order.
    const std::vector<Physics::JointId>& jointIds() const { return jointIds_; }
    /// The first fixed body (the program's floor), or null when there is none.
    std::shared_ptr<Physics::PhysicalObject> floor() const;
    const std::shared_ptr<Physics::CollisionSet>& collisionSet() const { return collisionSet_; }
    /// The un-jittered place of every body made by a lattice, in body order: for
    /// the program's scene latticePoints()[i] belongs to bodies()[i + 1].
    const std::vector<Math::Vector3>& latticePoints() const { return latticePoints_; }
    /// The model loaded under the given name, or null.
    std::shared_ptr<Physics::PhysicalModel> model(const std::string& name) const;
    std::shared_ptr<Physics::PhysicalModel> blockModel() const { return model("block"); }
    std::shared_ptr<Physics::PhysicalModel> floorModel() const { return model("floor"); }
    const SceneDescription& description() const { return description_; }
    /// The index into description().models of the model body i is made from.
    std::size_t bodyModel(std::size_t i) const { return placementOf(i).model; }
    /// Movable bodies: the blocks.
    int blockCount() const { return blockCount_; }

    /// 64-bit FNV-1a over the bits of every body's position, orientation,
    /// velocity and angular velocity, in body order: equal only for the same state.
    std::uint64_t stateHash() const;

    SceneMeasures measure() const;

  private:
    /// Where body i's start is described: the scene's bodies are the
    /// description's single bodies, then each lattice's, in order, so that a
    /// pile keeps nothing of its own for each body.
    struct Placement {
        /// Index into the description's models.
        std::size_t model = 0;
        /// Index into the description's lattices; -1 for a single body.
        int lattice = -1;
        /// The body's index within its lattice, or among the description's
        /// single bodies.
        int index = 0;
    };
    Placement placementOf(std::size_t i) const;

    SceneDescription description_;
    std::vector<std::shared_ptr<Physics::PhysicalModel>> models_;
    std::vector<std::shared_ptr<Physics::PhysicalObject>> bodies_;
    std::vector<Math::Vector3> latticePoints_;
    /// The joints the scene added to the universe, in the description's order.
    std::vector<Physics::JointId> jointIds_;
    std::shared_ptr<Physics::CollisionSet> collisionSet_;
    int blockCount_ = 0;
};

/// The program's scene: the floor of Floor.ac (fixed, top face at y = -7) and a
/// latticeSize³ lattice of SimpleCube.ac blocks 2.5 apart from (0, 2.5, 0) with
/// the unseeded jitter, both files read from modelFolder (empty: the working
/// directory).
SceneDescription builtInScene(const std::string& modelFolder, int latticeSize);

/// The program's built-in scene, checked: throws "Lattice size must be between
/// 1 and 12" for a size out of range.
SceneDescription checkedBuiltInScene(const std::string& modelFolder, int latticeSize);

} // namespace Tolvane
