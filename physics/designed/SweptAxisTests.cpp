// Swept separating-axis tests: box against box and triangle against box over one step.
#include "physics/designed/SweptAxisTests.h"

#include "physics/designed/CollisionConstants.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

namespace {

/// One axis of the triangle test. offsets are the corners relative to the box
/// centre; radius is the box's projected half width on the axis. The triangle
/// is separated when its interval lies beyond the same end of [-radius, radius]
/// both now and after the step's displacement.
bool triangleSeparatedOnAxis(const Vector3& axis, const Vector3 offsets[3], float radius,
                             const Vector3& relativeVelocity, float dt)
{
    const float p0 = dot(axis, offsets[0]);
    const float p1 = dot(axis, offsets[1]);
    const float p2 = dot(axis, offsets[2]);
    const float lowest = std::min(p0, std::min(p1, p2));
    const float highest = std::max(p0, std::max(p1, p2));
    const float displacement = dot(axis, relativeVelocity) * dt;
    return (lowest > radius && lowest + displacement > radius) ||
           (highest < -radius && highest + displacement < -radius);
}

} // namespace

// Interval A stands still and interval B moves with the given speed. When the
// two are apart, B must be approaching and must arrive within dt; once it
// arrives they meet, since B cannot leave A before it reaches it (A's far end
// lies no nearer than its near end). When they already overlap they are never
// separated.
bool sweptIntervalsSeparated(float dt, float speed, float minA, float maxA, float minB, float maxB)
{
    if (minA > maxB) {
        if (speed <= 0.0f)
            return true;
        return dt < (minA - maxB) / speed;
    }
    if (minB > maxA) {
        if (speed >= 0.0f)
            return true;
        return dt < (maxA - minB) / speed;
    }
    return false;
}

// Separating-axis test of two oriented boxes (Ericson, Real-Time Collision
// Detection, 4.4.1) with every axis tested on moving intervals: the three face
// axes of A, the three of B, then the nine cross products of their axes. The
// cross axes are not normalized; centre distance, speed and radii all scale
// with the same factor. When some pair of axes is parallel the cross axes
// degenerate and are skipped.
bool sweptBoxesOverlap(const Vector3& relativeVelocity, float dt, std::shared_ptr<OrientedBoundingBox> boxA,
                       std::shared_ptr<OrientedBoundingBox> boxB)
{
    const BoxFrame a = readBoxFrame(*boxA);
    return sweptBoxesOverlap(relativeVelocity, dt, a, readBoxFrame(*boxB));
}

bool sweptBoxesOverlap(const Vector3& relativeVelocity, float dt, const BoxFrame& a, const BoxFrame& b)
{
    const Vector3 centreDistance = b.centre - a.centre;

    float r[3][3];
    float absR[3][3];
    bool parallel = false;
    float t[3];
    float v[3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            r[i][j] = dot(a.axis[i], b.axis[j]);
            absR[i][j] = std::fabs(r[i][j]);
            if (absR[i][j] > parallelAxesCosine)
                parallel = true;
        }
        t[i] = dot(centreDistance, a.axis[i]);
        v[i] = dot(relativeVelocity, a.axis[i]);
    }

    for (int i = 0; i < 3; ++i) {
        const float radiusA = a.half[i];
        const float radiusB = b.half[0] * absR[i][0] + b.half[1] * absR[i][1] + b.half[2] * absR[i][2];
        if (sweptIntervalsSeparated(dt, v[i], -radiusA, radiusA, t[i] - radiusB, t[i] + radiusB))
            return false;
    }
    for (int j = 0; j < 3; ++j) {
        const float radiusA = a.half[0] * absR[0][j] + a.half[1] * absR[1][j] + a.half[2] * absR[2][j];
        const float radiusB = b.half[j];
        const float distance = dot(centreDistance, b.axis[j]);
        const float speed = dot(relativeVelocity, b.axis[j]);
        if (sweptIntervalsSeparated(dt, speed, -radiusA, radiusA, distance - radiusB, distance + radiusB))
            return false;
    }
    if (parallel)
        return true;

    for (int i = 0; i < 3; ++i) {
        const int i1 = (i + 1) % 3;
        const int i2 = (i + 2) % 3;
        for (int j = 0; j < 3; ++j) {
            const int j1 = (j + 1) % 3;
            const int j2 = (j + 2) % 3;
            const float distance = t[i2] * r[i1][j] - t[i1] * r[i2][j];
            const float speed = v[i2] * r[i1][j] - v[i1] * r[i2][j];
            const float radiusA = a.half[i1] * absR[i2][j] + a.half[i2] * absR[i1][j];
            const float radiusB = b.half[j1] * absR[i][j2] + b.half[j2] * absR[i][j1];
            if (sweptIntervalsSeparated(dt, speed, -radiusA, radiusA, distance - radiusB, distance + radiusB))
                return false;
        }
    }
    return true;
}

// Separating-axis test of a triangle against a box (Ericson, Real-Time
// Collision Detection, 5.2.9) on 13 axes: the face normal, the three box axes,
// and each box axis crossed with each triangle edge. Everything is measured
// from the box centre; the triangle's displacement over the step is added to
// its interval on each axis.
bool sweptTriangleOverlapsBox(const PolyhedronFace& face, const std::vector<Vector3>& vertices,
                              const Vector3& relativeVelocity, float dt,
                              std::shared_ptr<OrientedBoundingBox> box)
{
    return sweptTriangleOverlapsBox(face, vertices, relativeVelocity, dt, readBoxFrame(*box));
}

bool sweptTriangleOverlapsBox(const PolyhedronFace& face, const std::vector<Vector3>& vertices,
                              const Vector3& relativeVelocity, float dt, const BoxFrame& frame)
{
    const Vector3& v0 = vertices[face.vertexIndex[0]];
    const Vector3& v1 = vertices[face.vertexIndex[1]];
    const Vector3& v2 = vertices[face.vertexIndex[2]];
    const Vector3 offsets[3] = {v0 - frame.centre, v1 - frame.centre, v2 - frame.centre};

    const auto boxRadius = [&frame](const Vector3& axis) {
        return frame.half[0] * std::fabs(dot(frame.axis[0], axis)) +
               frame.half[1] * std::fabs(dot(frame.axis[1], axis)) +
               frame.half[2] * std::fabs(dot(frame.axis[2], axis));
    };

    if (triangleSeparatedOnAxis(face.normal, offsets, boxRadius(face.normal), relativeVelocity, dt))
        return false;
    for (int i = 0; i < 3; ++i)
        if (triangleSeparatedOnAxis(frame.axis[i], offsets, frame.half[i], relativeVelocity, dt))
            return false;

    const Vector3 edges[3] = {v1 - v0, v2 - v0, v2 - v1};
    for (int i = 0; i < 3; ++i) {
        for (const Vector3& edge : edges) {
            const Vector3 axis = cross(frame.axis[i], edge);
            if (triangleSeparatedOnAxis(axis, offsets, boxRadius(axis), relativeVelocity, dt))
                return false;
        }
    }
    return true;
}

} // namespace Tolvane::Physics::Collision
