// Grouping of a hull's exact triangles into its polygon faces.
#pragma once

#include "geometry/HullTriangulation.h"
#include "math/Vector3.h"

#include <cstdint>
#include <vector>

namespace Tolvane::Physics::Collision {

/// The faces of a closed triangulated hull as counter-clockwise loops (seen from
/// outside) of point indices. Starting from the largest triangle not yet taken,
/// neighbouring triangles facing the same side whose corners all lie within
/// tolerance of its plane join its face; a face whose outline is not one simple
/// loop, convex within tolerance, stays as separate triangles. Corners that end
/// up shared by only two faces lie on the line where those faces meet and are
/// dropped from both (unless a face would keep fewer than three corners).
/// points are in the builder's unit-size frame; tolerance is in the same units.
std::vector<std::vector<std::int32_t>> mergeCoplanarTriangles(const std::vector<Math::Vector3>& points,
                                                              const std::vector<HullTriangle>& triangles,
                                                              float tolerance);

/// Newell's normal of a polygon loop: twice its area along the direction it
/// faces, also for loops that are not exactly planar.
Math::Vector3 newellNormal(const std::vector<Math::Vector3>& points, const std::int32_t* loop,
                           std::size_t size);

} // namespace Tolvane::Physics::Collision
