// A hull against a triangle mesh: across the flat seams of a tiled floor a
// block meets only the floor's faces, and a mesh's back side pushes nothing.
#include "geometry/HullMeshContact.h"
#include "geometry/PointOutline.h"

#include "HullTestHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace Tolvane::Physics::Collision;
using namespace Tolvane::Physics::Collision::Testing;
using Tolvane::Math::Vector3;

namespace {

/// A grid of n × n squares of side spacing, centred on the origin, each two
/// triangles facing up, with heights from height(x, z): a curved stretch of
/// ground with a vertex every spacing.
template <class Height> TriangleMesh curvedGround(int n, float spacing, Height height)
{
    std::vector<Vector3> vertices;
    std::vector<TriangleIndices> triangles;
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) {
            const float x = spacing * static_cast<float>(i - n / 2);
            const float z = spacing * static_cast<float>(j - n / 2);
            vertices.push_back({x, height(x, z), z});
        }
    const auto at = [&](int i, int j) { return static_cast<std::int32_t>(i * (n + 1) + j); };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            triangles.push_back({at(i, j), at(i, j + 1), at(i + 1, j + 1)});
            triangles.push_back({at(i, j), at(i + 1, j + 1), at(i + 1, j)});
        }
    return *buildTriangleMesh(vertices, triangles);
}

/// A flat floor at y = 0 of n × n tiles of 2 × 2, each two triangles facing up.
TriangleMesh tiledFloor(int n)
{
    return curvedGround(n, 2.0f, [](float, float) { return 0.0f; });
}

} // namespace

// A cube resting a little into the tiled floor, at every offset across a seam
// and turned a little, tipped too: one manifold, pointing straight down into
// the floor, its points as deep as the cube's lowest corner. An edge normal at
// a seam would push the cube sideways, and it would catch there as it slides.
TEST(HullMeshContact, BlockAcrossFlatSeamsMeetsOnlyTheFloorsFace)
{
    const TriangleMesh floor = tiledFloor(6);
    const HullPose floorPose{{0.0f, 0.0f, 0.0f}, {}};
    for (float x = -1.0f; x <= 1.0f; x += 0.125f)
        for (const float angle : {0.0f, 0.1f, 0.7f}) {
            SCOPED_TRACE(testing::Message() << "x " << x << ", turned " << angle);
            const HullPose cubePose = pose({x, 0.996f, 0.3f}, turn({0.0f, 1.0f, 0.0f}, angle));
            ContactManifold manifolds[maxMeshManifolds];
            ASSERT_EQ(collideHullMesh(cubeHull(), cubePose, floor, floorPose, 0.02f, {}, manifolds), 1);
            EXPECT_NEAR(manifolds[0].normal.y, -1.0f, 1e-5f);
            ASSERT_GE(manifolds[0].pointCount, 3);
            for (int k = 0; k < manifolds[0].pointCount; ++k)
                EXPECT_NEAR(manifolds[0].points[k].separation, -0.004f, 1e-4f);
        }

    // Tipped onto an edge that lies across a seam: still straight down.
    const HullPose tipped = pose({0.0f, 1.41f, 0.0f}, turn({1.0f, 0.0f, 1.0f}, 0.785398f));
    ContactManifold manifolds[maxMeshManifolds];
    const int count = collideHullMesh(cubeHull(), tipped, floor, floorPose, 0.02f, {}, manifolds);
    for (int k = 0; k < count; ++k)
        EXPECT_NEAR(manifolds[k].normal.y, -1.0f, 1e-5f);
}

