// The convex hulls of a model's parts and the body's mass properties per unit mass.
#pragma once

#include "geometry/ConvexHull.h"
#include "geometry/TriangleMesh.h"
#include "math/Matrix3.h"
#include "math/Vector3.h"

#include <cstdint>
#include <vector>

namespace Tolvane::Physics::Collision {

/// What a body's mass properties were taken from.
enum class MassSource : std::uint8_t { Hulls, Box, Sphere };

/// The hulls of one model tree in body coordinates, and the body's mass
/// properties for a total mass of one.
struct BodyHulls {
    /// One hull per part whose vertices span a plane or a volume, parts in tree
    /// order (a part before its kids, kids in order).
    std::vector<ConvexHull> hulls;
    /// Centre of mass, body coordinates.
    Math::Vector3 centreOfMass;
    /// Inertia per unit mass about the centre of mass, body axes (length
    /// squared): always finite and positive definite, every diagonal element
    /// within smallestInertiaPerMass..largestInertiaPerMass.
    Math::Matrix3 inertiaPerMass;
    /// The hulls' total volume (model units cubed; infinite for models beyond
    /// about 1e12 across, zero for flat ones).
    float volume = 0.0f;
    MassSource massSource = MassSource::Sphere;
    /// The inverse of inertiaPerMass: what the solver turns impulses with.
    Math::Matrix3 inverseInertiaPerMass;
    /// The box over every hull's vertices, body coordinates (both zero without hulls).
    Math::Vector3 boxMin;
    Math::Vector3 boxMax;
    /// The farthest any hull vertex lies from the centre of mass: how far a turn
    /// can move a point of the body.
    float radius = 0.0f;
    /// The parts (by their place in the parts handed in) whose triangles are
    /// not their own convex hull, and each one's triangle mesh in body
    /// coordinates: the solver collides them as their hulls all the same.
    std::vector<std::int32_t> concaveParts;
    std::vector<TriangleMesh> concaveMeshes;
    /// Each concave part's place among the hulls.
    std::vector<std::int32_t> concaveHulls;

    /// The triangle mesh of hull h's part when that part is concave, or null.
    const TriangleMesh* meshOfHull(std::size_t h) const
    {
        for (std::size_t k = 0; k < concaveHulls.size(); ++k)
            if (static_cast<std::size_t>(concaveHulls[k]) == h)
                return &concaveMeshes[k];
        return nullptr;
    }
};

/// One part of a model: its vertices, and the offset that places them in body
/// coordinates.
struct HullPart {
    const std::vector<Math::Vector3>* vertices = nullptr;
    Math::Vector3 offset;
    /// The part's triangles (indices into vertices), to tell a concave part
    /// from a convex one; none for a part known only by its points.
    std::vector<TriangleIndices> triangles;
};

/// One hull per part (parts without vertices give none, nor do parts whose
/// vertices span no plane), each part's vertices moved by its offset, and the
/// mass properties of the solid hulls at uniform density. When the hulls hold
/// (next to) no volume the mass is a solid box over all the parts' vertices;
/// when that box is degenerate too (a line or a point), a solid sphere of the
/// given radius about centre. The result is clamped to usable values in every
/// case. A part with triangles that are not its own convex hull (see
/// isConvexPart) is listed in concaveParts.
BodyHulls buildBodyHulls(const std::vector<HullPart>& parts, float radius, const Math::Vector3& centre);

} // namespace Tolvane::Physics::Collision
