// Coplanar triangle groups, their outlines, and the corners they make redundant.
#include "geometry/HullFaceMerge.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace Tolvane::Physics::Collision {

namespace {

using Math::Vector3;

// Builds the outline loop of one group of triangles into loop. Fails when a
// corner starts two outline sides (two parts touching at a corner) or the
// sides form more than one loop (a ring), or the outline bends inwards by more
// than tolerance anywhere.
class OutlineTracer {
  public:
    OutlineTracer(const std::vector<Vector3>& points, const std::vector<HullTriangle>& triangles,
                  const std::vector<std::int32_t>& group, float tolerance)
        : points_(points), triangles_(triangles), group_(group), tolerance_(tolerance),
          sideStamp_(points.size(), -1), sideEnd_(points.size(), 0)
    {
    }

    bool trace(std::int32_t groupIndex, const std::vector<std::int32_t>& members,
               std::vector<std::int32_t>& loop)
    {
        loop.clear();
        std::size_t sides = 0;
        std::int32_t start = -1;
        for (std::int32_t t : members) {
            for (int side = 0; side < 3; ++side) {
                if (group_[triangles_[t].neighbours[side]] == groupIndex)
                    continue;
                const std::int32_t from = triangles_[t].corners[side];
                if (sideStamp_[from] == groupIndex)
                    return false;
                sideStamp_[from] = groupIndex;
                sideEnd_[from] = triangles_[t].corners[(side + 1) % 3];
                if (start < 0)
                    start = from;
                ++sides;
            }
        }
        if (start < 0)
            return false;
        std::int32_t corner = start;
        do {
            if (loop.size() >= sides || sideStamp_[corner] != groupIndex)
                return false;
            loop.push_back(corner);
            corner = sideEnd_[corner];
        } while (corner != start);
        return loop.size() == sides && convex(loop);
    }

  private:
    bool convex(const std::vector<std::int32_t>& loop) const
    {
        Vector3 normal = newellNormal(points_, loop.data(), loop.size());
        const float length = normal.length();
        if (!(length > 0.0f))
            return false;
        normal = normal / length;
        const std::size_t size = loop.size();
        for (std::size_t i = 0; i < size; ++i) {
            const Vector3& previous = points_[loop[(i + size - 1) % size]];
            const Vector3& corner = points_[loop[i]];
            const Vector3& next = points_[loop[(i + 1) % size]];
            const float chord = (next - previous).length();
            if (!(chord > 0.0f))
                return false;
            // How far the corner stands out beyond the chord of its neighbours;
            // negative when the outline bends inwards there.
            const float outwards = dot(cross(corner - previous, next - corner), normal) / chord;
            if (outwards < -tolerance_)
                return false;
        }
        return true;
    }

    const std::vector<Vector3>& points_;
    const std::vector<HullTriangle>& triangles_;
    const std::vector<std::int32_t>& group_;
    float tolerance_;
    std::vector<std::int32_t> sideStamp_;
    std::vector<std::int32_t> sideEnd_;
};

// Drops every corner that lies on exactly two faces, as long as both keep at
// least three corners; corners are visited in index order so the result does
// not depend on anything but the input.
void dropCornersOnTwoFaces(std::size_t pointCount, std::vector<std::vector<std::int32_t>>& faces)
{
    std::vector<std::int32_t> faceCount(pointCount, 0);
    std::vector<std::int32_t> firstFace(pointCount, -1);
    std::vector<std::int32_t> secondFace(pointCount, -1);
    std::vector<std::size_t> sizes(faces.size());
    for (std::size_t f = 0; f < faces.size(); ++f) {
        sizes[f] = faces[f].size();
        for (std::int32_t corner : faces[f]) {
            ++faceCount[corner];
            if (firstFace[corner] < 0)
                firstFace[corner] = static_cast<std::int32_t>(f);
            else if (secondFace[corner] < 0)
                secondFace[corner] = static_cast<std::int32_t>(f);
        }
    }
    std::vector<std::uint8_t> dropped(pointCount, 0);
    bool any = false;
    for (std::size_t corner = 0; corner < pointCount; ++corner) {
        if (faceCount[corner] != 2)
            continue;
        std::size_t& a = sizes[firstFace[corner]];
        std::size_t& b = sizes[secondFace[corner]];
        if (a > 3 && b > 3) {
            --a;
            --b;
            dropped[corner] = 1;
            any = true;
        }
    }
    if (!any)
        return;
    for (std::vector<std::int32_t>& loop : faces)
        loop.erase(std::remove_if(loop.begin(), loop.end(), [&](std::int32_t c) { return dropped[c] != 0; }),
                   loop.end());
}

} // namespace

