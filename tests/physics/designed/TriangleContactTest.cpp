// Contact points and normals of meeting triangles: the feature tables, edge
// crossings and the cut segment of interpenetrating triangles.
#include "physics/designed/TriangleContact.h"

#include "physics/designed/CollisionConstants.h"

#include "TestTriangle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

using namespace Tolvane::Physics;
using namespace Tolvane::Physics::Collision;
using Tolvane::Math::Vector3;
using Tolvane::Physics::Collision::Testing::Triangle;

namespace {

TriangleProjection projection(float p0, float p1, float p2)
{
    TriangleProjection p;
    projectTriangle(p, p0, p1, p2);
    return p;
}

void expectNear(const Vector3& expected, const Vector3& actual, float tolerance, const std::string& what)
{
    EXPECT_NEAR(expected.x, actual.x, tolerance) << what;
    EXPECT_NEAR(expected.y, actual.y, tolerance) << what;
    EXPECT_NEAR(expected.z, actual.z, tolerance) << what;
}

// Two triangles for the feature tables. A lies in y = 0 with normal (0, 4, 0)
// and moves with (1, 0, 0); B lies in y = 1 and moves with (0, -10, 0). At
// t = 0.1 A's corners have moved by (0.1, 0, 0) and B's down to y = 0, where
// B's edge 0-1 crosses A's edge 1-2 at (1.1, 0, -1) and A's edge 0-2 at (0.1, 0, -1).
const Triangle tableA({0.0f, 0.0f, 0.0f}, {2.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -2.0f});
const Triangle tableB({0.0f, 1.0f, -1.0f}, {2.0f, 1.0f, -1.0f}, {1.0f, 1.0f, -3.0f});
const Vector3 velocityA(1.0f, 0.0f, 0.0f);
const Vector3 velocityB(0.0f, -10.0f, 0.0f);
constexpr float contactTime = 0.1f;

// Projections that pick a feature at each end (corner numbers in brackets):
// (0, 0, 1): edge [0, 1] below, corner [2] above; (0, 1, 1): corner [0] below,
// edge [1, 2] above; (1, 0, 2): corner [1] below, corner [2] above; (0, 1, 0):
// edge [0, 2] below; (1, 1, 0): edge [0, 1] above; (0, 0, 0): the face at both.
struct FeatureCase {
    const char* name;
    ContactSide side;
    float a[3];
    float b[3];
    std::optional<Vector3> point;
    Vector3 normal;
};

const FeatureCase featureCases[] = {
    // B's bottom comes down onto A's top.
    {"A corner, B corner", FirstBelow, {0, 0, 1}, {1, 0, 2}, Vector3(0.1f, 0, -2), {-0.9f, 0, -2}},
    {"A corner, B edge", FirstBelow, {0, 0, 1}, {0, 0, 1}, Vector3(0.1f, 0, -2), {0, 0, -8}},
    {"A corner, B face", FirstBelow, {0, 0, 1}, {0, 0, 0}, Vector3(0.1f, 0, -2), {0, 4, 0}},
    {"A edge, B corner", FirstBelow, {0, 1, 1}, {1, 0, 2}, Vector3(2, 0, -1), {-8, 0, 8}},
    {"A face, B corner", FirstBelow, {0, 0, 0}, {1, 0, 2}, Vector3(2, 0, -1), {0, 4, 0}},
    {"A edge, B edge", FirstBelow, {0, 1, 1}, {0, 0, 1}, Vector3(1.1f, 0, -1), {0, -4, 0}},
    {"A face, B face", FirstBelow, {0, 0, 0}, {0, 0, 0}, std::nullopt, {}},
    {"A face, B edge", FirstBelow, {0, 0, 0}, {0, 0, 1}, std::nullopt, {}},
    {"A edge, B face", FirstBelow, {0, 1, 1}, {0, 0, 0}, std::nullopt, {}},
    // B's top comes up against A's bottom: the same rows with the roles swapped.
    {"B corner, A corner", FirstAbove, {1, 0, 2}, {0, 0, 1}, Vector3(1, 0, -3), {0, -1, -2}},
    {"B corner, A edge", FirstAbove, {0, 0, 1}, {0, 0, 1}, Vector3(1, 0, -3), {0, 0, -8}},
    {"B corner, A face", FirstAbove, {0, 0, 0}, {0, 0, 1}, Vector3(1, 0, -3), {0, 4, 0}},
    {"B edge, A corner", FirstAbove, {1, 0, 2}, {0, 1, 1}, Vector3(2.1f, 0, 0), {-8, 0, 4}},
    {"B face, A corner", FirstAbove, {1, 0, 2}, {0, 0, 0}, Vector3(2.1f, 0, 0), {0, 4, 0}},
    {"B edge, A edge", FirstAbove, {0, 1, 0}, {1, 1, 0}, Vector3(0.1f, 0, -1), {0, 4, 0}},
    {"B face, A face", FirstAbove, {0, 0, 0}, {0, 0, 0}, std::nullopt, {}},
    {"B edge, A face", FirstAbove, {0, 0, 0}, {0, 1, 1}, std::nullopt, {}},
    {"B face, A edge", FirstAbove, {0, 0, 1}, {0, 0, 0}, std::nullopt, {}},
};

} // namespace

