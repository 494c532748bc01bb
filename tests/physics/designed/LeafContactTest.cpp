// Leaf polyhedron contact: culling, the time tolerances between pairs, the
// static mode with its depth, the orientation of normals and degenerate pairs.
#include "physics/designed/LeafContact.h"

#include "BoxModels.h"
#include "math/Quaternion.h"
#include "math/Transform.h"
#include "physics/body/ConvexPolyhedron.h"
#include "physics/body/PhysicalModel.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

using namespace Tolvane;
using namespace Tolvane::Physics;
using namespace Tolvane::Physics::Collision;
using Tolvane::Math::Quaternion;
using Tolvane::Math::Transform;
using Tolvane::Math::Vector3;
using Tolvane::Physics::Testing::boxPart;

namespace {

constexpr float dt = 0.025f;
constexpr std::int32_t stamp = 7;

using Triangle = std::array<Vector3, 3>;

/// A leaf part made of loose triangles given in world coordinates (placed at the origin).
std::shared_ptr<PhysicalModel> trianglesPart(const std::vector<Triangle>& triangles)
{
    std::vector<Vector3> vertices;
    std::vector<ModelSurface> surfaces;
    for (const Triangle& t : triangles) {
        ModelSurface s;
        for (int k = 0; k < 3; ++k) {
            s.vertexIndex[k] = static_cast<std::uint16_t>(vertices.size());
            vertices.push_back(t[k]);
        }
        surfaces.push_back(s);
    }
    return std::make_shared<PhysicalModel>(vertices, surfaces, Vector3());
}

/// A triangle standing on its lowest corner (x, y, z), the other two corners half a unit higher.
Triangle cornerDown(float x, float y, float z)
{
    return {Vector3(x, y, z), Vector3(x - 0.25f, y + 0.5f, z - 0.25f),
            Vector3(x + 0.25f, y + 0.5f, z + 0.25f)};
}

/// A body's leaf placed in the world, its geometry refreshed.
struct PlacedLeaf {
    std::shared_ptr<ConvexPolyhedron> node;
    Transform transform;
};

PlacedLeaf place(const std::shared_ptr<PhysicalModel>& model, const Vector3& position,
                 const Quaternion& orientation = Quaternion())
{
    PlacedLeaf leaf{std::make_shared<ConvexPolyhedron>(Vector3(), model), Transform(position, orientation)};
    leaf.node->refreshBox(leaf.transform, stamp);
    leaf.node->refreshGeometry(leaf.transform, stamp);
    return leaf;
}

/// A 10 x 1 x 10 slab whose top face lies at y = 0 and whose origin lies below it.
PlacedLeaf slabTopAtZero()
{
    return place(boxPart({-5.0f, -0.5f, -5.0f}, {5.0f, 0.5f, 5.0f}), {0.0f, -0.5f, 0.0f});
}

/// A contact record as an earlier leaf pair of the same query might have left it.
CollisionContact presetContact(float time)
{
    CollisionContact contact;
    contact.time = time;
    contact.normal = {0.0f, 0.0f, 1.0f};
    contact.point = {7.0f, 8.0f, 9.0f};
    contact.depth = 0.5f;
    return contact;
}

bool testLeaves(PlacedLeaf& a, const Vector3& vA, PlacedLeaf& b, const Vector3& vB, CollisionContact& contact)
{
    const Vector3 still;
    return testLeafPolyhedra({a.transform, vA, still, a.node}, {b.transform, vB, still, b.node}, dt, contact);
}

void expectVectorNear(const Vector3& expected, const Vector3& actual, float tolerance)
{
    EXPECT_NEAR(expected.x, actual.x, tolerance);
    EXPECT_NEAR(expected.y, actual.y, tolerance);
    EXPECT_NEAR(expected.z, actual.z, tolerance);
}

void expectUntouched(const CollisionContact& before, const CollisionContact& after)
{
    EXPECT_EQ(before.time, after.time);
    EXPECT_EQ(before.normal, after.normal);
    EXPECT_EQ(before.point, after.point);
    EXPECT_EQ(before.depth, after.depth);
}

} // namespace

// A pair could still be accepted a hair after the step, but the swept culling
// only looks as far as the end of the step, so such a triangle is never tested.
TEST(LeafContactCulling, TriangleReachingTheBoxOnlyAfterTheStepIsCulled)
{
    struct Case {
        float gap;
        bool expectContact;
    };
    // Falling at 10 units/s: 0.249 is met at 0.0249 s, 0.2505 only at 0.02505 s,
    // after the step but before the pair test's own limit of dt + 0.0001.
    for (const Case c : {Case{0.249f, true}, Case{0.2505f, false}}) {
        SCOPED_TRACE(c.gap);
        PlacedLeaf slab = slabTopAtZero();
        PlacedLeaf falling = place(trianglesPart({cornerDown(1.0f, c.gap, 3.0f)}), Vector3());
        const CollisionContact before = presetContact(dt + 0.0001f);
        CollisionContact contact = before;
        EXPECT_EQ(c.expectContact, testLeaves(slab, Vector3(), falling, {0.0f, -10.0f, 0.0f}, contact));
        if (c.expectContact)
            EXPECT_NEAR(c.gap / 10.0f, contact.time, 1e-6f);
        else
            expectUntouched(before, contact);
    }
}

