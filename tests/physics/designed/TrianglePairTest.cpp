// Projection records, first-contact times and overlap of triangle pairs.
#include "physics/designed/TrianglePairTests.h"

#include "physics/designed/CollisionConstants.h"

#include "TestTriangle.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

using namespace Tolvane::Physics;
using namespace Tolvane::Physics::Collision;
using Tolvane::Math::Vector3;
using Tolvane::Physics::Collision::Testing::Triangle;

namespace {

/// Lies in y = 0 with normal (0, 16, 0); covers x in [-1, 1] along the x axis.
const Triangle ground({-2.0f, 0.0f, 2.0f}, {2.0f, 0.0f, 2.0f}, {0.0f, 0.0f, -2.0f});
/// Points its corner 0 down at (0, 1, 0), one unit above the ground's middle.
const Triangle cornerDown({0.0f, 1.0f, 0.0f}, {1.0f, 2.0f, 0.0f}, {0.0f, 2.0f, 1.0f});
/// Stands in z = 0 beside the ground: crosses y = 0 at x in [1.75, 2.25], so only
/// a cross product of two edges separates it from the ground.
const Triangle besideGround({1.5f, -1.0f, 0.0f}, {2.5f, -1.0f, 0.0f}, {2.0f, 1.0f, 0.0f});

TriangleProjection projection(float p0, float p1, float p2)
{
    TriangleProjection p;
    projectTriangle(p, p0, p1, p2);
    return p;
}

TriangleContactState untouchedState()
{
    TriangleContactState state;
    state.time = noContactTime;
    return state;
}

} // namespace

TEST(ProjectTriangle, SortsCornersAndNamesTheTiePattern)
{
    struct Case {
        float p[3];
        ProjectionKind kind;
        std::array<std::int32_t, 3> vertex;
    };
    const Case cases[] = {
        {{1, 1, 1}, Flat, {0, 1, 2}},     {{2, 1, 1}, LowPair, {2, 1, 0}},  {{1, 3, 1}, LowPair, {0, 2, 1}},
        {{3, 1, 3}, HighPair, {1, 2, 0}}, {{1, 2, 2}, HighPair, {0, 1, 2}}, {{2, 2, 1}, HighPair, {2, 0, 1}},
        {{1, 2, 3}, Distinct, {0, 1, 2}}, {{1, 3, 2}, Distinct, {0, 2, 1}}, {{2, 3, 1}, Distinct, {2, 0, 1}},
        {{3, 2, 1}, Distinct, {2, 1, 0}}, {{2, 1, 3}, Distinct, {1, 0, 2}}, {{3, 1, 2}, Distinct, {1, 2, 0}},
    };
    for (const Case& c : cases) {
        const TriangleProjection p = projection(c.p[0], c.p[1], c.p[2]);
        const std::string name =
            std::to_string(c.p[0]) + ", " + std::to_string(c.p[1]) + ", " + std::to_string(c.p[2]);
        EXPECT_EQ(p.kind, c.kind) << name;
        EXPECT_EQ((std::array<std::int32_t, 3>{p.vertex[0], p.vertex[1], p.vertex[2]}), c.vertex) << name;
        EXPECT_EQ(p.min, c.p[c.vertex[0]]) << name;
        EXPECT_EQ(p.max, c.p[c.vertex[2]]) << name;
    }
}

