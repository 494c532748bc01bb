// A corner landing on a face meets that face, whatever the face's turn and
// wherever the face's triangulation puts its inner diagonal: the contact normal
// is the face's normal, not the direction of one of its triangle edges.
#include "math/Quaternion.h"
#include "math/Transform.h"
#include "physics/designed/CollisionConstants.h"
#include "physics/designed/TriangleContact.h"
#include "physics/designed/TrianglePairTests.h"

#include "TestTriangle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

using namespace Tolvane::Physics;
using namespace Tolvane::Physics::Collision;
using Tolvane::Math::Transform;
using Tolvane::Math::Vector3;
using Tolvane::Physics::Collision::Testing::Triangle;

namespace {

/// A triangle of model-space corners placed by pose the way a body's polyhedron
/// places its vertices: turned, then moved.
Triangle placed(Transform pose, const Vector3& c0, const Vector3& c1, const Vector3& c2)
{
    return Triangle(pose.rotate(c0) + pose.position, pose.rotate(c1) + pose.position,
                    pose.rotate(c2) + pose.position);
}

/// The unit normal of the contact of b (moving with u) against the resting a,
/// when the pair meets at landingTime (as the leaf test gathers contacts: within
/// the simultaneous-contact tolerance) and yields a contact. A pair that only
/// seems to meet later, after the bodies would have met elsewhere, is left out.
std::optional<Vector3> contactNormal(const Triangle& a, const Triangle& b, const Vector3& u,
                                     float landingTime)
{
    TriangleContactState state;
    state.time = noContactTime;
    Vector3 q;
    if (!findTriangleContactTime(a.ref(), b.ref(), u, landingTime, state, q) ||
        std::fabs(state.time - landingTime) > simultaneousContactTime)
        return std::nullopt;
    Vector3 point;
    Vector3 normal;
    if (!computeTriangleContact({a.ref(), state.first, Vector3()}, {b.ref(), state.second, u}, state.side,
                                state.time, point, normal))
        return std::nullopt;
    return Tolvane::Math::normalized(normal);
}

/// Cosine of the largest angle accepted between a normal and the face normal (about 0.1 degree).
constexpr float alongFaceNormal = 0.999998f;

// The top face of a unit cube, (-1, 1, -1), (-1, 1, 1), (1, 1, 1), and a side
// triangle of a second cube whose lowest corner is (-1, -1, -1).
const Vector3 topCorners[3] = {{-1.0f, 1.0f, -1.0f}, {-1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f}};
const Vector3 sideCorners[3] = {{-1.0f, -1.0f, -1.0f}, {-1.0f, 1.0f, 1.0f}, {-1.0f, 1.0f, -1.0f}};

} // namespace

TEST(FlatContact, CornerLandingOnATurnedFaceGetsTheFaceNormal)
{
    // Both cubes turned alike; the upper one's lowest corner comes down along the
    // lower one's up axis onto the middle of its top triangle. Turned off the
    // world axes, the three corners of the top triangle still lie flat on their
    // own normal and the corner meets the face.
    struct Turn {
        Vector3 axis;
        float angle;
    };
    const Turn turns[] = {{{1.0f, 0.0f, 0.0f}, 0.3f},    {{0.0f, 0.0f, 1.0f}, -0.05f},
                          {{1.0f, 2.0f, 3.0f}, 0.7f},    {{-2.0f, 1.0f, 0.5f}, 1.1f},
                          {{0.3f, -1.0f, 0.2f}, 0.004f}, {{1.0f, 1.0f, 0.0f}, 2.5f}};
    for (const Turn& turn : turns) {
        Transform lowerPose;
        lowerPose.position = {2.4128f, -3.8374f, 4.9128f};
        lowerPose.orientation =
            Tolvane::Math::fromAxisAngle(Tolvane::Math::normalized(turn.axis), turn.angle);
        lowerPose.dirty = true;
        Transform upperPose = lowerPose;
        upperPose.position = lowerPose.position + lowerPose.rotate({0.3f, 2.5f, 0.4f});
        upperPose.dirty = true;

        const Triangle top = placed(lowerPose, topCorners[0], topCorners[1], topCorners[2]);
        const Triangle side = placed(upperPose, sideCorners[0], sideCorners[1], sideCorners[2]);
        const Vector3 up = lowerPose.rotate({0.0f, 1.0f, 0.0f});
        const std::string what = "turn " + std::to_string(turn.angle);

        // Half a unit apart along the up axis at 13 units/s.
        const std::optional<Vector3> normal = contactNormal(top, side, up * -13.0f, 0.5f / 13.0f);
        ASSERT_TRUE(normal.has_value()) << what;
        EXPECT_GT(std::fabs(dot(*normal, up)), alongFaceNormal) << what;
    }
}