// A leaf that meets the slab only after the best time found so far (another
// leaf's) reports nothing and leaves that contact as it was.
TEST(LeafContactTimes, MeetingLaterThanTheBestSoFarLeavesTheContactAlone)
{
    PlacedLeaf slab = slabTopAtZero();
    PlacedLeaf falling = place(trianglesPart({cornerDown(1.0f, 0.2f, 3.0f)}), Vector3());
    const CollisionContact before = presetContact(0.005f);
    CollisionContact contact = before;
    EXPECT_FALSE(testLeaves(slab, Vector3(), falling, {0.0f, -10.0f, 0.0f}, contact));
    expectUntouched(before, contact);
}

// Four triangles of one leaf falling at 10 units/s onto a slab, meeting it at
// the times 0.01005, 0.01000, 0.00900 and 0.00950 s, in that face order.
TEST(LeafContactTimes, EarlierPairsReplaceAndSimultaneousPairsGather)
{
    const std::vector<Triangle> all{cornerDown(-2.0f, 0.1005f, 3.0f), cornerDown(-1.0f, 0.1f, 3.0f),
                                    cornerDown(0.0f, 0.09f, 3.0f), cornerDown(1.0f, 0.095f, 3.0f)};
    const Vector3 falling(0.0f, -10.0f, 0.0f);

    {
        SCOPED_TRACE("first two: 0.01000 is within 0.0001 of 0.01005, both points stay");
        PlacedLeaf slab = slabTopAtZero();
        PlacedLeaf leaf = place(trianglesPart({all[0], all[1]}), Vector3());
        CollisionContact contact = presetContact(dt + 0.0001f);
        ASSERT_TRUE(testLeaves(slab, Vector3(), leaf, falling, contact));
        EXPECT_NEAR(0.01f, contact.time, 1e-6f);
        EXPECT_LT(contact.time, 0.01005f - 0.00001f);
        expectVectorNear({-1.5f, 0.0f, 3.0f}, contact.point, 1e-5f);
        expectVectorNear({0.0f, 1.0f, 0.0f}, contact.normal, 1e-6f);
        EXPECT_EQ(0.0f, contact.depth);
    }
    {
        SCOPED_TRACE("all four: 0.009 empties the lists, 0.0095 comes too late");
        PlacedLeaf slab = slabTopAtZero();
        PlacedLeaf leaf = place(trianglesPart(all), Vector3());
        CollisionContact contact = presetContact(dt + 0.0001f);
        ASSERT_TRUE(testLeaves(slab, Vector3(), leaf, falling, contact));
        EXPECT_NEAR(0.009f, contact.time, 1e-6f);
        expectVectorNear({0.0f, 0.0f, 3.0f}, contact.point, 1e-5f);
        expectVectorNear({0.0f, 1.0f, 0.0f}, contact.normal, 1e-6f);
    }
}

TEST(LeafContactTimes, PairLaterThanTheBestTimeOfEarlierLeavesIsNotRecorded)
{
    // An earlier leaf pair of the same query already found contact at 0.009 s.
    struct Case {
        float gap;
        bool recorded;
    };
    // 0.0090005 s is within 0.000001 of it; 0.00905 s is not, though it passes
    // the pair test's own limit of 0.0001.
    for (const Case c : {Case{0.090005f, true}, Case{0.0905f, false}}) {
        SCOPED_TRACE(c.gap);
        PlacedLeaf slab = slabTopAtZero();
        PlacedLeaf leaf = place(trianglesPart({cornerDown(0.0f, c.gap, 3.0f)}), Vector3());
        CollisionContact contact = presetContact(0.009f);
        EXPECT_EQ(c.recorded, testLeaves(slab, Vector3(), leaf, {0.0f, -10.0f, 0.0f}, contact));
        if (c.recorded)
            EXPECT_NEAR(0.0090005f, contact.time, 1e-7f);
        else
            EXPECT_EQ(0.009f, contact.time);
    }
}

