// One triangle of a mesh as a flat convex hull, so that the hull tests
// (separating axes, manifolds) can take it as they take any hull.
#pragma once

#include "geometry/ConvexHull.h"
#include "geometry/TriangleMesh.h"

#include <cstdint>

namespace Tolvane::Physics::Collision {

/// A flat hull of three corners with its loops and edges laid out, ready for
/// fillTriangleHull: face 0 runs 0, 1, 2 about the front normal, face 1 the
/// other way.
ConvexHull emptyTriangleHull();

/// Triangle t of mesh as a flat hull: face 0 its front, face 1 its back, edge
/// k from corner k to corner k + 1 as in the mesh. hull must come from
/// emptyTriangleHull; it is overwritten without allocating.
void fillTriangleHull(const TriangleMesh& mesh, std::int32_t t, ConvexHull& hull);

} // namespace Tolvane::Physics::Collision
