// Rays against boxes, convex hulls and triangle meshes.
#include "geometry/RayCasts.h"

#include <algorithm>
#include <limits>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

namespace {

float component(const Vector3& v, int axis)
{
    return axis == 0 ? v.x : axis == 1 ? v.y : v.z;
}

/// Whether point lies on the inner side of every edge of face's polygon (its
/// edges count as inside), the polygon's corners turning counter-clockwise
/// about the face's normal.
bool insideFacePolygon(const ConvexHull& hull, const HullFace& face, const Vector3& point)
{
    for (std::int32_t k = 0; k < face.loopSize; ++k) {
        const Vector3& from = hull.vertices[hull.loopVertices[face.firstLoop + k]];
        const Vector3& to = hull.vertices[hull.loopVertices[face.firstLoop + (k + 1) % face.loopSize]];
        if (dot(cross(to - from, point - from), face.normal) < 0.0f)
            return false;
    }
    return true;
}

/// A flat hull has no side faces to clip the ray by: the ray crosses its plane
/// once, and meets the hull when that crossing lies in the polygon.
std::optional<ShapeRayHit> castRayAtFlatHull(const ConvexHull& hull, const RayLine& ray, float limit)
{
    const HullFace& front = hull.faces[0];
    const float approach = dot(front.normal, ray.direction);
    if (approach == 0.0f)
        return std::nullopt;
    const float distance = (front.offset - dot(front.normal, ray.origin)) / approach;
    if (!(distance >= 0.0f && distance <= limit))
        return std::nullopt;
    if (!insideFacePolygon(hull, front, ray.origin + ray.direction * distance))
        return std::nullopt;
    return ShapeRayHit{distance, approach < 0.0f ? front.normal : -front.normal};
}

} // namespace

std::optional<float> castRayAtBox(const RayLine& ray, const WorldBox& box, float limit)
{
    float enter = 0.0f;
    float exit = limit;
    for (int axis = 0; axis < 3; ++axis) {
        const float origin = component(ray.origin, axis);
        const float direction = component(ray.direction, axis);
        const float low = component(box.min, axis);
        const float high = component(box.max, axis);
        if (direction == 0.0f) {
            if (origin < low || origin > high)
                return std::nullopt;
            continue;
        }
        const float inverse = 1.0f / direction;
        float near = (low - origin) * inverse;
        float far = (high - origin) * inverse;
        if (near > far)
            std::swap(near, far);
        enter = std::max(enter, near);
        exit = std::min(exit, far);
        if (enter > exit)
            return std::nullopt;
    }
    return enter;
}

// The ray is clipped to the part of it behind every face plane: a plane the
// ray runs toward raises the start of that part, one it runs away from lowers
// its end. The hull is met where the part starts, on the face that raised it
// last; a part starting before the origin means the origin is inside.
std::optional<ShapeRayHit> castRayAtHull(const ConvexHull& hull, const RayLine& ray, float limit)
{
    if (hull.isFlat())
        return castRayAtFlatHull(hull, ray, limit);
    float enter = -std::numeric_limits<float>::infinity();
    float exit = limit;
    std::int32_t enterFace = -1;
    for (std::size_t f = 0; f < hull.faces.size(); ++f) {
        const HullFace& face = hull.faces[f];
        const float approach = dot(face.normal, ray.direction);
        // Positive behind the plane, on the hull's side.
        const float depth = face.offset - dot(face.normal, ray.origin);
        if (approach == 0.0f) {
            if (depth < 0.0f)
                return std::nullopt;
            continue;
        }
        const float crossing = depth / approach;
        if (approach < 0.0f) {
            if (crossing > enter) {
                enter = crossing;
                enterFace = static_cast<std::int32_t>(f);
            }
        } else {
            exit = std::min(exit, crossing);
        }
        if (enter > exit)
            return std::nullopt;
    }
    if (exit < 0.0f)
        return std::nullopt;
    if (enter > 0.0f || (enter == 0.0f && enterFace >= 0))
        return ShapeRayHit{enter, hull.faces[enterFace].normal};
    return ShapeRayHit{0.0f, -ray.direction, true};
}

// Each triangle by Moller and Trumbore's test, "Fast, Minimum Storage
// Ray/Triangle Intersection" (1997), from both sides.
std::optional<ShapeRayHit> castRayAtMesh(const TriangleMesh& mesh, const RayLine& ray, float limit)
{
    std::optional<ShapeRayHit> nearest;
    walkTreeAlongRay(mesh.tree, ray, limit, [&](std::int32_t t, float& reach) {
        const TriangleIndices& corners = mesh.triangles[t];
        const Vector3& a = mesh.vertices[corners[0]];
        const Vector3 ab = mesh.vertices[corners[1]] - a;
        const Vector3 ac = mesh.vertices[corners[2]] - a;
        const Vector3 p = cross(ray.direction, ac);
        const float determinant = dot(ab, p);
        if (determinant == 0.0f)
            return;
        const float inverse = 1.0f / determinant;
        const Vector3 s = ray.origin - a;
        const float u = dot(s, p) * inverse;
        if (!(u >= 0.0f && u <= 1.0f))
            return;
        const Vector3 q = cross(s, ab);
        const float v = dot(ray.direction, q) * inverse;
        if (!(v >= 0.0f && u + v <= 1.0f))
            return;
        const float distance = dot(ac, q) * inverse;
        if (!(distance >= 0.0f && distance <= reach))
            return;
        if (nearest && distance >= nearest->distance)
            return;
        const Vector3 normal = mesh.normals[t];
        nearest = ShapeRayHit{distance, dot(normal, ray.direction) > 0.0f ? -normal : normal};
        reach = distance;
    });
    return nearest;
}

} // namespace Tolvane::Physics::Collision