TEST(AdvanceFirstContact, EntryTimeAndSideOnOneAxis)
{
    struct Case {
        const char* name;
        float fixedMin, fixedMax, movingMin, movingMax, speed, startTime;
        bool approaching;
        float time;
        ContactSide side;
    };
    const Case cases[] = {
        {"moving above, coming down", 0, 0, 1, 2, -10, 0, true, 0.1f, FirstBelow},
        {"moving above, going up", 0, 0, 1, 2, 10, 0, false, 0, Overlapping},
        {"moving above, at rest", 0, 0, 1, 2, 0, 0, false, 0, Overlapping},
        {"moving below, coming up", 1, 2, -1, 0, 10, 0, true, 0.1f, FirstAbove},
        {"moving below, going down", 1, 2, -1, 0, -10, 0, false, 0, Overlapping},
        {"overlapping stays unchanged", 0, 2, 1, 3, -10, 0.05f, true, 0.05f, Overlapping},
        {"earlier entry keeps the later time", 0, 0, 1, 2, -10, 0.2f, true, 0.2f, Overlapping},
    };
    for (const Case& c : cases) {
        float time = c.startTime;
        ContactSide side = Overlapping;
        const bool result =
            advanceFirstContact(projection(c.movingMin, c.movingMin, c.movingMax),
                                projection(c.fixedMin, c.fixedMin, c.fixedMax), time, side, c.speed);
        EXPECT_EQ(result, c.approaching) << c.name;
        if (result) {
            EXPECT_EQ(time, c.time) << c.name;
            EXPECT_EQ(side, c.side) << c.name;
        }
    }
    EXPECT_TRUE(projectionsOverlap(projection(0, 0, 1), projection(1, 2, 2)));
    EXPECT_FALSE(projectionsOverlap(projection(0, 0, 1), projection(1.5f, 2, 2)));
    EXPECT_FALSE(projectionsOverlap(projection(1.5f, 2, 2), projection(0, 0, 1)));
}

TEST(FindTriangleContactTime, CornerFallingOntoAFace)
{
    // One unit above at 10 units/s: first contact after 0.1 s, decided on the
    // ground's normal, where the ground is flat and the falling corner lowest.
    TriangleContactState state = untouchedState();
    Vector3 q;
    ASSERT_TRUE(
        findTriangleContactTime(ground.ref(), cornerDown.ref(), {0.0f, -10.0f, 0.0f}, 1.0f, state, q));
    EXPECT_EQ(state.time, 0.1f);
    EXPECT_EQ(state.side, FirstBelow);
    EXPECT_EQ(state.first.kind, Flat);
    EXPECT_EQ(state.second.vertex[0], 0);
    EXPECT_EQ(state.second.kind, HighPair);
    EXPECT_EQ(q, Vector3()) << "no penetration normal for a later contact";

    // The time limit: 0.05 and 0.0998 end the test, 0.09995 lies within 0.0001 of the contact.
    for (const float limit : {0.05f, 0.0998f, 0.09995f}) {
        state = untouchedState();
        EXPECT_EQ(
            findTriangleContactTime(ground.ref(), cornerDown.ref(), {0.0f, -10.0f, 0.0f}, limit, state, q),
            limit > 0.0999f)
            << "limit " << limit;
    }

    // Rising away, or with the roles swapped and the ground rising to meet it.
    state = untouchedState();
    EXPECT_FALSE(
        findTriangleContactTime(ground.ref(), cornerDown.ref(), {0.0f, 10.0f, 0.0f}, 1.0f, state, q));
    state = untouchedState();
    ASSERT_TRUE(findTriangleContactTime(cornerDown.ref(), ground.ref(), {0.0f, 10.0f, 0.0f}, 1.0f, state, q));
    EXPECT_EQ(state.time, 0.1f);
    EXPECT_NE(state.side, Overlapping);
}

TEST(FindTriangleContactTime, EdgesMeetingBesideTheFaces)
{
    // Sliding towards the ground along -x at 10 units/s, the standing triangle's
    // left edge reaches the ground's edge at (1, 0, 0) after 0.075 s. Both
    // normals overlap all along, so an edge cross axis decides, and on it both
    // triangles show an edge (two tied corners) towards each other.
    TriangleContactState state = untouchedState();
    Vector3 q;
    ASSERT_TRUE(
        findTriangleContactTime(ground.ref(), besideGround.ref(), {-10.0f, 0.0f, 0.0f}, 1.0f, state, q));
    EXPECT_NEAR(state.time, 0.075f, 1e-6f);
    ASSERT_NE(state.side, Overlapping);
    const ProjectionKind groundEnd = state.side == FirstBelow ? HighPair : LowPair;
    const ProjectionKind standingEnd = state.side == FirstBelow ? LowPair : HighPair;
    EXPECT_EQ(state.first.kind, groundEnd);
    EXPECT_EQ(state.second.kind, standingEnd);

    // Too slow to arrive before the limit, or moving away.
    state = untouchedState();
    EXPECT_FALSE(
        findTriangleContactTime(ground.ref(), besideGround.ref(), {-10.0f, 0.0f, 0.0f}, 0.05f, state, q));
    state = untouchedState();
    EXPECT_FALSE(
        findTriangleContactTime(ground.ref(), besideGround.ref(), {10.0f, 0.0f, 0.0f}, 1.0f, state, q));
}