TEST(HullMeshContact, HullBehindTheMeshOrFarAboveItMeetsNothing)
{
    const TriangleMesh floor = tiledFloor(4);
    const HullPose floorPose{{0.0f, 0.0f, 0.0f}, {}};
    ContactManifold manifolds[maxMeshManifolds];
    EXPECT_EQ(collideHullMesh(cubeHull(), pose({0.0f, -0.9f, 0.0f}), floor, floorPose, 0.02f, {}, manifolds),
              0);
    EXPECT_EQ(collideHullMesh(cubeHull(), pose({0.0f, 1.1f, 0.0f}), floor, floorPose, 0.02f, {}, manifolds),
              0);
    // Within the margin above it: a speculative contact, 0.05 apart.
    ASSERT_EQ(collideHullMesh(cubeHull(), pose({0.0f, 1.05f, 0.0f}), floor, floorPose, 0.1f, {}, manifolds),
              1);
    EXPECT_NEAR(manifolds[0].points[0].separation, 0.05f, 1e-4f);
}

// A cube just beside a mesh's single triangle, its bottom a little below the
// triangle's plane: nothing of its bottom face is over the triangle, so no
// point of the triangle's may say the cube is in it (its deepest corner
// would, by the triangle's plane), whatever the margin lets it find.
TEST(HullMeshContact, HullBesideATriangleIsNeverCountedUnderIt)
{
    const TriangleMesh single =
        *buildTriangleMesh({{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 4.0f}, {4.0f, 0.0f, 0.0f}}, {{0, 1, 2}});
    const HullPose meshPose{{0.0f, 0.0f, 0.0f}, {}};
    for (const float gap : {0.01f, 0.05f, 0.2f}) {
        SCOPED_TRACE(testing::Message() << "gap " << gap);
        ContactManifold manifolds[maxMeshManifolds];
        const int count = collideHullMesh(cubeHull(), pose({-1.0f - gap, 0.9f, 1.0f}), single, meshPose, 0.3f,
                                          {}, manifolds);
        for (int m = 0; m < count; ++m)
            for (int k = 0; k < manifolds[m].pointCount; ++k)
                EXPECT_GT(manifolds[m].points[k].separation, 0.0f);
    }
}

// A block lying across a ridge of finely meshed ground touches it along the
// ridge's top, while the ground falls away on both sides: a dozen candidate
// points. Tipped either way about the ridge, the block meets the line of
// mesh vertices beside the top first, after turning by their drop over their
// distance from the ridge; its own corners, farther out and lower, only after
// twice that. On each side, some contact point must catch the block within a
// quarter more turn than those vertices. Held only farther out, the block
// tips until the vertices sink in, come back as the deepest points and kick
// it over to the other side, where the same happens: it rocks on the ridge
// and never sleeps.
TEST(HullMeshContact, BlockAcrossARidgeIsCaughtWhereItWouldTipOnto)
{
    const auto height = [](float x, float) { return -0.03f * x * x; };
    const TriangleMesh ground = curvedGround(8, 0.6f, height);
    const HullPose groundPose{{0.0f, 0.0f, 0.0f}, {}};
    const float sunk = 0.001f;
    const float firstTurn = (sunk - height(0.6f, 0.0f)) / 0.6f;
    for (float x = -0.3f; x <= 0.3f; x += 0.15f)
        for (float z = -0.45f; z <= 0.45f; z += 0.15f)
            for (const float angle : {0.0f, 0.3f}) {
                SCOPED_TRACE(testing::Message() << "at " << x << ", " << z << ", turned " << angle);
                const HullPose cubePose = pose({x, 1.0f - sunk, z}, turn({0.0f, 1.0f, 0.0f}, angle));
                ContactManifold manifolds[maxMeshManifolds];
                const int count =
                    collideHullMesh(cubeHull(), cubePose, ground, groundPose, 0.05f, {}, manifolds);
                for (const float side : {-1.0f, 1.0f}) {
                    // The least turn about the ridge that brings a contact point on this side down to it.
                    float caught = INFINITY;
                    for (int m = 0; m < count; ++m)
                        for (int k = 0; k < manifolds[m].pointCount; ++k) {
                            const ContactPoint& p = manifolds[m].points[k];
                            if (p.position.x * side > 0.1f)
                                caught = std::min(caught, (p.separation + sunk) / std::fabs(p.position.x));
                        }
                    EXPECT_LE(caught, 1.25f * firstTurn) << "tipped towards x " << side;
                }
            }
}

