// Exact convex hull of integer grid points, as a closed mesh of triangles.
#pragma once

#include <cstdint>
#include <vector>

namespace Tolvane::Physics::Collision {

/// A point snapped to the hull builder's integer grid; every coordinate lies
/// within ±2^hullGridBits (see HullTolerances.h).
struct GridPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
};

/// One triangle of a closed hull mesh: corners counter-clockwise seen from
/// outside (indices into the point list) and, for each side i (from corner i to
/// corner i + 1), the index of the triangle across it.
struct HullTriangle {
    std::int32_t corners[3]{0, 0, 0};
    std::int32_t neighbours[3]{0, 0, 0};
};

/// Six times the signed volume of the tetrahedron a, b, c, d, exactly: positive
/// when d lies above the plane of a, b, c (counter-clockwise seen from above).
std::int64_t orientation(const GridPoint& a, const GridPoint& b, const GridPoint& c, const GridPoint& d);

/// The convex hull of the points as triangles, grown point by point from the
/// tetrahedron start (four indices of points that are not coplanar). Every test
/// is exact, so the result is a closed convex mesh for any input; points on the
/// hull's surface that are not its corners are left out, and coplanar
/// neighbouring triangles are not merged. Takes at most one step per point.
/// Returns false (and no triangles) only if the start is flat or an internal
/// check fails.
bool triangulateHull(const std::vector<GridPoint>& points, const std::int32_t start[4],
                     std::vector<HullTriangle>& triangles);

} // namespace Tolvane::Physics::Collision
