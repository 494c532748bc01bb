// The designed response's step: the collision pass, which tests the pairs the
// sort-and-sweep broad phase hands over and files every collision under both
// bodies, and the response pass, which moves each movable body with its
// collisions resolved.
#pragma once

#include "physics/body/CollisionSet.h"
#include "physics/designed/BroadPhase.h"
#include "physics/designed/CollisionReport.h"
#include "physics/designed/PhysicalObjectCollisionSolver.h"

#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace Tolvane::Physics {

using CollisionSignal = boost::signals2::signal<void(std::shared_ptr<PhysicalObjectCollisionSolver>)>;

class DesignedResponse {
  public:
    /// Clears the map, then tests every pair of each self-colliding set whose
    /// swept bounding spheres may meet, in pair order (k < l, the earlier body
    /// the pair's body A). A pair that collides is emitted on the signal and
    /// then filed under both bodies. The velocities the pairs are tested with
    /// are predicted from the forces before the first pair is tested.
    void collisionPass(const std::vector<std::shared_ptr<CollisionSet>>& sets, CollisionMap& map,
                       CollisionSignal& signal, float timeStep, std::int32_t stepCount);

    /// Moves every movable body of the sets over timeStep: a body without
    /// collisions is integrated, one with collisions has them resolved
    /// (respondToCollisions).
    static void responsePass(const std::vector<std::shared_ptr<CollisionSet>>& sets, CollisionMap& map,
                             float timeStep);

    /// Forgets the broad phases' orders.
    void clear() { broadPhases_.clear(); }

  private:
    /// One broad phase per collision set, with its scratch space, kept from
    /// step to step.
    std::vector<BroadPhase> broadPhases_;
    std::vector<WorldBox> boxes_;
    std::vector<std::pair<std::int32_t, std::int32_t>> pairs_;
};

} // namespace Tolvane::Physics
