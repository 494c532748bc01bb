// The designed response's record of a step's collisions: each body's share of
// each collision it takes part in, filed under the body in contact-time order.
#pragma once

#include "math/Vector3.h"
#include "physics/body/PhysicalObject.h"
#include "physics/designed/PhysicalObjectCollisionSolver.h"

#include <list>
#include <map>
#include <memory>

namespace Tolvane::Physics {

/// One body's share of one collision.
struct CollisionReport {
    std::shared_ptr<PhysicalObjectCollisionSolver> solver;
    Math::Vector3 velocityChange;
    Math::Vector3 angularVelocityChange;
};

using ReportList = std::list<std::shared_ptr<CollisionReport>>;
/// The collisions of the current step per body, keyed by body identity; each
/// list is sorted by contact time, equal times in filing order.
using CollisionMap =
    std::map<std::shared_ptr<PhysicalObject>, ReportList, std::owner_less<std::shared_ptr<PhysicalObject>>>;

/// Files the solver under the body, after every report with a contact time not greater than its own.
void fileCollisionReport(CollisionMap& map, std::shared_ptr<PhysicalObject> body,
                         std::shared_ptr<PhysicalObjectCollisionSolver> solver);

} // namespace Tolvane::Physics
