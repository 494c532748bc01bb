// Moving and static tests of one triangle against another on their eleven candidate axes.
#include "physics/designed/TrianglePairTests.h"

#include "physics/designed/CollisionConstants.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

namespace {

/// The candidate separating axes of two triangles: both face normals, then
/// every edge of A crossed with every edge of B.
constexpr int candidateAxisCount = 11;

/// Both triangles' corners measured from A's corner 0 (the origin of every
/// projection), their stored normals and their edges.
struct TrianglePair {
    Vector3 cornersA[3];
    Vector3 cornersB[3];
    Vector3 normalA;
    Vector3 normalB;
    Vector3 edgesA[3];
    Vector3 edgesB[3];

    TrianglePair(const TriangleRef& a, const TriangleRef& b) : normalA(a.face.normal), normalB(b.face.normal)
    {
        const Vector3& origin = a.corner(0);
        for (int k = 0; k < 3; ++k) {
            cornersA[k] = a.corner(k) - origin;
            cornersB[k] = b.corner(k) - origin;
        }
        edgesA[0] = a.corner(1) - a.corner(0);
        edgesA[1] = a.corner(2) - a.corner(0);
        edgesA[2] = a.corner(2) - a.corner(1);
        edgesB[0] = b.corner(1) - b.corner(0);
        edgesB[1] = b.corner(2) - b.corner(0);
        edgesB[2] = b.corner(2) - b.corner(1);
    }

    /// Axis n in the fixed order nA, nB, E0xF0, E0xF1, ..., E2xF2 (none normalized).
    Vector3 axis(int n) const
    {
        if (n == 0)
            return normalA;
        if (n == 1)
            return normalB;
        return cross(edgesA[(n - 2) / 3], edgesB[(n - 2) % 3]);
    }

    /// Both triangles' corner values on axis n (along). Corners that lie level
    /// on the axis by construction get one and the same value: all three of A
    /// on nA, all three of B on nB, and on a cross axis Ei x Fj the two ends of
    /// Ei and the two ends of Fj (the axis is perpendicular to both edges).
    /// Computed one by one, such corners differ by rounding as soon as a
    /// triangle is turned off the world axes, and a face lying flat on its own
    /// normal would be read as an edge or a corner, which changes the contact
    /// features.
    void cornerValues(int n, const Vector3& along, float a[3], float b[3]) const
    {
        if (n == 0) {
            levelValues(along, cornersA, a);
            freeValues(along, cornersB, b);
        } else if (n == 1) {
            freeValues(along, cornersA, a);
            levelValues(along, cornersB, b);
        } else {
            edgeLevelValues(along, cornersA, edgeCorners[(n - 2) / 3], a);
            edgeLevelValues(along, cornersB, edgeCorners[(n - 2) % 3], b);
        }
    }

    static void freeValues(const Vector3& along, const Vector3 corners[3], float values[3])
    {
        for (int k = 0; k < 3; ++k)
            values[k] = dot(along, corners[k]);
    }

    /// All three corners take corner 0's value.
    static void levelValues(const Vector3& along, const Vector3 corners[3], float values[3])
    {
        values[0] = dot(along, corners[0]);
        values[1] = values[0];
        values[2] = values[0];
    }

    /// The far end of the edge takes the value of its near end.
    static void edgeLevelValues(const Vector3& along, const Vector3 corners[3], const int (&edge)[2],
                                float values[3])
    {
        for (int k = 0; k < 3; ++k) {
            if (k != edge[1])
                values[k] = dot(along, corners[k]);
        }
        values[edge[1]] = values[edge[0]];
    }

    /// The corners at the two ends of edge 0 (corner 1 - corner 0), edge 1
    /// (corner 2 - corner 0) and edge 2 (corner 2 - corner 1).
    static constexpr int edgeCorners[3][2] = {{0, 1}, {0, 2}, {1, 2}};
};

/// The smallest of nB.(PAk - PB0) over A's corners: how far A's lowest corner
/// lies in front of B's plane (negative behind it), times |nB|.
float lowestCornerOfAOverB(const TriangleRef& a, const TriangleRef& b)
{
    const Vector3& normalB = b.face.normal;
    const Vector3& originB = b.corner(0);
    float lowest = dot(normalB, a.corner(0) - originB);
    for (int k = 1; k < 3; ++k)
        lowest = std::min(lowest, dot(normalB, a.corner(k) - originB));
    return lowest;
}

/// Of the two face normals, the one to push the triangles apart along: nA when
/// A's lowest corner lies deeper behind B's plane than B's lowest corner lies
/// behind A's plane (comparing true distances), otherwise nB.
Vector3 penetrationNormal(const Vector3& normalA, const Vector3& normalB, float lowestOfA, float lowestOfB)
{
    return lowestOfA / normalB.length() < lowestOfB / normalA.length() ? normalA : normalB;
}

bool facesParallel(const Vector3& normalA, const Vector3& normalB)
{
    return std::fabs(std::fabs(dot(normalA, normalB)) - normalA.length() * normalB.length()) <
           parallelFacesTolerance;
}

/// Corner numbers of p0, p1, p2 in ascending order, ties broken as the
/// projection's corner order requires.
void sortCorners(std::int32_t vertex[3], float p0, float p1, float p2)
{
    const auto order = [vertex](std::int32_t low, std::int32_t middle, std::int32_t high) {
        vertex[0] = low;
        vertex[1] = middle;
        vertex[2] = high;
    };
    if (p0 <= p1) {
        if (p1 <= p2)
            order(0, 1, 2);
        else if (p0 <= p2)
            order(0, 2, 1);
        else
            order(2, 0, 1);
    } else if (p2 <= p1) {
        order(2, 1, 0);
    } else if (p0 < p2) {
        order(1, 0, 2);
    } else {
        order(1, 2, 0);
    }
}

/// Only the two ends of a triangle's interval, by the same ordering as
/// projectTriangle: all that the overlap and first-time tests read. The corner
/// order and tie pattern are worked out only for the axis whose features the
/// contact keeps.
TriangleProjection intervalEnds(const float p[3])
{
    std::int32_t vertex[3];
    sortCorners(vertex, p[0], p[1], p[2]);
    TriangleProjection ends;
    ends.min = p[vertex[0]];
    ends.max = p[vertex[2]];
    return ends;
}

} // namespace

