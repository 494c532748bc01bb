// Contact manifolds of hulls: a block resting on the floor on a face, an edge or
// a corner, stacked blocks, crossed edges, the margin, keys that survive small
// motions, and the same manifolds when an incident face is turned only once.
#include "geometry/ContactManifold.h"
#include "geometry/TriangleHull.h"
#include "geometry/TriangleMesh.h"

#include "HullTestHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

using namespace Tolvane::Physics::Collision;
using namespace Tolvane::Physics::Collision::Testing;
using Tolvane::Math::Matrix3;
using Tolvane::Math::Quaternion;
using Tolvane::Math::Vector3;

namespace {

/// Contact margin of these tests: small against the block, large against rounding.
constexpr float margin = 0.02f;
/// Positions and separations of resting contacts agree with the hand-worked values to this.
constexpr float closeTo = 1e-5f;

ContactManifold collide(const ConvexHull& a, const HullPose& pa, const ConvexHull& b, const HullPose& pb,
                        float contactMargin = margin)
{
    SeparatingAxisCache cache;
    ContactManifold m;
    collideHulls(a, pa, b, pb, contactMargin, cache, m);
    return m;
}

void expectNear(const Vector3& actual, const Vector3& expected, float tolerance = closeTo)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

/// Every expected position is met by exactly one point of the manifold.
void expectPoints(const ContactManifold& m, const std::vector<Vector3>& expected, float separation)
{
    ASSERT_EQ(m.pointCount, static_cast<int>(expected.size()));
    for (const Vector3& e : expected) {
        int matches = 0;
        for (int i = 0; i < m.pointCount; ++i)
            if ((m.points[i].position - e).length() < 1e-4f)
                ++matches;
        EXPECT_EQ(matches, 1) << "point (" << e.x << ", " << e.y << ", " << e.z << ")";
    }
    for (int i = 0; i < m.pointCount; ++i)
        EXPECT_NEAR(m.points[i].separation, separation, closeTo);
}

std::set<std::uint64_t> keys(const ContactManifold& m)
{
    std::set<std::uint64_t> out;
    for (int i = 0; i < m.pointCount; ++i)
        out.insert(m.points[i].key);
    return out;
}

/// The rotation that turns direction from onto direction to (unit vectors, not opposite).
Quaternion turnOnto(const Vector3& from, const Vector3& to)
{
    return turn(cross(from, to), std::acos(std::clamp(dot(from, to), -1.0f, 1.0f)));
}

/// Area of the quadrilateral of a manifold's four points (seen from above), whatever their order.
float quadrilateralArea(const ContactManifold& m)
{
    Vector3 centre;
    for (int i = 0; i < 4; ++i)
        centre += m.points[i].position * 0.25f;
    std::vector<Vector3> ring;
    for (int i = 0; i < 4; ++i)
        ring.push_back(m.points[i].position);
    std::sort(ring.begin(), ring.end(), [&](const Vector3& p, const Vector3& q) {
        return std::atan2(p.z - centre.z, p.x - centre.x) < std::atan2(q.z - centre.z, q.x - centre.x);
    });
    float area = 0.0f;
    for (int i = 0; i < 4; ++i)
        area += 0.5f * std::fabs(cross(ring[i] - centre, ring[(i + 1) % 4] - centre).y);
    return area;
}

/// Area of the overlap of two 2 x 2 squares with a common centre, one turned by
/// angle degrees (0 to 90): each corner of the unturned square loses a right
/// triangle to one side of the turned square, x cos a + z sin a = 1.
float overlapArea(float angle)
{
    const float a = degrees(angle);
    const float legAlongX = 1.0f - (1.0f - std::sin(a)) / std::cos(a);
    const float legAlongZ = 1.0f - (1.0f - std::cos(a)) / std::sin(a);
    return 4.0f - 4.0f * 0.5f * legAlongX * legAlongZ;
}

std::vector<Vector3> bottomCorners(const Vector3& centre, float y)
{
    return {{centre.x - 1, y, centre.z - 1},
            {centre.x + 1, y, centre.z - 1},
            {centre.x + 1, y, centre.z + 1},
            {centre.x - 1, y, centre.z + 1}};
}

} // namespace

