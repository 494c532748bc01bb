// Boxes among the hulls: which hulls are taken for boxes, and the separating
// axes found through a box's three directions against those found through
// every face and edge of the same hulls.
#include "geometry/HullBox.h"
#include "geometry/HullSeparation.h"

#include "HullTestHelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace Tolvane::Physics::Collision;
using namespace Tolvane::Physics::Collision::Testing;
using Tolvane::Math::Matrix3;
using Tolvane::Math::toMatrix3;
using Tolvane::Math::Vector3;

namespace {

/// A box of the given half extents, turned and moved, as a hull built from its corners.
ConvexHull turnedBox(const Vector3& half, const Matrix3& turn, const Vector3& shift)
{
    std::vector<Vector3> corners;
    for (int c = 0; c < 8; ++c)
        corners.push_back(
            turn * Vector3(c & 1 ? half.x : -half.x, c & 2 ? half.y : -half.y, c & 4 ? half.z : -half.z) +
            shift);
    return *buildConvexHull(corners);
}

ConvexHull plank()
{
    return turnedBox({2.0f, 0.25f, 0.5f}, toMatrix3(turn({1, 2, 3}, 0.7f)), {0.3f, -0.2f, 0.1f});
}

ConvexHull withoutBox(ConvexHull hull)
{
    hull.box.reset();
    return hull;
}

} // namespace

TEST(HullBox, BlocksAreBoxesWithTheirEdgesInPlace)
{
    const ConvexHull plankHull = plank();
    for (const ConvexHull* hull : {&cubeHull(), &floorHull(), &plankHull}) {
        ASSERT_TRUE(hull->box.has_value());
        const HullBox& box = *hull->box;
        float volume = 8.0f;
        for (int k = 0; k < 3; ++k) {
            volume *= box.halfExtents[k];
            EXPECT_NEAR(std::fabs(dot(box.axes[k], box.axes[(k + 1) % 3])), 0.0f, 1e-6f);
        }
        EXPECT_NEAR(volume, hull->mass.volume, 1e-4f * volume);
        for (int f = 0; f < 6; ++f) {
            const Vector3 axis = box.axes[box.faceAxis[f]];
            EXPECT_NEAR(dot(hull->faces[f].normal, axis), box.facePositive[f] ? 1.0f : -1.0f, 1e-6f);
        }
        // Each edge slot holds the edge along its axis on the slot's sides of the other two.
        for (int k = 0; k < 3; ++k)
            for (int sides = 0; sides < 4; ++sides) {
                const HullEdge& edge = hull->edges[box.edgeAt[k][sides]];
                EXPECT_NEAR(std::fabs(dot(edge.direction, box.axes[k])), 1.0f, 1e-6f);
                const Vector3 middle =
                    (hull->vertices[edge.vertices[0]] + hull->vertices[edge.vertices[1]]) * 0.5f - box.centre;
                EXPECT_EQ(dot(middle, box.axes[(k + 1) % 3]) > 0.0f, (sides & 1) != 0);
                EXPECT_EQ(dot(middle, box.axes[(k + 2) % 3]) > 0.0f, (sides & 2) != 0);
            }
    }
    EXPECT_NEAR(plankHull.box->centre.x, 0.3f, 1e-5f);
    EXPECT_NEAR(plankHull.box->centre.y, -0.2f, 1e-5f);
}

TEST(HullBox, OtherHullsAreNotBoxes)
{
    // A sheared block has six four-cornered faces in opposite pairs, but not at right angles.
    Matrix3 shear;
    shear.column[1] = {0.01f, 1.0f, 0.0f};
    const ConvexHull sheared = turnedBox({1, 1, 1}, shear, {});
    ASSERT_EQ(sheared.faces.size(), 6u);
    EXPECT_FALSE(sheared.box.has_value());
    EXPECT_FALSE(buildConvexHull({{-1, 0, -1}, {1, 0, -1}, {1, 0, 1}, {-1, 0, 1}})->box.has_value());
    EXPECT_FALSE(
        buildConvexHull({{-1, 0, -1}, {1, 0, -1}, {1, 0, 1}, {-1, 0, 1}, {0, 1.5f, -1}, {0, 1.5f, 1}})
            ->box.has_value());
}

TEST(HullSeparation, BoxesGiveTheAxesOfTheSearchOverEveryFaceAndEdge)
{
    // Box pairs and a box against a flat triangle and a wedge, at random
    // poses, once fresh and once a little moved with each path's own cache:
    // the box path must pick the same feature at the same separation.
    std::vector<ConvexHull> boxes{cubeHull(), plank()};
    std::vector<ConvexHull> others{
        cubeHull(), plank(), *buildConvexHull({{-2, 0, -1}, {2, 0.2f, -1}, {0, 0, 2}}),
        *buildConvexHull({{-1, 0, -1}, {1, 0, -1}, {1, 0, 1}, {-1, 0, 1}, {0, 1.5f, -1}, {0, 1.5f, 1}})};
    std::mt19937 engine(5);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    const float margin = 0.05f;
    int touching = 0, edgePairs = 0;
    for (int round = 0; round < 3000; ++round) {
        const ConvexHull& a = boxes[round % boxes.size()];
        const ConvexHull& b = others[(round / boxes.size()) % others.size()];
        const ConvexHull generalA = withoutBox(a), generalB = withoutBox(b);
        const Vector3 direction = Tolvane::Math::normalized({unit(engine), unit(engine), unit(engine)});
        const HullPose pa =
            pose({}, turn({unit(engine), unit(engine), unit(engine) + 1.5f}, 3.0f * unit(engine)));
        HullPose pb = pose(direction * (1.0f + 2.0f * std::fabs(unit(engine))),
                           turn({unit(engine) + 1.5f, unit(engine), unit(engine)}, 3.0f * unit(engine)));
        SeparatingAxisCache boxCache, generalCache;
        for (int move = 0; move < 2; ++move) {
            SCOPED_TRACE(testing::Message() << "round " << round << " move " << move);
            const SeparatingAxis expected =
                findSeparatingAxis(generalA, pa, generalB, pb, margin, generalCache);
            const SeparatingAxis found = findSeparatingAxis(a, pa, b, pb, margin, boxCache);
            if (expected.separation > margin) {
                EXPECT_GT(found.separation, margin);
            } else {
                EXPECT_EQ(found.kind, expected.kind);
                EXPECT_EQ(found.indexA, expected.indexA);
                EXPECT_EQ(found.indexB, expected.indexB);
                EXPECT_NEAR(found.separation, expected.separation, 1e-4f);
                ++touching;
                edgePairs += expected.kind == AxisKind::EdgePair;
            }
            pb.position += Vector3(unit(engine), unit(engine), unit(engine)) * 0.02f;
        }
    }
    EXPECT_GT(touching, 1000);
    EXPECT_GT(edgePairs, 200);
}