// A block tilted over curved ground, about to land on it: its low face's
// corners within the margin must each lie within the outline of the contact
// points. The solver keeps only those points apart; a corner beyond their
// outline sinks as soon as the block turns about the outline's side, which a
// block landing on one corner does. Each triangle gives its own points, many
// of them at seams inside the face, and four chosen from a dozen once left a
// corner outside while counting it as held.
TEST(HullMeshContact, TiltedBlockOverCurvedGroundHasEveryLowCornerWithinItsPoints)
{
    const auto height = [](float x, float z) { return 0.03f * x * x - 0.02f * x * z + 0.01f * z * z; };
    const TriangleMesh ground = curvedGround(10, 1.2f, height);
    const HullPose groundPose{{0.0f, 0.0f, 0.0f}, {}};
    constexpr float margin = 0.3f;
    int cornersChecked = 0;
    for (float x = -1.5f; x <= 1.5f; x += 0.5f)
        for (float z = -1.5f; z <= 1.5f; z += 0.5f)
            for (const Vector3 axis : {Vector3(1.0f, 0.0f, 0.3f), Vector3(-0.2f, 0.0f, 1.0f)}) {
                SCOPED_TRACE(testing::Message() << "at " << x << ", " << z << ", about " << axis.x);
                const HullPose cubePose = pose({x, 1.2f + height(x, z), z}, turn(axis, 0.12f));
                ContactManifold manifolds[maxMeshManifolds];
                const int count =
                    collideHullMesh(cubeHull(), cubePose, ground, groundPose, margin, {}, manifolds);
                std::vector<Vector3> points;
                for (int m = 0; m < count; ++m)
                    for (int k = 0; k < manifolds[m].pointCount; ++k)
                        points.push_back(manifolds[m].points[k].position);
                for (const Vector3& corner : cubeHull().vertices) {
                    const Vector3 world = cubePose.rotation * corner + cubePose.position;
                    if (world.y - height(world.x, world.z) > 0.5f * margin)
                        continue;
                    ++cornersChecked;
                    // Within the outline seen from above: no side of it with the corner beyond.
                    PointOutline outline({0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -1.0f});
                    for (const Vector3& p : points)
                        outline.add(p);
                    outline.close();
                    EXPECT_TRUE(outline.contains(world, 0.02f)) << "corner at " << world.x << ", " << world.z;
                }
            }
    EXPECT_GT(cornersChecked, 100);
}

// The outline of a few points seen along a plane's normal: points within it
// or on its sides are inside, points beyond a side by more than the
// tolerance are not, and points in a line span nothing.
TEST(PointOutline, HoldsWhatLiesWithinItsCornersAndNothingWhenFlat)
{
    // A square of side 2 tilted about x, seen along its own normal, with
    // points inside it and above it that add no corner.
    const Vector3 u(1.0f, 0.0f, 0.0f);
    const Vector3 v = normalized(Vector3(0.0f, 0.5f, 1.0f));
    const Vector3 normal = cross(u, v);
    PointOutline square({0.0f, 0.0f, 0.0f}, u, v);
    for (const Vector3 p : {u + v, u - v, v - u, -u - v, 0.3f * u, v * 0.9f + normal * 4.0f})
        square.add(p);
    square.close();
    EXPECT_TRUE(square.contains(0.5f * u - 0.5f * v + normal * 2.0f, 0.0f));
    EXPECT_TRUE(square.contains(u + 0.2f * v, 1e-4f));
    EXPECT_TRUE(square.contains(1.0005f * u, 1e-3f));
    EXPECT_FALSE(square.contains(1.002f * u, 1e-3f));
    EXPECT_FALSE(square.contains(u + v * 1.01f, 1e-3f));

    PointOutline line({0.0f, 0.0f, 0.0f}, u, v);
    for (const float t : {-1.0f, 0.0f, 2.0f})
        line.add(u * t + v * t);
    line.close();
    EXPECT_FALSE(line.contains({0.0f, 0.0f, 0.0f}, 1e-3f));
}
