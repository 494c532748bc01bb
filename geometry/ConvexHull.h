// Convex hulls of point sets: polygon faces, edges, bounds and mass properties.
#pragma once

#include "geometry/HullBox.h"
#include "geometry/MassProperties.h"
#include "math/Vector3.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace Tolvane::Physics::Collision {

/// One polygon face of a hull, in the hull's coordinates.
struct HullFace {
    /// Unit outward normal.
    Math::Vector3 normal;
    /// Plane offset: dot(normal, x) == offset on the face's plane.
    float offset = 0.0f;
    /// The face's corners, counter-clockwise seen from outside, are
    /// loopVertices[firstLoop] to loopVertices[firstLoop + loopSize - 1].
    std::int32_t firstLoop = 0;
    std::int32_t loopSize = 0;
};

/// One edge of a hull, shared by two faces.
struct HullEdge {
    /// The edge's ends, indices into the hull's vertices.
    std::int32_t vertices[2]{0, 0};
    /// faces[0]'s loop runs from vertices[0] to vertices[1], faces[1]'s loop the other way.
    std::int32_t faces[2]{0, 0};
    /// Unit direction from vertices[0] to vertices[1].
    Math::Vector3 direction;
};

/// A convex polyhedron in body (or part) coordinates. A flat hull has zero
/// thickness: two faces over the same polygon with opposite normals, every
/// edge shared by both.
struct ConvexHull {
    /// Corners, in the order of the input points they come from.
    std::vector<Math::Vector3> vertices;
    std::vector<HullFace> faces;
    /// The faces' corner loops, one after another.
    std::vector<std::int32_t> loopVertices;
    /// For each entry of loopVertices, the edge from that corner to the next one of its loop.
    std::vector<std::int32_t> loopEdges;
    /// Every edge once.
    std::vector<HullEdge> edges;
    /// A sphere around every vertex.
    Math::Vector3 sphereCentre;
    float sphereRadius = 0.0f;
    /// The box over the vertices.
    Math::Vector3 boxMin;
    Math::Vector3 boxMax;
    /// Volume, centroid and inertia about the centroid for unit density, in the
    /// hull's units; these overflow to infinity for hulls more than about 4e7 across.
    MassProperties mass;
    /// The box this hull is, when it is one (see findHullBox): the collision
    /// tests then work on the box's three axes. Code that moves the vertices
    /// of a built hull finds it again.
    std::optional<HullBox> box;

    bool isFlat() const { return faces.size() == 2; }
};

/// The convex hull of points. Coplanar neighbouring triangles are merged into
/// polygon faces: points within hullPlaneTolerance times the set's half-size
/// (its largest half-extent) of a plane count as on it, so a turned or
/// re-exported box still gets 6 quadrilaterals, and every point lies inside the
/// hull or at most a few such tolerances outside. A point set that thin is flat
/// and gives the two-faced flat hull. No hull (nullopt) for an empty, single
/// point or collinear set, or for points with a non-finite coordinate or one
/// beyond largestHullCoordinate. The decisions are exact integer tests on the
/// points snapped to a fine grid, so any input ends in a valid hull or none.
/// Each point is added at most once and nothing recurses: the time is bounded
/// by a polynomial in the number of points (65535 points on a sphere take a
/// few tenths of a second), memory grows linearly.
std::optional<ConvexHull> buildConvexHull(const std::vector<Math::Vector3>& points);

} // namespace Tolvane::Physics::Collision