TEST(RestingContact, CubeFlatOnTheFloorTouchesAtItsFourBottomCorners)
{
    const Vector3 centre(4, 1, -3);
    const ContactManifold floorFirst = collide(floorHull(), pose({}), cubeHull(), pose(centre));
    expectNear(floorFirst.normal, {0, 1, 0});
    expectPoints(floorFirst, bottomCorners(centre, 0.0f), 0.0f);
    EXPECT_EQ(keys(floorFirst).size(), 4u);

    const ContactManifold cubeFirst = collide(cubeHull(), pose(centre), floorHull(), pose({}));
    expectNear(cubeFirst.normal, {0, -1, 0});
    expectPoints(cubeFirst, bottomCorners(centre, 0.0f), 0.0f);
}

TEST(RestingContact, CubeSunkIntoTheFloorReportsTheDepth)
{
    const Vector3 centre(0, 0.9f, 0);
    const ContactManifold m = collide(floorHull(), pose({}), cubeHull(), pose(centre));
    expectNear(m.normal, {0, 1, 0});
    // Midway between the cube's bottom at -0.1 and the floor's top at 0.
    expectPoints(m, bottomCorners(centre, -0.05f), -0.1f);
}

TEST(RestingContact, CubeBalancedOnAnEdgeTouchesAtTheEdgesEnds)
{
    const float s2 = std::sqrt(2.0f);
    const ContactManifold m =
        collide(floorHull(), pose({}), cubeHull(), pose({1, s2, 2}, turn({0, 0, 1}, degrees(45))));
    expectNear(m.normal, {0, 1, 0});
    expectPoints(m, {{1, 0, 1}, {1, 0, 3}}, 0.0f);
}

TEST(RestingContact, CubeStandingOnACornerTouchesAtThatCorner)
{
    const Quaternion q = turnOnto(Tolvane::Math::normalized({-1, -1, -1}), {0, -1, 0});
    const ContactManifold m = collide(floorHull(), pose({}), cubeHull(), pose({-2, std::sqrt(3.0f), 5}, q));
    expectNear(m.normal, {0, 1, 0});
    ASSERT_EQ(m.pointCount, 1);
    expectNear(m.points[0].position, {-2, 0, 5}, 1e-4f);
    EXPECT_NEAR(m.points[0].separation, 0.0f, 1e-4f);
}

TEST(StackedContact, TurnedCubeOnCubeKeepsFourPointsOfTheOverlap)
{
    // The overlap of the two squares is an octagon; four of its corners are kept.
    for (float angle : {10.0f, 30.0f, 45.0f}) {
        SCOPED_TRACE(angle);
        const HullPose upper = pose({0, 3, 0}, turn({0, 1, 0}, degrees(angle)));
        const ContactManifold m = collide(cubeHull(), pose({0, 1, 0}), cubeHull(), upper);
        expectNear(m.normal, {0, 1, 0});
        ASSERT_EQ(m.pointCount, 4);
        std::set<std::uint64_t> distinct;
        for (int i = 0; i < m.pointCount; ++i) {
            const Vector3& p = m.points[i].position;
            EXPECT_NEAR(p.y, 2.0f, closeTo);
            EXPECT_NEAR(m.points[i].separation, 0.0f, closeTo);
            // Inside the lower top face and inside the upper bottom face, up to the side slop.
            EXPECT_LE(std::max(std::fabs(p.x), std::fabs(p.z)), 1.0f + sideClipSlop + closeTo);
            const Vector3 local = transposeTimes(upper.rotation, p - upper.position);
            EXPECT_LE(std::max(std::fabs(local.x), std::fabs(local.z)), 1.0f + sideClipSlop + closeTo);
            distinct.insert(m.points[i].key);
        }
        EXPECT_EQ(distinct.size(), 4u);
        // Four corners spread over the octagon: their quadrilateral covers most of it.
        EXPECT_GT(quadrilateralArea(m), 0.6f * overlapArea(angle)) << "area of the kept points";
    }
}

