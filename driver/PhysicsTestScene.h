// The physics of the test scene: a fixed floor and a lattice of blocks that fall
// onto it, in one self-colliding collision set. No window and no drawing here:
// the interactive program pairs each body with a drawable of its own.
#pragma once

#include "math/Vector3.h"
#include "physics/CollisionSet.h"
#include "physics/PhysicalModel.h"
#include "physics/PhysicalObject.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tolvane {

/// What can be read off the scene's bodies at one moment.
struct SceneMeasures {
    /// Blocks moving slower than the response pass's rest speed, linearly and angularly.
    int blocksAtRest = 0;
    /// Lowest and highest y of a block centre.
    float lowestBlockCentre = 0.0f;
    float highestBlockCentre = 0.0f;
    /// The largest linear speed of a block.
    float largestSpeed = 0.0f;
    /// Linear plus rotational kinetic energy of the blocks (the fixed floor has none).
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
    /// So large that the floor's terms vanish from every impulse.
    static constexpr float floorMass = 1e20f;
    static constexpr Math::Vector3 floorPosition{0.0f, -7.0f, 0.0f};
    static constexpr Math::Vector3 sceneGravity{0.0f, -9.81f, 0.0f};

    /// Loads the two model files from modelFolder (empty: the working directory),
    /// builds the floor and latticeSize³ blocks, places the blocks with
    /// resetBlocks(), registers the one collision set (floor first) with the
    /// universe and sets the universe's gravity. The universe should hold no
    /// other scene: call PhysicalUniverse::reset() before building a second one.
    /// Throws std::runtime_error "Lattice size must be between 1 and 12" for a
    /// size out of range, and the reader's errors for missing or bad model files.
    explicit PhysicsTestScene(const std::string& modelFolder = std::string(),
                              int latticeSize = defaultLatticeSize);

    /// Puts every block back on its lattice point, moved by a fresh jitter in
    /// [-0.1, 0.1] on all three axes alike, upright and at rest. Draws one rand()
    /// per block from the never-seeded C generator, so each reset differs.
    void resetBlocks();

    /// Every body, index 0 the floor, then the blocks in lattice order; the
    /// same order as in the collision set.
    const std::vector<std::shared_ptr<Physics::PhysicalObject>>& bodies() const { return bodies_; }
    const std::shared_ptr<Physics::PhysicalObject>& floor() const { return bodies_.front(); }
    const std::shared_ptr<Physics::CollisionSet>& collisionSet() const { return collisionSet_; }
    /// The un-jittered place of every block: latticePoints()[i] belongs to bodies()[i + 1].
    const std::vector<Math::Vector3>& latticePoints() const { return latticePoints_; }
    const std::shared_ptr<Physics::PhysicalModel>& blockModel() const { return blockModel_; }
    const std::shared_ptr<Physics::PhysicalModel>& floorModel() const { return floorModel_; }
    int latticeSize() const { return latticeSize_; }
    int blockCount() const { return static_cast<int>(latticePoints_.size()); }

    /// 64-bit FNV-1a over the bits of every body's position, orientation,
    /// velocity and angular velocity, in body order: equal only for the same state.
    std::uint64_t stateHash() const;

    SceneMeasures measure() const;

  private:
    int latticeSize_;
    std::shared_ptr<Physics::PhysicalModel> blockModel_;
    std::shared_ptr<Physics::PhysicalModel> floorModel_;
    std::vector<std::shared_ptr<Physics::PhysicalObject>> bodies_;
    std::vector<Math::Vector3> latticePoints_;
    std::shared_ptr<Physics::CollisionSet> collisionSet_;
};

/// The jitter of one block: rand()'s value scaled to [0, 1] and rounded to float,
/// then mapped to [-0.1, 0.1] in double and rounded to float.
float latticeJitter(int randomValue);

} // namespace Tolvane