TEST(ComputeTriangleContact, FeatureTablesGivePointAndNormal)
{
    for (const FeatureCase& c : featureCases) {
        Vector3 point;
        Vector3 normal;
        const bool built =
            computeTriangleContact({tableA.ref(), projection(c.a[0], c.a[1], c.a[2]), velocityA},
                                   {tableB.ref(), projection(c.b[0], c.b[1], c.b[2]), velocityB}, c.side,
                                   contactTime, point, normal);
        ASSERT_EQ(built, c.point.has_value()) << c.name;
        if (built) {
            expectNear(*c.point, point, 1e-5f, std::string(c.name) + ": point");
            expectNear(c.normal, normal, 1e-5f, std::string(c.name) + ": normal");
        }
    }
}

TEST(ComputeTriangleContact, CornerOnCornerOfADegenerateBaseUsesItsFirstCorner)
{
    // A's two lower corners coincide, so their midpoint is not formed: the normal
    // runs from that corner to A's moved top corner.
    const Triangle needle({1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, -2.0f});
    Vector3 point;
    Vector3 normal;
    ASSERT_TRUE(computeTriangleContact({needle.ref(), projection(0, 0, 1), velocityA},
                                       {tableB.ref(), projection(1, 0, 2), velocityB}, FirstBelow,
                                       contactTime, point, normal));
    expectNear({1.1f, 0.0f, -2.0f}, point, 1e-6f, "point");
    expectNear({0.1f, 0.0f, -2.0f}, normal, 1e-6f, "normal");
}

TEST(ComputeTriangleContact, CornerComingDownOnTheMiddleOfAFace)
{
    // B's corner 0 falls 1 unit at 10 units/s onto the middle of A: the pair
    // test finds t = 0.1 with A flat on top; the point is the moved corner and
    // the normal A's.
    const Triangle ground({-2.0f, 0.0f, 2.0f}, {2.0f, 0.0f, 2.0f}, {0.0f, 0.0f, -2.0f});
    const Triangle falling({0.25f, 1.0f, 0.5f}, {1.0f, 2.0f, 0.0f}, {0.0f, 2.0f, 1.0f});
    const Vector3 still;
    const Vector3 down(0.0f, -10.0f, 0.0f);
    TriangleContactState state;
    state.time = noContactTime;
    Vector3 q;
    ASSERT_TRUE(findTriangleContactTime(ground.ref(), falling.ref(), down, 1.0f, state, q));
    Vector3 point;
    Vector3 normal;
    ASSERT_TRUE(computeTriangleContact({ground.ref(), state.first, still},
                                       {falling.ref(), state.second, down}, state.side, state.time, point,
                                       normal));
    expectNear({0.25f, 0.0f, 0.5f}, point, 1e-6f, "point");
    EXPECT_EQ(normal, ground.face.normal);
}

