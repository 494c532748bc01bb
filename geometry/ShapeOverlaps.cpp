// Spheres and boxes against hulls and triangle meshes.
#include "geometry/ShapeOverlaps.h"

#include "geometry/HullSeparation.h"
#include "geometry/TriangleHull.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <vector>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

namespace {

float squaredDistanceToSegment(const Vector3& point, const Vector3& from, const Vector3& to)
{
    const Vector3 along = to - from;
    const float lengthSquared = along.squaredLength();
    float share = lengthSquared > 0.0f ? dot(point - from, along) / lengthSquared : 0.0f;
    share = std::min(std::max(share, 0.0f), 1.0f);
    return (from + along * share - point).squaredLength();
}

/// The squared distance from point to the polygon of face, whose plane point
/// lies height in front of.
float squaredDistanceToFace(const ConvexHull& hull, const HullFace& face, const Vector3& point, float height)
{
    bool inside = true;
    float nearest = INFINITY;
    for (std::int32_t k = 0; k < face.loopSize; ++k) {
        const Vector3& from = hull.vertices[hull.loopVertices[face.firstLoop + k]];
        const Vector3& to = hull.vertices[hull.loopVertices[face.firstLoop + (k + 1) % face.loopSize]];
        if (dot(cross(to - from, point - from), face.normal) < 0.0f)
            inside = false;
        nearest = std::min(nearest, squaredDistanceToSegment(point, from, to));
    }
    return inside ? height * height : nearest;
}

/// The most plane tests the corner test of hullsMeet makes before the full
/// search: a box against a block takes 48 of them.
constexpr std::size_t cornerTestLimit = 256;

/// Whether point lies in the solid hull (its surface included). A flat hull
/// holds no point for this test: its two planes do not bound its polygon.
bool containsPoint(const ConvexHull& hull, const Vector3& point)
{
    if (hull.isFlat())
        return false;
    for (const HullFace& face : hull.faces)
        if (dot(face.normal, point) > face.offset)
            return false;
    return true;
}

/// Whether a holds a corner of b, for hulls of few corners and faces (a
/// box's, a block's), where trying them all costs less than the full search.
bool holdsCornerOf(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const HullPose& poseB)
{
    if (a.faces.size() * b.vertices.size() > cornerTestLimit)
        return false;
    const RelativePose bInA = relativePose(poseA, poseB);
    for (const Vector3& corner : b.vertices)
        if (containsPoint(a, bInA.rotation * corner + bInA.translation))
            return true;
    return false;
}

/// The unit cube's hull, built once: boxes of every size are this hull with
/// its corners and planes scaled, which keeps its faces, loops and edges.
const ConvexHull& unitCubeHull()
{
    static const ConvexHull cube = [] {
        std::vector<Vector3> corners;
        for (int k = 0; k < 8; ++k)
            corners.emplace_back(k & 1 ? 1.0f : -1.0f, k & 2 ? 1.0f : -1.0f, k & 4 ? 1.0f : -1.0f);
        return *buildConvexHull(corners);
    }();
    return cube;
}

/// Per-thread scratch of the mesh tests: the triangles near the shape, and
/// one triangle as a flat hull.
struct Scratch {
    std::vector<std::int32_t> triangles;
    ConvexHull triangle = emptyTriangleHull();
};
thread_local Scratch scratch;

} // namespace

// The point's nearest point on the solid is on a face whose plane the point
// is in front of (or on), so the nearest of those faces' polygons gives the
// distance; a point behind every plane is inside.
float squaredDistanceToHull(const ConvexHull& hull, const Vector3& point)
{
    float nearest = 0.0f;
    bool outside = false;
    for (const HullFace& face : hull.faces) {
        const float height = dot(face.normal, point) - face.offset;
        if (height < 0.0f)
            continue;
        const float distance = squaredDistanceToFace(hull, face, point, height);
        nearest = outside ? std::min(nearest, distance) : distance;
        outside = true;
    }
    return nearest;
}

// Ericson, Real-Time Collision Detection, 5.1.5: the region of the triangle's
// plane the point projects into (a corner, an edge or the inside) picks the
// nearest point.
float squaredDistanceToTriangle(const Vector3& point, const Vector3& a, const Vector3& b, const Vector3& c)
{
    const Vector3 ab = b - a;
    const Vector3 ac = c - a;
    const Vector3 ap = point - a;
    const float d1 = dot(ab, ap);
    const float d2 = dot(ac, ap);
    if (d1 <= 0.0f && d2 <= 0.0f)
        return ap.squaredLength();
    const Vector3 bp = point - b;
    const float d3 = dot(ab, bp);
    const float d4 = dot(ac, bp);
    if (d3 >= 0.0f && d4 <= d3)
        return bp.squaredLength();
    const float vc = d1 * d4 - d3 * d2;
    if (vc <= 0.0f && d1 >= 0.0f && d3 <= 0.0f)
        return squaredDistanceToSegment(point, a, b);
    const Vector3 cp = point - c;
    const float d5 = dot(ab, cp);
    const float d6 = dot(ac, cp);
    if (d6 >= 0.0f && d5 <= d6)
        return cp.squaredLength();
    const float vb = d5 * d2 - d1 * d6;
    if (vb <= 0.0f && d2 >= 0.0f && d6 <= 0.0f)
        return squaredDistanceToSegment(point, a, c);
    const float va = d3 * d6 - d5 * d4;
    if (va <= 0.0f && d4 - d3 >= 0.0f && d5 - d6 >= 0.0f)
        return squaredDistanceToSegment(point, b, c);
    const float denominator = 1.0f / (va + vb + vc);
    const Vector3 nearest = a + ab * (vb * denominator) + ac * (vc * denominator);
    return (nearest - point).squaredLength();
}

