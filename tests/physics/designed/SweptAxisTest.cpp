// Swept interval, box-box and triangle-box tests against hand-worked cases.
#include "physics/designed/SweptAxisTests.h"

#include "math/Quaternion.h"
#include "math/Transform.h"

#include "AllocationCounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace Tolvane::Physics;
using namespace Tolvane::Physics::Collision;
using Tolvane::Math::Quaternion;
using Tolvane::Math::Transform;
using Tolvane::Math::Vector3;

namespace {

constexpr float stepLength = 0.025f;
const float halfSqrt2 = std::sqrt(0.5f);

std::shared_ptr<OrientedBoundingBox> makeBox(const Vector3& centre, const Vector3& halfExtents,
                                             const Quaternion& orientation = {})
{
    auto box = std::make_shared<OrientedBoundingBox>(centre + halfExtents, centre - halfExtents);
    box->transform.orientation = orientation;
    box->transform.dirty = true;
    return box;
}

Quaternion turn(const Vector3& axis, float angle)
{
    return Tolvane::Math::fromAxisAngle(axis, angle);
}

PolyhedronFace faceOf(const std::vector<Vector3>& v)
{
    PolyhedronFace face;
    face.vertexIndex = {0, 1, 2};
    face.normal = cross(v[1] - v[0], v[2] - v[0]);
    return face;
}

struct IntervalCase {
    const char* name;
    float speed, minA, maxA, minB, maxB;
    bool separated;
};

} // namespace

TEST(SweptIntervals, FollowTheApproachAndDepartureRules)
{
    const IntervalCase cases[] = {
        {"overlapping at rest", 0.0f, -1.0f, 1.0f, 0.5f, 2.0f, false},
        {"overlapping moving up", 5.0f, -1.0f, 1.0f, 0.5f, 2.0f, false},
        {"overlapping moving down", -5.0f, -1.0f, 1.0f, 0.5f, 2.0f, false},
        {"touching ends count as overlap", 0.0f, -1.0f, 1.0f, 1.0f, 2.0f, false},
        {"apart at rest, B below", 0.0f, -1.0f, 1.0f, -3.0f, -2.0f, true},
        {"apart at rest, B above", 0.0f, -1.0f, 1.0f, 2.0f, 3.0f, true},
        {"B below moving away", -100.0f, -1.0f, 1.0f, -1.5f, -1.25f, true},
        {"B above moving away", 100.0f, -1.0f, 1.0f, 1.25f, 1.5f, true},
        // Gap 1 at 50 units/s reaches A after 0.02 s, inside the step.
        {"B below arriving within the step", 50.0f, -1.0f, 1.0f, -3.0f, -2.0f, false},
        {"B above arriving within the step", -50.0f, -1.0f, 1.0f, 2.0f, 3.0f, false},
        // Gap 1 at 40 units/s arrives exactly at the end of the step: still a touch.
        {"B below arriving exactly at the end", 40.0f, -1.0f, 1.0f, -3.0f, -2.0f, false},
        // Gap 1 at 30 units/s needs 0.033 s, after the step.
        {"B below arriving after the step", 30.0f, -1.0f, 1.0f, -3.0f, -2.0f, true},
        {"B above arriving after the step", -30.0f, -1.0f, 1.0f, 2.0f, 3.0f, true},
    };
    for (const IntervalCase& c : cases)
        EXPECT_EQ(sweptIntervalsSeparated(stepLength, c.speed, c.minA, c.maxA, c.minB, c.maxB), c.separated)
            << c.name;
}

TEST(SweptBoxes, AxisAlignedBoxesOverlapOnlyWhenTheGapCloses)
{
    const Vector3 unit(1.0f, 1.0f, 1.0f);
    auto floorBox = makeBox({0.0f, -1.0f, 0.0f}, {30.0f, 1.0f, 30.0f});
    const Vector3 still;

    EXPECT_TRUE(sweptBoxesOverlap(still, stepLength, floorBox, makeBox({0.0f, 0.9f, 0.0f}, unit)));
    EXPECT_TRUE(sweptBoxesOverlap(still, stepLength, floorBox, makeBox({29.5f, 0.5f, -29.5f}, unit)));
    EXPECT_FALSE(sweptBoxesOverlap(still, stepLength, floorBox, makeBox({0.0f, 1.5f, 0.0f}, unit)));
    EXPECT_FALSE(sweptBoxesOverlap(still, stepLength, floorBox, makeBox({31.5f, 0.5f, 0.0f}, unit)));

    // A cube 0.5 above the floor: falling at 30 units/s it arrives in 0.0167 s,
    // at 10 units/s only after 0.05 s; rising it never arrives.
    auto above = makeBox({0.0f, 1.5f, 0.0f}, unit);
    EXPECT_TRUE(sweptBoxesOverlap({0.0f, -30.0f, 0.0f}, stepLength, floorBox, above));
    EXPECT_FALSE(sweptBoxesOverlap({0.0f, -10.0f, 0.0f}, stepLength, floorBox, above));
    EXPECT_FALSE(sweptBoxesOverlap({0.0f, 30.0f, 0.0f}, stepLength, floorBox, above));
    // Sliding sideways fast does not bring it down.
    EXPECT_FALSE(sweptBoxesOverlap({400.0f, 0.0f, 0.0f}, stepLength, floorBox, above));
}