TEST(StackedContact, CubeOnACubeTurnedAboutATiltedAxisRests)
{
    // The upper block turned a little about a tilted axis and placed with its
    // lowest corner on the lower block's top face at (0.5, 2, 0.5).
    const Quaternion q = turn({1, 2, 0.5f}, degrees(3));
    const Matrix3 r = Tolvane::Math::toMatrix3(q);
    Vector3 lowest = r * cubeHull().vertices[0];
    for (const Vector3& v : cubeHull().vertices)
        if ((r * v).y < lowest.y)
            lowest = r * v;
    const ContactManifold m =
        collide(cubeHull(), pose({0, 1, 0}), cubeHull(), pose(Vector3(0.5f, 2, 0.5f) - lowest, q));
    expectNear(m.normal, {0, 1, 0});
    ASSERT_GE(m.pointCount, 1);
    int touching = 0;
    // Points a quarter of the face's radius (about 0.35) beyond the margin are kept too.
    for (int i = 0; i < m.pointCount; ++i) {
        EXPECT_LE(m.points[i].separation, margin + incidentFaceReach * std::sqrt(2.0f));
        if (std::fabs(m.points[i].separation) < closeTo) {
            ++touching;
            expectNear(m.points[i].position, {0.5f, 2, 0.5f});
        }
    }
    EXPECT_EQ(touching, 1);
}

TEST(EdgeContact, CrossedEdgesMeetAtOnePointAtTheirDepth)
{
    const float s2 = std::sqrt(2.0f);
    for (float depth : {0.0f, 0.1f}) {
        SCOPED_TRACE(depth);
        const HullPose a = pose({0, 0, 0}, turn({0, 0, 1}, degrees(45)));
        const HullPose b = pose({0, 2 * s2 - depth, 0}, turn({1, 0, 0}, degrees(45)));
        const ContactManifold m = collide(cubeHull(), a, cubeHull(), b);
        EXPECT_EQ(m.axis.kind, AxisKind::EdgePair);
        expectNear(m.normal, {0, 1, 0});
        ASSERT_EQ(m.pointCount, 1);
        expectNear(m.points[0].position, {0, s2 - 0.5f * depth, 0});
        EXPECT_NEAR(m.points[0].separation, -depth, closeTo);
        EXPECT_EQ(m.points[0].key, edgePairKey(m.axis.indexA, m.axis.indexB));
    }
}

TEST(ContactMargin, ApartBeyondTheMarginGivesNothingWithinItPositiveSeparations)
{
    SeparatingAxisCache cache;
    ContactManifold m;
    m.pointCount = 3;
    EXPECT_FALSE(collideHulls(floorHull(), pose({}), cubeHull(), pose({0, 1.5f, 0}), 0.1f, cache, m));
    EXPECT_EQ(m.pointCount, 0);
    EXPECT_GT(m.axis.separation, 0.1f);

    EXPECT_TRUE(collideHulls(floorHull(), pose({}), cubeHull(), pose({0, 1.05f, 0}), 0.1f, cache, m));
    expectPoints(m, bottomCorners({0, 1.05f, 0}, 0.025f), 0.05f);

    // Tilted so that one bottom edge is within the margin and the other is
    // not, but within reach of a turn in the step: all four are kept.
    const ContactManifold tilted =
        collide(floorHull(), pose({}), cubeHull(), pose({0, 1.02f, 0}, turn({0, 0, 1}, degrees(2))), 0.05f);
    EXPECT_EQ(tilted.pointCount, 4);
    // Tilted so far that the upper edge is out of reach: only the lower edge's two.
    const ContactManifold steep =
        collide(floorHull(), pose({}), cubeHull(), pose({0, 1.02f, 0}, turn({0, 0, 1}, degrees(30))), 0.05f);
    EXPECT_EQ(steep.pointCount, 2);
    for (int i = 0; i < steep.pointCount; ++i)
        EXPECT_LE(steep.points[i].separation, 0.05f);
}

TEST(ContactMargin, FlatPlateRestsOnTheFloorAndCarriesACube)
{
    const ConvexHull plate = *buildConvexHull({{-2, 0, -2}, {2, 0, -2}, {2, 0, 2}, {-2, 0, 2}});
    const ContactManifold onFloor = collide(floorHull(), pose({}), plate, pose({1, 0.001f, 1}));
    expectNear(onFloor.normal, {0, 1, 0});
    EXPECT_EQ(onFloor.pointCount, 4);
    const ContactManifold carrying = collide(plate, pose({0, 0, 0}), cubeHull(), pose({0, 0.99f, 0}));
    expectNear(carrying.normal, {0, 1, 0});
    expectPoints(carrying, bottomCorners({0, 0.99f, 0}, -0.005f), -0.01f);
}

