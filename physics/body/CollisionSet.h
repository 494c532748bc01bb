// An ordered group of bodies that the universe steps and tests against one another.
#pragma once

#include "physics/body/PhysicalObject.h"

#include <memory>
#include <vector>

namespace Tolvane::Physics {

class CollisionSet {
  public:
    /// The bodies in insertion order; the order decides bodyA and bodyB of a pair.
    std::vector<std::shared_ptr<PhysicalObject>> bodies;
    /// When true, every pair of the set's bodies is tested each step.
    bool selfCollision = true;

    void addBody(std::shared_ptr<PhysicalObject> body) { bodies.push_back(std::move(body)); }
    /// A copy of the bodies, so a pass is not affected by changes made during it.
    std::vector<std::shared_ptr<PhysicalObject>> getBodies() const { return bodies; }
};

} // namespace Tolvane::Physics