TEST(SweptBoxes, TurnedBoxUsesItsOwnAxes)
{
    // A cube turned 45 degrees about z reaches sqrt(2) below its centre.
    const Vector3 unit(1.0f, 1.0f, 1.0f);
    auto lower = makeBox({0.0f, 0.0f, 0.0f}, unit);
    const float height = 1.0f + std::sqrt(2.0f) + 0.5f;
    auto turned = makeBox({0.0f, height, 0.0f}, unit, turn({0.0f, 0.0f, 1.0f}, 0.7853982f));

    EXPECT_FALSE(sweptBoxesOverlap({}, stepLength, lower, turned));
    EXPECT_TRUE(sweptBoxesOverlap({0.0f, -30.0f, 0.0f}, stepLength, lower, turned));
    EXPECT_FALSE(sweptBoxesOverlap({0.0f, -10.0f, 0.0f}, stepLength, lower, turned));
    // Not turned, the same cube at the same height would already overlap.
    EXPECT_TRUE(sweptBoxesOverlap({}, stepLength, lower, makeBox({0.0f, 1.9f, 0.0f}, unit)));
}

TEST(SweptBoxes, EdgeToEdgeGapIsFoundOnlyOnACrossAxis)
{
    // A turned 45 degrees about z shows an edge along z at x = sqrt(2); B turned
    // 45 degrees about y shows an edge along y at x = centre - sqrt(2). With the
    // centres 2 sqrt(2) + 0.1 apart every face axis overlaps and only the cross
    // product of the two edges (world x) shows the 0.1 gap.
    const Vector3 unit(1.0f, 1.0f, 1.0f);
    auto a = makeBox({0.0f, 0.0f, 0.0f}, unit, turn({0.0f, 0.0f, 1.0f}, 0.7853982f));
    auto b = makeBox({2.0f * std::sqrt(2.0f) + 0.1f, 0.0f, 0.0f}, unit, turn({0.0f, 1.0f, 0.0f}, 0.7853982f));

    EXPECT_FALSE(sweptBoxesOverlap({}, stepLength, a, b));
    EXPECT_TRUE(sweptBoxesOverlap({-8.0f, 0.0f, 0.0f}, stepLength, a, b));
    EXPECT_FALSE(sweptBoxesOverlap({-2.0f, 0.0f, 0.0f}, stepLength, a, b));
    EXPECT_FALSE(sweptBoxesOverlap({2.0f, 0.0f, 0.0f}, stepLength, a, b));
}

TEST(SweptTriangleBox, PlaneThroughTheBoxAndStraddlingTrianglesAreNeverSeparated)
{
    auto box = makeBox({0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f});
    // Far off to the side, but its plane passes through the box: only other axes may separate it.
    const std::vector<Vector3> farInPlane = {{10.0f, 0.0f, 10.0f}, {12.0f, 0.0f, 10.0f}, {10.0f, 0.0f, 8.0f}};
    EXPECT_FALSE(sweptTriangleOverlapsBox(faceOf(farInPlane), farInPlane, {}, stepLength, box));
    // Straddles the box in y, crosses it in x and z: overlaps.
    const std::vector<Vector3> straddling = {{-3.0f, -2.0f, 0.0f}, {3.0f, -2.0f, 0.0f}, {0.0f, 3.0f, 0.0f}};
    EXPECT_TRUE(sweptTriangleOverlapsBox(faceOf(straddling), straddling, {}, stepLength, box));
    EXPECT_TRUE(
        sweptTriangleOverlapsBox(faceOf(straddling), straddling, {500.0f, 0.0f, 0.0f}, stepLength, box));
}

