// The response to one body's collisions of a step: impulses, overlap correction,
// rest, and integration in two parts around the earliest contact.
#pragma once

#include "physics/body/PhysicalObject.h"
#include "physics/designed/CollisionReport.h"

namespace Tolvane::Physics {

/// Below this squared speed (and squared change of angular velocity) a body that
/// reaches a contact during the step stops there instead of bouncing on.
constexpr float restSquaredSpeed = 0.01f;

/// Moves one movable body over timeStep with the collisions filed for it
/// resolved. The reports must be the body's own list, sorted by contact time;
/// each report receives the body's velocity changes, each solver computes its
/// impulse on first use and gives up half of a shared overlap.
/// Throws std::runtime_error "Invalid collision map" when a report's solver does
/// not name the body; the body is then not moved, though earlier reports may
/// already hold their changes and earlier solvers their impulses.
void respondToCollisions(PhysicalObject& body, ReportList& reports, float timeStep);

} // namespace Tolvane::Physics