TEST(ComputeTriangleContact, EdgesMeetingBesideTheFaces)
{
    // A standing triangle slides along -x into the ground's edge; they first
    // touch where the two edges cross, at (1, 0, 0) after 0.075 s.
    const Triangle ground({-2.0f, 0.0f, 2.0f}, {2.0f, 0.0f, 2.0f}, {0.0f, 0.0f, -2.0f});
    const Triangle standing({1.5f, -1.0f, 0.0f}, {2.5f, -1.0f, 0.0f}, {2.0f, 1.0f, 0.0f});
    const Vector3 still;
    const Vector3 sliding(-10.0f, 0.0f, 0.0f);
    TriangleContactState state;
    Vector3 q;
    ASSERT_TRUE(findTriangleContactTime(ground.ref(), standing.ref(), sliding, 1.0f, state, q));
    Vector3 point;
    Vector3 normal;
    ASSERT_TRUE(computeTriangleContact({ground.ref(), state.first, still},
                                       {standing.ref(), state.second, sliding}, state.side, state.time, point,
                                       normal));
    expectNear({1.0f, 0.0f, 0.0f}, point, 1e-5f, "point");
    // Perpendicular to both edges.
    EXPECT_NEAR(dot(normal, ground.vertices[2] - ground.vertices[1]), 0.0f, 1e-4f);
    EXPECT_NEAR(dot(normal, standing.vertices[2] - standing.vertices[0]), 0.0f, 1e-4f);
}

TEST(IntersectEdges, CrossingPointAndTheNearlyParallelLimit)
{
    Vector3 point;
    Vector3 normal;
    // At right angles: s = 1, the point lies at Q's distance from P0 along P.
    ASSERT_TRUE(intersectEdges({0, 0, 0}, {4, 0, 0}, {1, -2, 0}, {1, 2, 0}, point, normal));
    expectNear({1, 0, 0}, point, 1e-6f, "right angle point");
    EXPECT_EQ(normal, Vector3(0, 0, 16));

    // 3 degrees apart (sin 0.052) is too close to parallel; 6 degrees (sin 0.105) is not.
    const float degree = 3.14159265f / 180.0f;
    for (const float angle : {3.0f, 6.0f}) {
        const Vector3 q1(4.0f * std::cos(angle * degree), 4.0f * std::sin(angle * degree), 0.0f);
        EXPECT_EQ(intersectEdges({0, 0, 0}, {4, 0, 0}, {0, 0, 0}, q1, point, normal), angle > 5.0f)
            << angle << " degrees";
    }
}

TEST(IntersectEdges, ZeroLengthEdgeGivesNoContactInsteadOfThrowing)
{
    // An edge with no direction has no crossing; the step must go on.
    Vector3 point;
    Vector3 normal;
    EXPECT_FALSE(intersectEdges({1, 1, 1}, {1, 1, 1}, {0, 0, 0}, {0, 2, 0}, point, normal));
    EXPECT_FALSE(intersectEdges({0, 0, 0}, {0, 2, 0}, {1, 1, 1}, {1.000001f, 1, 1}, point, normal));

    // Through the feature table: A's top edge has collapsed to a point.
    const Triangle collapsed({0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -2.0f}, {0.0f, 0.0f, -2.0f});
    EXPECT_NO_THROW(EXPECT_FALSE(computeTriangleContact({collapsed.ref(), projection(0, 1, 1), velocityA},
                                                        {tableB.ref(), projection(0, 0, 1), velocityB},
                                                        FirstBelow, contactTime, point, normal)));
}

