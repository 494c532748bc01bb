// Whether a sphere or a box meets a convex hull or a triangle mesh: the tests
// behind the overlap queries, in the shapes' own coordinates.
#pragma once

#include "geometry/ConvexHull.h"
#include "geometry/HullPose.h"
#include "geometry/TriangleMesh.h"
#include "math/Vector3.h"

namespace Tolvane::Physics::Collision {

/// The squared distance from point to the solid hull: 0 inside it or on its
/// surface; for a flat hull, the distance to its polygon.
float squaredDistanceToHull(const ConvexHull& hull, const Math::Vector3& point);

/// The squared distance from point to the triangle a, b, c (corners and edges included).
float squaredDistanceToTriangle(const Math::Vector3& point, const Math::Vector3& a, const Math::Vector3& b,
                                const Math::Vector3& c);

/// Whether the sphere (centre in the mesh's coordinates) meets some triangle
/// of mesh; touching counts. The mesh is a surface: a sphere inside a closed
/// mesh that touches none of its triangles does not meet it.
bool sphereMeetsMesh(const TriangleMesh& mesh, const Math::Vector3& centre, float radius);

/// A box about the origin along its own axes, of the given half extents (each
/// finite and at least 0; a zero one gives a flat or thinner box, still with
/// six faces), as a hull.
ConvexHull boxHull(const Math::Vector3& halfExtents);

/// Whether hulls a and b at their poses meet (touching counts), by the
/// separating-axis test with no margin.
bool hullsMeet(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const HullPose& poseB);

/// Whether hull, at pose in mesh's coordinates, meets some triangle of mesh;
/// as for the sphere, a hull wholly inside a closed mesh does not. Never
/// allocates once warm (its scratch is per thread).
bool hullMeetsMesh(const ConvexHull& hull, const HullPose& pose, const TriangleMesh& mesh);

} // namespace Tolvane::Physics::Collision