TEST(FindTriangleContactTime, ParallelFacesGiveNoTimeOfTheirOwn)
{
    // Face to face, one unit apart and closing within the step, facing either way.
    const Triangle facingDown({-1.0f, 1.0f, 1.0f}, {0.0f, 1.0f, -1.0f}, {1.0f, 1.0f, 1.0f});
    const Triangle facingUp({-1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f}, {0.0f, 1.0f, -1.0f});
    for (const Triangle* upper : {&facingDown, &facingUp}) {
        TriangleContactState state = untouchedState();
        Vector3 q;
        EXPECT_TRUE(
            findTriangleContactTime(ground.ref(), upper->ref(), {0.0f, -100.0f, 0.0f}, 1.0f, state, q));
        EXPECT_EQ(q, ground.face.normal);
        EXPECT_EQ(state.time, noContactTime);
    }
}

namespace {

struct PenetrationCase {
    const char* name;
    Triangle a;
    Triangle b;
    bool normalOfA;
};

// Both pairs cut through each other. In the first the standing triangle dips
// only 0.25 below the ground while the ground reaches 2 behind its plane, so the
// ground's normal is the way out; in the second the standing triangle goes 1.5
// deep into a narrow ground triangle that reaches only 0.1 behind it. Its
// normal is far longer than the ground's, so only true distances compare right.
const PenetrationCase penetrationCases[] = {
    {"shallow standing triangle", ground,
     Triangle({-1.0f, -0.25f, 0.0f}, {1.0f, -0.25f, 0.0f}, {0.0f, 2.0f, 0.0f}), true},
    {"deep standing triangle", Triangle({-2.0f, 0.0f, 0.1f}, {2.0f, 0.0f, 0.1f}, {0.0f, 0.0f, -0.1f}),
     Triangle({-10.0f, -1.5f, 0.0f}, {10.0f, -1.5f, 0.0f}, {0.0f, 2.0f, 0.0f}), false},
};

} // namespace

TEST(TriangleOverlap, InterpenetratingPairsChooseTheShallowerWayOut)
{
    for (const PenetrationCase& c : penetrationCases) {
        const Vector3 expected = c.normalOfA ? c.a.face.normal : c.b.face.normal;
        Vector3 q;
        EXPECT_TRUE(trianglesOverlap(c.a.ref(), c.b.ref(), q)) << c.name;
        EXPECT_EQ(q, expected) << c.name;

        TriangleContactState state = untouchedState();
        q = Vector3();
        EXPECT_TRUE(findTriangleContactTime(c.a.ref(), c.b.ref(), {0.0f, -3.0f, 0.0f}, 1.0f, state, q))
            << c.name;
        EXPECT_EQ(state.time, 0.0f) << c.name;
        EXPECT_EQ(state.side, Overlapping) << c.name;
        EXPECT_EQ(q, expected) << c.name;
    }
}

TEST(TriangleOverlap, SeparatedPairsAndCoplanarOverlap)
{
    Vector3 q;
    EXPECT_FALSE(trianglesOverlap(ground.ref(), cornerDown.ref(), q));
    // Separated only on an edge cross axis: the normals alone would call it a hit.
    EXPECT_FALSE(trianglesOverlap(ground.ref(), besideGround.ref(), q));
    EXPECT_EQ(q, Vector3()) << "q is written only on overlap";
    // The static test has no parallel-faces exit: coplanar overlap is overlap.
    const Triangle coplanar({0.0f, 0.0f, 0.0f}, {3.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -3.0f});
    EXPECT_TRUE(trianglesOverlap(ground.ref(), coplanar.ref(), q));
}