bool sphereMeetsMesh(const TriangleMesh& mesh, const Vector3& centre, float radius)
{
    if (mesh.tree.nodes.empty())
        return false;
    const Vector3 reach(radius, radius, radius);
    scratch.triangles.clear();
    mesh.tree.query({centre - reach, centre + reach}, scratch.triangles);
    for (const std::int32_t t : scratch.triangles) {
        const TriangleIndices& corners = mesh.triangles[t];
        if (squaredDistanceToTriangle(centre, mesh.vertices[corners[0]], mesh.vertices[corners[1]],
                                      mesh.vertices[corners[2]]) <= radius * radius)
            return true;
    }
    return false;
}

ConvexHull boxHull(const Vector3& halfExtents)
{
    ConvexHull box = unitCubeHull();
    for (Vector3& corner : box.vertices)
        corner = {corner.x * halfExtents.x, corner.y * halfExtents.y, corner.z * halfExtents.z};
    // The cube's normals lie along its axes, so scaling moves each plane out
    // to the scaled corners and leaves the normals as they are.
    for (HullFace& face : box.faces) {
        assert(std::fabs(face.normal.x) + std::fabs(face.normal.y) + std::fabs(face.normal.z) == 1.0f);
        face.offset = dot(face.normal, box.vertices[box.loopVertices[face.firstLoop]]);
    }
    box.sphereCentre = Vector3();
    box.sphereRadius = halfExtents.length();
    box.boxMin = -halfExtents;
    box.boxMax = halfExtents;
    // The unit cube's box description no longer fits the scaled corners.
    box.box = findHullBox(box);
    const Vector3 squared(halfExtents.x * halfExtents.x, halfExtents.y * halfExtents.y,
                          halfExtents.z * halfExtents.z);
    const float volume = 8.0f * halfExtents.x * halfExtents.y * halfExtents.z;
    box.mass.volume = volume;
    box.mass.centroid = Vector3();
    box.mass.inertia = Math::Matrix3::diagonal(volume * (squared.y + squared.z) / 3.0f,
                                               volume * (squared.x + squared.z) / 3.0f,
                                               volume * (squared.x + squared.y) / 3.0f);
    return box;
}

// Most pairs are settled without the full search: hulls whose bounding spheres
// are apart do not meet, and a solid holding a point of the other (the centre
// of its bounding sphere, inside any solid hull) does. The search must try
// every axis before it can say that two hulls meet.
bool hullsMeet(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const HullPose& poseB)
{
    const Vector3 centreA = poseA.position + poseA.rotation * a.sphereCentre;
    const Vector3 centreB = poseB.position + poseB.rotation * b.sphereCentre;
    const float reach = a.sphereRadius + b.sphereRadius;
    if ((centreA - centreB).squaredLength() > reach * reach)
        return false;
    if (containsPoint(a, transposeTimes(poseA.rotation, centreB - poseA.position)) ||
        containsPoint(b, transposeTimes(poseB.rotation, centreA - poseB.position)))
        return true;
    if (holdsCornerOf(a, poseA, b, poseB) || holdsCornerOf(b, poseB, a, poseA))
        return true;
    SeparatingAxisCache fresh;
    return findSeparatingAxis(a, poseA, b, poseB, 0.0f, fresh).separation <= 0.0f;
}

bool hullMeetsMesh(const ConvexHull& hull, const HullPose& pose, const TriangleMesh& mesh)
{
    if (mesh.tree.nodes.empty() || hull.vertices.empty())
        return false;
    WorldBox box{pose.position + pose.rotation * hull.vertices[0],
                 pose.position + pose.rotation * hull.vertices[0]};
    for (const Vector3& corner : hull.vertices) {
        const Vector3 p = pose.position + pose.rotation * corner;
        box.min = {std::min(box.min.x, p.x), std::min(box.min.y, p.y), std::min(box.min.z, p.z)};
        box.max = {std::max(box.max.x, p.x), std::max(box.max.y, p.y), std::max(box.max.z, p.z)};
    }
    scratch.triangles.clear();
    mesh.tree.query(box, scratch.triangles);
    const HullPose meshPose;
    for (const std::int32_t t : scratch.triangles) {
        fillTriangleHull(mesh, t, scratch.triangle);
        if (hullsMeet(hull, pose, scratch.triangle, meshPose))
            return true;
    }
    return false;
}

} // namespace Tolvane::Physics::Collision
