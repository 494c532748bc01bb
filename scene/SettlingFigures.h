// Figures that show whether a run's pile settles: the settled step, blocks
// asleep and off the floor, and how deep blocks went into the floor and into
// one another, over the whole run and after settling.
#pragma once

#include "scene/PhysicsTestScene.h"

#include <cmath>
#include <optional>
#include <vector>

namespace Tolvane {

/// A block counts as at rest below these speeds, linearly and angularly (the
/// same figure the peer engines are measured by).
constexpr float atRestSpeed = 0.1f;

struct SettlingSummary {
    /// The first step from which every block stays at rest to the end of the
    /// run; none when blocks still move at the last step.
    std::optional<long> settledStep;
    int blocksAsleep = 0;
    /// Blocks whose centre is below the floor's top face outside its footprint,
    /// and inside it.
    int blocksOffFloor = 0;
    int blocksThroughFloor = 0;
    /// The lowest block vertex below the floor's top face, over blocks whose
    /// centre is above the floor's top inside its footprint (0 when none is below).
    float deepestFloorPenetration = 0.0f;
    /// The most negative contact separation between two blocks, as a depth.
    float deepestPairPenetration = 0.0f;
    /// The most negative contact separation between a block and a fixed body,
    /// as a depth: the floor figure for floors that are not one flat box.
    float deepestFixedPenetration = 0.0f;
    /// The lowest block centre over the floor's footprint during the whole run
    /// (the figure the peer engines give; a block resting on the program's
    /// floor has its centre at -6); infinity when there was none.
    float lowestCentreOverFloor = INFINITY;
    /// The same two over the steps from the settled step on (none without one).
    std::optional<float> floorPenetrationAfterSettling;
    std::optional<float> pairPenetrationAfterSettling;
    std::optional<float> fixedPenetrationAfterSettling;
};

class SettlingFigures {
  public:
    explicit SettlingFigures(const PhysicsTestScene& scene);

    /// Reads the scene after step number step (1 for the first), and the
    /// deepest overlap the step's contacts had between two blocks and between
    /// a block and a fixed body (0 when none).
    void record(long step, float pairPenetration, float fixedPenetration = 0.0f);

    SettlingSummary summary() const;

  private:
    /// How deep the lowest vertex of any block over the floor is below its top face.
    float floorPenetration();

    const PhysicsTestScene& scene_;
    long lastStep_ = 0;
    long lastMovingStep_ = 0;
    float lowestCentreOverFloor_ = INFINITY;
    std::vector<float> floorPenetrations_;
    std::vector<float> pairPenetrations_;
    std::vector<float> fixedPenetrations_;
};

} // namespace Tolvane
