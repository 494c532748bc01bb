// The simulated world: a static module that steps every registered collision set.
#pragma once

#include "math/Vector3.h"
#include "physics/CollisionSet.h"
#include "physics/ContactSettings.h"
#include "physics/ContactWorld.h"
#include "physics/PhysicalObject.h"
#include "physics/PhysicalObjectCollisionSolver.h"

#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <vector>

namespace Tolvane::Physics {

class PhysicalUniverse {
  public:
    /// One body's share of one collision.
    struct CollisionReport {
        std::shared_ptr<PhysicalObjectCollisionSolver> solver;
        Math::Vector3 velocityChange;
        Math::Vector3 angularVelocityChange;
    };

    using ReportList = std::list<std::shared_ptr<CollisionReport>>;
    /// The collisions of the current step per body, keyed by body identity; each
    /// list is sorted by contact time, equal times in filing order.
    using CollisionMap = std::map<std::shared_ptr<PhysicalObject>, ReportList,
                                  std::owner_less<std::shared_ptr<PhysicalObject>>>;

    static std::vector<std::shared_ptr<CollisionSet>> collisionSets;
    static CollisionMap collisionMap;
    /// Emitted once per colliding pair, before the pair is filed.
    static boost::signals2::signal<void(std::shared_ptr<PhysicalObjectCollisionSolver>)> collisionSignal;
    /// Seconds simulated by one step.
    static float timeStep;
    static Math::Vector3 gravity;
    /// Which response runs, and the contact solver's settings.
    static ContactSettings contactSettings;
    /// The solver response's contacts, islands and sleeping bodies between steps.
    static ContactWorld contactWorld;
    /// Incremented at the start of every step; the stamp of the shape caches.
    static std::int32_t stepCount;

    static void addCollisionSet(std::shared_ptr<CollisionSet> set);

    /// Advances every body of every registered set by timeStep, with the
    /// response contactSettings names.
    static void step();

    /// Files the solver under the body, after every report with a contact time not greater than its own.
    static void addCollisionReport(std::shared_ptr<PhysicalObject> body,
                                   std::shared_ptr<PhysicalObjectCollisionSolver> solver);

    /// Puts the static state back to its start-up values (for tests and tools
    /// that build more than one scene in one process).
    static void reset();

  private:
    /// The designed response's broad phase, one per collision set, with its
    /// scratch space, kept from step to step.
    static std::vector<BroadPhase> designedBroadPhases;
    static std::vector<WorldBox> designedBoxes;
    static std::vector<std::pair<std::int32_t, std::int32_t>> designedPairs;

    static void collisionPass();
    static void responsePass();
    /// Tells the collision signal's listeners of every pair the solver response
    /// left in contact, in pair order.
    static void publishTouchingPairs();
};

} // namespace Tolvane::Physics