TEST(ContactKeys, RestingCubeKeepsItsKeysWhenNudged)
{
    // Moved by 1e-3 and turned by half a degree, about the vertical and about a
    // tilted axis: the same corners touch the same face, so the keys stay.
    SeparatingAxisCache cache;
    ContactManifold before;
    ASSERT_TRUE(collideHulls(floorHull(), pose({}), cubeHull(), pose({0, 1, 0}), margin, cache, before));
    const std::set<std::uint64_t> original = keys(before);
    ASSERT_EQ(original.size(), 4u);
    const Quaternion nudges[] = {turn({0, 1, 0}, degrees(0.5f)), turn({1, 3, 2}, degrees(0.5f))};
    for (const Quaternion& q : nudges) {
        ContactManifold after;
        ASSERT_TRUE(collideHulls(floorHull(), pose({}), cubeHull(), pose({1e-3f, 1 - 1e-3f, -1e-3f}, q),
                                 margin, cache, after));
        EXPECT_EQ(keys(after), original);
    }
}

TEST(ContactKeys, FlushStackKeepsItsKeysWhenNudgedAcrossTheSides)
{
    // The upper block's corners lie exactly on the lower block's sides; moving
    // it 1e-3 sideways either way must not cut them into new points.
    SeparatingAxisCache cache;
    ContactManifold m;
    ASSERT_TRUE(collideHulls(cubeHull(), pose({0, 1, 0}), cubeHull(), pose({0, 3, 0}), margin, cache, m));
    const std::set<std::uint64_t> original = keys(m);
    ASSERT_EQ(original.size(), 4u);
    for (const Vector3& shift :
         {Vector3(1e-3f, 0, 0), Vector3(-1e-3f, 0, 1e-3f), Vector3(0, -1e-3f, -1e-3f)}) {
        ASSERT_TRUE(collideHulls(cubeHull(), pose({0, 1, 0}), cubeHull(), pose(Vector3(0, 3, 0) + shift),
                                 margin, cache, m));
        EXPECT_EQ(keys(m), original);
    }
}

TEST(ContactFrames, TurningAndMovingBothHullsTogetherMovesTheManifoldAlong)
{
    // The same pair posed in a turned and shifted world frame gives the same
    // contact seen from that frame.
    const HullPose a = pose({0, 1, 0});
    const HullPose b = pose({0.3f, 2.95f, -0.2f}, turn({0, 1, 0}, degrees(20)));
    const ContactManifold plain = collide(cubeHull(), a, cubeHull(), b);
    const Matrix3 r = Tolvane::Math::toMatrix3(turn({2, -1, 3}, 1.1f));
    const Vector3 shift(5, -7, 2);
    const ContactManifold moved = collide(cubeHull(), {r * a.position + shift, r * a.rotation}, cubeHull(),
                                          {r * b.position + shift, r * b.rotation});
    ASSERT_EQ(moved.pointCount, plain.pointCount);
    expectNear(moved.normal, r * plain.normal);
    for (int i = 0; i < plain.pointCount; ++i) {
        expectNear(moved.points[i].position, r * plain.points[i].position + shift, 1e-4f);
        EXPECT_NEAR(moved.points[i].separation, plain.points[i].separation, 1e-5f);
        EXPECT_EQ(moved.points[i].key, plain.points[i].key);
    }
}