void projectTriangle(TriangleProjection& projection, float p0, float p1, float p2)
{
    sortCorners(projection.vertex, p0, p1, p2);
    const float p[3] = {p0, p1, p2};
    projection.min = p[projection.vertex[0]];
    projection.max = p[projection.vertex[2]];
    const float middle = p[projection.vertex[1]];
    if (projection.min == projection.max)
        projection.kind = Flat;
    else if (projection.min == middle)
        projection.kind = LowPair;
    else if (middle == projection.max)
        projection.kind = HighPair;
    else
        projection.kind = Distinct;
}

bool advanceFirstContact(const TriangleProjection& moving, const TriangleProjection& fixed, float& firstTime,
                         ContactSide& side, float speed)
{
    if (fixed.min > moving.max) {
        if (speed <= 0.0f)
            return false;
        const float time = (fixed.min - moving.max) / speed;
        if (time > firstTime) {
            firstTime = time;
            side = FirstAbove;
        }
        return true;
    }
    if (moving.min > fixed.max) {
        if (speed >= 0.0f)
            return false;
        const float time = (fixed.max - moving.min) / speed;
        if (time > firstTime) {
            firstTime = time;
            side = FirstBelow;
        }
        return true;
    }
    return true;
}

bool projectionsOverlap(const TriangleProjection& a, const TriangleProjection& b)
{
    return b.min <= a.max && a.min <= b.max;
}

// Swept separating-axis test of two triangles: on every candidate axis the
// time at which B's interval reaches A's is found, and the latest of these
// entry times is the time of first contact. The state keeps the projections
// of the axis that set that time, since they tell which features meet. When a
// corner lands on a face, several axes reach the same time (exactly, in real
// numbers); the earliest axis in the order keeps the features unless a later
// one is later by more than rounding, so the tie is not decided by the last
// bit of a division. Faces in parallel planes are left to the edges of the
// neighbouring faces: their own contact time is not computed.
bool findTriangleContactTime(const TriangleRef& a, const TriangleRef& b, const Vector3& u, float timeLimit,
                             TriangleContactState& state, Vector3& q)
{
    const TrianglePair pair(a, b);
    float firstTime = 0.0f;
    float decidingTime = 0.0f;
    ContactSide side = Overlapping;
    float lowestOfB = 0.0f;
    for (int n = 0; n < candidateAxisCount; ++n) {
        if (n == 2 && facesParallel(pair.normalA, pair.normalB)) {
            q = pair.normalA;
            return true;
        }
        const Vector3 axis = pair.axis(n);
        float valuesA[3];
        float valuesB[3];
        pair.cornerValues(n, axis, valuesA, valuesB);
        const TriangleProjection onA = intervalEnds(valuesA);
        const TriangleProjection onB = intervalEnds(valuesB);
        if (n == 0)
            lowestOfB = onB.min;

        if (!advanceFirstContact(onB, onA, firstTime, side, dot(axis, u)))
            return false;
        if (timeLimit < firstTime - simultaneousContactTime)
            return false;
        // A first positive time always takes over from "already overlapping":
        // the tie allowance only keeps features between two real contact times.
        const bool firstContactTime = decidingTime == 0.0f && firstTime > 0.0f;
        if (n == 0 || firstContactTime || firstTime > decidingTime + tiedAxisTime) {
            decidingTime = firstTime;
            projectTriangle(state.first, valuesA[0], valuesA[1], valuesA[2]);
            projectTriangle(state.second, valuesB[0], valuesB[1], valuesB[2]);
            state.side = side;
        }
    }
    state.time = firstTime;
    if (firstTime == 0.0f)
        q = penetrationNormal(pair.normalA, pair.normalB, lowestCornerOfAOverB(a, b), lowestOfB);
    return true;
}

bool trianglesOverlap(const TriangleRef& a, const TriangleRef& b, Vector3& q)
{
    const TrianglePair pair(a, b);
    float lowestOfB = 0.0f;
    for (int n = 0; n < candidateAxisCount; ++n) {
        float valuesA[3];
        float valuesB[3];
        pair.cornerValues(n, pair.axis(n), valuesA, valuesB);
        const TriangleProjection onA = intervalEnds(valuesA);
        const TriangleProjection onB = intervalEnds(valuesB);
        if (n == 0)
            lowestOfB = onB.min;
        if (!projectionsOverlap(onA, onB))
            return false;
    }
    q = penetrationNormal(pair.normalA, pair.normalB, lowestCornerOfAOverB(a, b), lowestOfB);
    return true;
}

} // namespace Tolvane::Physics::Collision