TEST(SweptTriangleBox, TriangleOneUnitAboveArrivesOnlyWhenFastEnough)
{
    // Lowest vertex 1 above the box top. 50 units/s covers 1.25 in the step, 30 only 0.75.
    auto box = makeBox({0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f});
    // Its plane passes through the box, so only the y axis can separate it.
    const std::vector<Vector3> tilted = {{0.0f, 2.0f, 0.0f}, {1.0f, 3.0f, 0.0f}, {-1.0f, 3.0f, -1.0f}};
    const PolyhedronFace face = faceOf(tilted);
    EXPECT_FALSE(sweptTriangleOverlapsBox(face, tilted, {}, stepLength, box));
    EXPECT_TRUE(sweptTriangleOverlapsBox(face, tilted, {0.0f, -50.0f, 0.0f}, stepLength, box));
    EXPECT_FALSE(sweptTriangleOverlapsBox(face, tilted, {0.0f, -30.0f, 0.0f}, stepLength, box));
    EXPECT_FALSE(sweptTriangleOverlapsBox(face, tilted, {0.0f, 50.0f, 0.0f}, stepLength, box));
}

namespace {

// A triangle beside the box's z edge at (1, 1): its edge V1-V2 runs along
// x + y = 2.2 and V0 leans back over the box. The face normal and every box
// axis overlap; only the box's z axis crossed with that last edge shows the
// gap of 0.2 / sqrt(2) along (1, 1, 0).
const std::vector<Vector3> besideEdge = {{2.1f, 2.1f, 5.0f}, {4.1f, -1.9f, 0.0f}, {-1.9f, 4.1f, 0.0f}};

struct Pose {
    Vector3 position;
    Quaternion orientation;
};

Vector3 place(const Pose& pose, const Vector3& v)
{
    Transform t(pose.position, pose.orientation);
    return t.rotate(v) + pose.position;
}

Vector3 turnOnly(const Pose& pose, const Vector3& v)
{
    Transform t(pose.position, pose.orientation);
    return t.rotate(v);
}

} // namespace

TEST(SweptTriangleBox, EdgeCrossAxisSeparatesInAnyPose)
{
    // The same scene moved and turned as a whole must give the same answers.
    const Pose poses[] = {
        {{0.0f, 0.0f, 0.0f}, {}},
        {{5.0f, -7.0f, 2.0f}, {}},
        {{0.0f, 0.0f, 0.0f}, turn({0.0f, 1.0f, 0.0f}, 0.5f)},
        {{-3.0f, 4.0f, 1.0f}, turn(Tolvane::Math::normalized({1.0f, 2.0f, 3.0f}), 2.0f)},
    };
    struct Motion {
        Vector3 velocity;
        bool overlaps;
    };
    // Towards the box along (-1, -1, 0) 6 units/s closes the 0.14 gap within the
    // step (0.15), 3 units/s does not (0.075); moving away or along z never does.
    const Motion motions[] = {
        {{0.0f, 0.0f, 0.0f}, false},
        {{-6.0f * halfSqrt2, -6.0f * halfSqrt2, 0.0f}, true},
        {{-3.0f * halfSqrt2, -3.0f * halfSqrt2, 0.0f}, false},
        {{6.0f * halfSqrt2, 6.0f * halfSqrt2, 0.0f}, false},
        {{0.0f, 0.0f, -200.0f}, false},
    };
    for (const Pose& pose : poses) {
        auto box = makeBox(pose.position, {1.0f, 1.0f, 1.0f}, pose.orientation);
        std::vector<Vector3> vertices;
        for (const Vector3& v : besideEdge)
            vertices.push_back(place(pose, v));
        const PolyhedronFace face = faceOf(vertices);
        for (const Motion& m : motions)
            EXPECT_EQ(sweptTriangleOverlapsBox(face, vertices, turnOnly(pose, m.velocity), stepLength, box),
                      m.overlaps)
                << "pose at (" << pose.position.x << ", " << pose.position.y << ", " << pose.position.z
                << ") velocity (" << m.velocity.x << ", " << m.velocity.y << ", " << m.velocity.z << ")";
    }
}

TEST(SweptTests, NeverAllocate)
{
    auto a = makeBox({0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f}, turn({0.0f, 0.0f, 1.0f}, 0.3f));
    auto b = makeBox({1.5f, 0.5f, 0.0f}, {1.0f, 1.0f, 1.0f}, turn({1.0f, 0.0f, 0.0f}, 0.2f));
    // Both pairs overlap, so every axis is visited.
    const std::vector<Vector3> through = {{-3.0f, -2.0f, 0.0f}, {3.0f, -2.0f, 0.0f}, {0.0f, 3.0f, 0.0f}};
    const PolyhedronFace face = faceOf(through);
    const Vector3 velocity(-1.0f, -2.0f, 0.5f);

    // The swept tests run for every node pair of every step.
    Tolvane::Testing::AllocationCounter allocations;
    bool results = sweptBoxesOverlap(velocity, stepLength, a, b);
    results = sweptTriangleOverlapsBox(face, through, velocity, stepLength, a) && results;
    EXPECT_EQ(allocations.count(), 0u);
    EXPECT_TRUE(results);
}