// A tumbling block passes the side of a resting one: the pair's best axis is
// across an edge of each, 0.125 apart, and lies within 15 degrees of the
// resting block's side face, but the tumbling block is not over that face.
// The face's clipped contact would report the blocks overlapping by 0.285.
TEST(EdgeContact, AnEdgeNearAFaceItIsNotOverKeepsTheEdgePairsSeparation)
{
    const HullPose resting{{2.53706884f, -0.0251074228f, 10.1390848f},
                           Matrix3({0.999934554f, 0.000882516906f, -0.0114090824f},
                                   {-0.000880588137f, 0.999999583f, 0.000174078319f},
                                   {0.0114092315f, -0.00016402021f, 0.999934912f})};
    const HullPose tumbling{{4.98199844f, 0.804388165f, 12.2722511f},
                            Matrix3({0.807543337f, 0.551205516f, -0.209872141f},
                                    {0.589601278f, -0.745001614f, 0.311998218f},
                                    {0.0156200621f, -0.375692904f, -0.926612496f})};
    const ContactManifold m = collide(cubeHull(), resting, cubeHull(), tumbling, 0.5f);
    EXPECT_EQ(m.axis.kind, AxisKind::EdgePair);
    ASSERT_EQ(m.pointCount, 1);
    EXPECT_NEAR(m.points[0].separation, 0.1253f, 1e-3f);
    expectNear(m.normal, {0.2515f, 0.0f, 0.9679f}, 1e-3f);
}

// A block over three triangles: two tilted so that a corner pokes up into the
// block's bottom (the block's face is then the reference and the triangle the
// incident hull), one lying flat a little into it (the triangle's face the
// reference and the block's bottom the incident face). Met in turn through one
// triangle hull refilled in place, as a mesh's triangles are, while the
// block's turned faces are taken again: every manifold must be the one found
// without that, a triangle's corners never taken for the last one's.
TEST(IncidentFaceReuse, ManifoldsAreTheSameAsTurningEveryFaceAfresh)
{
    const std::vector<Vector3> vertices = {
        {-0.6f, -1.3f, -0.4f},  {0.5f, -0.99f, 0.1f},    {-0.3f, -1.3f, 0.7f},
        {-6.0f, -1.01f, -6.0f}, {-6.0f, -1.01f, 6.0f},   {6.0f, -1.01f, 0.0f},
        {0.2f, -1.4f, -0.8f},   {-0.4f, -0.995f, -0.3f}, {0.6f, -1.35f, 0.2f}};
    const std::optional<TriangleMesh> mesh = buildTriangleMesh(vertices, {{0, 2, 1}, {3, 4, 5}, {6, 7, 8}});
    ASSERT_TRUE(mesh);
    const HullPose block = pose({0.05f, 0.0f, -0.02f}, turn({0.2f, 1.0f, 0.1f}, degrees(7.0f)));
    const HullPose meshPose = pose({0.0f, 0.0f, 0.0f});

    // Contact 0 by the separating axes, contact 1 against the triangle's face.
    const auto collide = [&](int contact, const ConvexHull& triangle) {
        ContactManifold out;
        SeparatingAxisCache cache;
        if (contact == 0)
            collideHulls(cubeHull(), block, triangle, meshPose, margin, cache, out);
        else
            collideWithFace(cubeHull(), block, triangle, meshPose, 0, margin, out);
        return out;
    };
    ContactManifold fresh[3][2];
    for (std::int32_t t = 0; t < 3; ++t) {
        ConvexHull triangle = emptyTriangleHull();
        fillTriangleHull(*mesh, t, triangle);
        fresh[t][0] = collide(0, triangle);
        fresh[t][1] = collide(1, triangle);
    }
    EXPECT_EQ(fresh[0][0].axis.kind, AxisKind::FaceA);
    EXPECT_EQ(fresh[1][0].axis.kind, AxisKind::FaceB);
    EXPECT_EQ(fresh[2][0].axis.kind, AxisKind::FaceA);

    const IncidentFaceReuse reuse(cubeHull());
    ConvexHull triangle = emptyTriangleHull();
    for (int contact = 0; contact < 2; ++contact)
        for (const std::int32_t t : {0, 2, 1, 0, 2}) {
            fillTriangleHull(*mesh, t, triangle);
            const ContactManifold again = collide(contact, triangle);
            const ContactManifold& expected = fresh[t][contact];
            ASSERT_EQ(again.pointCount, expected.pointCount) << "triangle " << t << ", contact " << contact;
            EXPECT_GT(again.pointCount, 0);
            for (int p = 0; p < again.pointCount; ++p) {
                EXPECT_EQ(again.points[p].position, expected.points[p].position);
                EXPECT_EQ(again.points[p].separation, expected.points[p].separation);
                EXPECT_EQ(again.points[p].key, expected.points[p].key);
            }
        }
}