Math::Vector3 newellNormal(const std::vector<Math::Vector3>& points, const std::int32_t* loop,
                           std::size_t size)
{
    Vector3 normal;
    for (std::size_t i = 0; i < size; ++i) {
        const Vector3& p = points[loop[i]];
        const Vector3& q = points[loop[(i + 1) % size]];
        normal.x += (p.y - q.y) * (p.z + q.z);
        normal.y += (p.z - q.z) * (p.x + q.x);
        normal.z += (p.x - q.x) * (p.y + q.y);
    }
    return normal;
}

std::vector<std::vector<std::int32_t>> mergeCoplanarTriangles(const std::vector<Vector3>& points,
                                                              const std::vector<HullTriangle>& triangles,
                                                              float tolerance)
{
    const std::size_t count = triangles.size();
    std::vector<Vector3> normals(count);
    std::vector<float> areas(count);
    // A triangle narrower than the tolerance has no reliable facing; whether it
    // joins a face is decided by its corners alone.
    std::vector<std::uint8_t> thin(count);
    for (std::size_t t = 0; t < count; ++t) {
        const Vector3& a = points[triangles[t].corners[0]];
        const Vector3& b = points[triangles[t].corners[1]];
        const Vector3& c = points[triangles[t].corners[2]];
        normals[t] = cross(b - a, c - a);
        areas[t] = normals[t].length();
        const float longest = std::sqrt(
            std::max((b - a).squaredLength(), std::max((c - b).squaredLength(), (a - c).squaredLength())));
        thin[t] = !(areas[t] > tolerance * longest);
    }
    // The largest triangles have the most accurate planes, so they seed first.
    std::vector<std::int32_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        return areas[a] != areas[b] ? areas[a] > areas[b] : a < b;
    });

    std::vector<std::int32_t> group(count, -1);
    std::vector<std::vector<std::int32_t>> members;
    for (std::int32_t seed : order) {
        if (group[seed] >= 0)
            continue;
        const std::int32_t index = static_cast<std::int32_t>(members.size());
        members.emplace_back(1, seed);
        group[seed] = index;
        if (!(areas[seed] > 0.0f))
            continue;
        const Vector3 normal = normals[seed] / areas[seed];
        const HullTriangle& s = triangles[seed];
        const float offset = (dot(normal, points[s.corners[0]]) + dot(normal, points[s.corners[1]]) +
                              dot(normal, points[s.corners[2]])) /
                             3.0f;
        std::vector<std::int32_t>& grown = members.back();
        for (std::size_t k = 0; k < grown.size(); ++k) {
            const HullTriangle& t = triangles[grown[k]];
            for (std::int32_t candidate : t.neighbours) {
                if (group[candidate] >= 0 || !(thin[candidate] || dot(normals[candidate], normal) > 0.0f))
                    continue;
                bool onPlane = true;
                for (std::int32_t corner : triangles[candidate].corners)
                    onPlane = onPlane && std::fabs(dot(normal, points[corner]) - offset) <= tolerance;
                if (onPlane) {
                    group[candidate] = index;
                    grown.push_back(candidate);
                }
            }
        }
    }

    std::vector<std::vector<std::int32_t>> faces;
    OutlineTracer tracer(points, triangles, group, tolerance);
    std::vector<std::int32_t> loop;
    for (std::size_t g = 0; g < members.size(); ++g) {
        if (members[g].size() > 1 && tracer.trace(static_cast<std::int32_t>(g), members[g], loop)) {
            faces.push_back(loop);
            continue;
        }
        for (std::int32_t t : members[g])
            faces.emplace_back(std::begin(triangles[t].corners), std::end(triangles[t].corners));
    }
    dropCornersOnTwoFaces(points.size(), faces);
    return faces;
}

} // namespace Tolvane::Physics::Collision