TEST(TriangleIntersectionSegment, InterpenetratingTrianglesTakeTheMiddleOfTheirCut)
{
    // The ground covers x in [-1, 1] of the line y = z = 0; each standing triangle
    // dips h below the ground and is cut along a stretch of that line.
    const Triangle ground({-2.0f, 0.0f, 2.0f}, {2.0f, 0.0f, 2.0f}, {0.0f, 0.0f, -2.0f});
    struct Case {
        const char* name;
        Triangle standing;
        Vector3 point;
    };
    const Case cases[] = {
        // Cut along [0.111, 1.889]; shared with the ground on [0.111, 1].
        {"crossing in an X",
         Triangle({0.0f, -0.25f, 0.0f}, {2.0f, -0.25f, 0.0f}, {1.0f, 2.0f, 0.0f}),
         {(1.0f / 9.0f + 1.0f) * 0.5f, 0.0f, 0.0f}},
        // Cut along [0.499, 0.501]: long enough for its middle.
        {"shallow dip",
         Triangle({0.5f, -0.001f, 0.0f}, {1.5f, 1.0f, 0.0f}, {-0.5f, 1.0f, 0.0f}),
         {0.5f, 0.0f, 0.0f}},
        // Cut along [0.49995, 0.50005]: half of it is below 0.0001, so its start is used.
        {"barely touching",
         Triangle({0.5f, -0.00005f, 0.0f}, {1.5f, 1.0f, 0.0f}, {-0.5f, 1.0f, 0.0f}),
         {0.49995f, 0.0f, 0.0f}},
    };
    const TriangleProjection unused;
    const Vector3 still;
    for (const Case& c : cases) {
        Vector3 point;
        Vector3 normal;
        ASSERT_TRUE(computeTriangleContact({ground.ref(), unused, still}, {c.standing.ref(), unused, still},
                                           Overlapping, 0.0f, point, normal))
            << c.name;
        expectNear(c.point, point, 2e-6f, c.name);
        EXPECT_EQ(normal, Vector3()) << c.name << ": the pair test supplies the normal";
    }

    // Coplanar triangles have no common line, and a triangle that only reaches
    // the other's plane beyond its edge shares no stretch of it.
    const Triangle coplanar({0.0f, 0.0f, 0.0f}, {3.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -3.0f});
    const Triangle beside({1.5f, -1.0f, 0.0f}, {2.5f, -1.0f, 0.0f}, {2.0f, 1.0f, 0.0f});
    for (const Triangle* other : {&coplanar, &beside}) {
        Vector3 point;
        Vector3 normal;
        EXPECT_FALSE(computeTriangleContact({ground.ref(), unused, still}, {other->ref(), unused, still},
                                            Overlapping, 0.0f, point, normal));
    }
}

TEST(TriangleLineInterval, TheLoneCornerDecidesWhichEdgesAreCut)
{
    // Corners project to 0, 1 and 2 on the line; each row gives the signed
    // distances from the other plane and the expected (t0, t1).
    struct Case {
        float d[3];
        bool cut;
        float t0, t1;
    };
    const Case cases[] = {
        {{1, 1, -1}, true, 1.0f, 1.5f},              // corner 2 alone: edges 2-0 and 2-1
        {{1, -1, 1}, true, 0.5f, 1.5f},              // corner 1 alone: edges 1-0 and 1-2
        {{-1, 1, 1}, true, 0.5f, 1.0f},              // corner 0 alone: edges 0-1 and 0-2
        {{0, 1, -1}, true, 0.0f, 1.5f},              // corner 0 in the plane: corner 1 taken as alone
        {{0, 0, 1}, true, 0.0f, 1.0f},               // edge 0-1 in the plane
        {{0, 0, 0}, false, 0.0f, 0.0f},              // coplanar
        {{2e-6f, 2e-6f, -2e-6f}, false, 0.0f, 0.0f}, // edges run almost in the plane
    };
    const float projections[3] = {0.0f, 1.0f, 2.0f};
    const Vector3 corners[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    for (const Case& c : cases) {
        LineCrossing crossing;
        const std::string name =
            std::to_string(c.d[0]) + ", " + std::to_string(c.d[1]) + ", " + std::to_string(c.d[2]);
        ASSERT_EQ(triangleLineInterval({c.d, projections, corners}, crossing), c.cut) << name;
        if (c.cut) {
            EXPECT_FLOAT_EQ(crossing.t0, c.t0) << name;
            EXPECT_FLOAT_EQ(crossing.t1, c.t1) << name;
            EXPECT_FLOAT_EQ(crossing.point0.x, c.t0) << name;
            EXPECT_FLOAT_EQ(crossing.point1.x, c.t1) << name;
        }
    }
}