TEST(FlatContact, CornerOnTheDiagonalOfASplitFaceGetsTheFaceNormal)
{
    // The floor's top face at y = -7, split along x = z into two triangles, and
    // an upright cube falling with its centre over that diagonal: two of its
    // bottom corners land exactly on the inner edge. Axes through that edge
    // reach the same contact time as the face's own normal; whichever wins by
    // rounding, the contact must still be the corner on the face.
    const Triangle floorHalves[2] = {
        Triangle({-30.0f, -7.0f, -30.0f}, {-30.0f, -7.0f, 30.0f}, {30.0f, -7.0f, 30.0f}),
        Triangle({-30.0f, -7.0f, -30.0f}, {30.0f, -7.0f, 30.0f}, {30.0f, -7.0f, -30.0f})};
    // The cube's side faces as SimpleCube.ac splits them.
    const Vector3 corner[8] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                               {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
    const int sideFaces[8][3] = {{4, 5, 6}, {4, 6, 7}, {0, 2, 1}, {0, 3, 2},
                                 {1, 2, 6}, {1, 6, 5}, {0, 4, 7}, {0, 7, 3}};
    const Vector3 fall(0.0f, -12.998f, 0.0f);
    int contacts = 0;

    for (const float onDiagonal : {4.9477f, 7.5913f, 9.9206f, -2.4617f, 0.0731f}) {
        for (const float height : {-5.8418f, -5.6982f, -5.8688f}) {
            Transform pose;
            pose.position = {onDiagonal, height, onDiagonal};
            for (const auto& f : sideFaces) {
                const Triangle side = placed(pose, corner[f[0]], corner[f[1]], corner[f[2]]);
                for (const Triangle& half : floorHalves) {
                    const std::optional<Vector3> normal =
                        contactNormal(half, side, fall, (height - 1.0f + 7.0f) / -fall.y);
                    if (!normal)
                        continue;
                    ++contacts;
                    EXPECT_GT(std::fabs(normal->y), alongFaceNormal)
                        << "cube at " << onDiagonal << ", " << height << ", face " << f[0] << f[1] << f[2]
                        << ": normal " << normal->x << ", " << normal->y << ", " << normal->z;
                }
            }
        }
    }
    EXPECT_GE(contacts, 15) << "each landing yields its corner on the floor";
}

// Overlapping on the first axis and touching a hair later on the second: the
// contact is a real one, a moment into the step, and must say which side B
// comes from, however close that moment is to the start.
TEST(FlatContact, ContactJustAfterTheStartKeepsItsSide)
{
    // A lies in the plane y = 0 with its corner at x = 1; B stands upright just
    // beyond that corner and moves towards it along -x.
    const Triangle a({0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f});
    const float gap = 1e-6f;
    const Triangle b({1.0f + gap, -1.0f, -0.5f}, {1.0f + gap, 1.0f, -0.5f}, {1.0f + gap, 0.0f, 0.5f});
    const Vector3 u(-2.0f, 0.0f, 0.0f);

    TriangleContactState state;
    state.time = noContactTime;
    Vector3 q;
    ASSERT_TRUE(findTriangleContactTime(a.ref(), b.ref(), u, 0.025f, state, q));
    ASSERT_GT(state.time, 0.0f);
    ASSERT_LT(state.time, tiedAxisTime);
    EXPECT_NE(state.side, Overlapping);

    Vector3 point;
    Vector3 normal;
    ASSERT_TRUE(computeTriangleContact({a.ref(), state.first, Vector3()}, {b.ref(), state.second, u},
                                       state.side, state.time, point, normal));
    EXPECT_NEAR(point.x, 1.0f, 1e-5f);
    EXPECT_NEAR(point.y, 0.0f, 1e-5f);
    EXPECT_NEAR(point.z, 0.0f, 1e-5f);
    EXPECT_GT(std::fabs(normalized(normal).x), 0.999f);
}