TEST(LeafContactStatic, InterpenetratingCornerGivesTheDepthOfBsDeepestVertex)
{
    // A cube standing on a corner sunk 0.1 into the top face (y = 1) of a resting cube.
    const float tiltToCorner = std::acos(1.0f / std::sqrt(3.0f));
    const Quaternion cornerDownTurn =
        Math::fromAxisAngle(Math::normalized({-1.0f, 0.0f, 1.0f}), tiltToCorner);
    PlacedLeaf below = place(Testing::cubePart(), Vector3());
    PlacedLeaf above = place(Testing::cubePart(), {0.2f, 0.9f + std::sqrt(3.0f), -0.1f}, cornerDownTurn);

    float lowest = 100.0f;
    for (const Vector3& v : above.node->worldVertices())
        lowest = std::min(lowest, v.y);
    ASSERT_NEAR(0.9f, lowest, 1e-5f);

    CollisionContact contact = presetContact(dt + 0.0001f);
    ASSERT_TRUE(testLeaves(below, Vector3(), above, Vector3(), contact));
    EXPECT_EQ(0.0f, contact.time);
    expectVectorNear({0.0f, 1.0f, 0.0f}, contact.normal, 1e-6f);
    // Every contact point lies where the sunk corner's faces cross the top face.
    EXPECT_NEAR(1.0f, contact.point.y, 1e-5f);
    EXPECT_NEAR(0.2f, contact.point.x, 0.15f);
    EXPECT_NEAR(-0.1f, contact.point.z, 0.15f);
    EXPECT_NEAR(0.1f, contact.depth, 1e-5f);
}

TEST(LeafContactNormals, NormalIsTurnedAwayFromBodyAsOrigin)
{
    const Vector3 falling(0.0f, -10.0f, 0.0f);
    auto run = [&](const Vector3* originOfA, CollisionContact& contact) {
        PlacedLeaf slab = slabTopAtZero();
        PlacedLeaf leaf = place(trianglesPart({cornerDown(0.5f, 0.1f, 3.0f)}), Vector3());
        if (originOfA)
            slab.transform.position = *originOfA;
        return testLeaves(slab, Vector3(), leaf, falling, contact);
    };

    CollisionContact fromBelow = presetContact(dt + 0.0001f);
    ASSERT_TRUE(run(nullptr, fromBelow));
    expectVectorNear({0.0f, 1.0f, 0.0f}, fromBelow.normal, 1e-6f);
    const Vector3 point = fromBelow.point;

    {
        SCOPED_TRACE("origin above the contact: the face normal is flipped");
        const Vector3 above = point + Vector3(0.0f, 5.0f, 0.0f);
        CollisionContact contact = presetContact(dt + 0.0001f);
        ASSERT_TRUE(run(&above, contact));
        EXPECT_EQ(point, contact.point);
        expectVectorNear({0.0f, -1.0f, 0.0f}, contact.normal, 1e-6f);
    }
    {
        SCOPED_TRACE("origin level with the contact: the normal is kept");
        const Vector3 level = point + Vector3(3.0f, 0.0f, 0.0f);
        CollisionContact contact = presetContact(dt + 0.0001f);
        ASSERT_TRUE(run(&level, contact));
        expectVectorNear({0.0f, 1.0f, 0.0f}, contact.normal, 1e-6f);
    }
    {
        // As for the floor, whose origin lies on its top face: a point that the
        // rounding puts a hair below the origin must not turn the normal into A.
        SCOPED_TRACE("origin a hair above the contact: the slab's centre, below, decides");
        const Vector3 barelyAbove = point + Vector3(3.0f, 0.00005f, 0.0f);
        CollisionContact contact = presetContact(dt + 0.0001f);
        ASSERT_TRUE(run(&barelyAbove, contact));
        expectVectorNear({0.0f, 1.0f, 0.0f}, contact.normal, 1e-6f);
    }
}

// A sliver triangle pierces a triangle at rest. The contact takes the sliver's
// face normal as its direction; when the sliver is so thin that this normal has
// no length, the pair gives no contact instead of failing the step.
TEST(LeafContactNormals, PairWhoseNormalHasNoLengthContributesNothing)
{
    struct Case {
        float width;
        bool expectContact;
    };
    for (const Case c : {Case{0.5f, true}, Case{5e-7f, false}}) {
        SCOPED_TRACE(c.width);
        PlacedLeaf flat = place(trianglesPart({{Vector3(-1.0f, 0.0f, -2.0f), Vector3(0.0f, 0.0f, 4.0f),
                                                Vector3(1.0f, 0.0f, -2.0f)}}),
                                Vector3());
        PlacedLeaf sliver = place(trianglesPart({{Vector3(0.0f, -5.0f, 0.0f), Vector3(0.0f, 5.0f, 0.0f),
                                                  Vector3(c.width, 0.0f, 0.0f)}}),
                                  Vector3());
        const CollisionContact before = presetContact(dt + 0.0001f);
        CollisionContact contact = before;
        bool hit = false;
        ASSERT_NO_THROW(hit = testLeaves(flat, Vector3(), sliver, Vector3(), contact));
        EXPECT_EQ(c.expectContact, hit);
        if (c.expectContact) {
            EXPECT_EQ(0.0f, contact.time);
            EXPECT_NEAR(1.0f, std::fabs(contact.normal.z), 1e-6f);
        } else {
            expectUntouched(before, contact);
        }
    }
}
