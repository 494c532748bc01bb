// Volume, centre of mass and inertia of solid hulls for unit density.
#pragma once

#include "math/Matrix3.h"
#include "math/Vector3.h"

namespace Tolvane::Physics::Collision {

struct ConvexHull;
struct PointScaling;

/// Mass properties of a solid of unit density.
struct MassProperties {
    /// Volume, which is also the mass at unit density.
    float volume = 0.0f;
    /// Centre of mass.
    Math::Vector3 centroid;
    /// Inertia tensor about the centroid (volume times length squared).
    Math::Matrix3 inertia = Math::Matrix3::zero();
};

/// (d . d) E - d d^T: added, times the mass, to an inertia about the centre of
/// mass it gives the inertia about a point d away (parallel axis theorem).
Math::Matrix3 parallelAxisShift(const Math::Vector3& d);

/// The hull's mass properties in the scaled coordinates of frame (lengths in
/// frame units), from tetrahedra joining the vertices' mean to each face's
/// fan of triangles. A flat hull has volume zero, the mean of its vertices as
/// centroid and a zero inertia.
MassProperties hullMassProperties(const ConvexHull& hull, const PointScaling& frame);

} // namespace Tolvane::Physics::Collision
