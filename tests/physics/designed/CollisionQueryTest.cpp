// The two-body collision query end to end: the shipped cube and floor models,
// the bounding-sphere sweep, the descent through shape trees and its averaging.
#include "physics/designed/CollisionQuery.h"

#include "BoxModels.h"
#include "math/Quaternion.h"
#include "physics/body/PhysicalModel.h"
#include "physics/body/PhysicalObject.h"
#include "physics/designed/PhysicalObjectCollisionSolver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace Tolvane;
using namespace Tolvane::Physics;
using namespace Tolvane::Physics::Collision;
using Tolvane::Math::Quaternion;
using Tolvane::Math::Vector3;
using Tolvane::Physics::Testing::boxPart;
using Tolvane::Physics::Testing::cubePart;
using Tolvane::Physics::Testing::groupPart;

namespace {

constexpr float dt = 0.025f;
constexpr float pi = 3.14159265358979f;

std::shared_ptr<PhysicalModel> shippedCube()
{
    static const auto model = loadPhysicalModel(TOLVANE_DATA_DIR "/SimpleCube.ac");
    return model;
}

std::shared_ptr<PhysicalModel> shippedFloor()
{
    static const auto model = loadPhysicalModel(TOLVANE_DATA_DIR "/Floor.ac");
    return model;
}

std::shared_ptr<PhysicalObject> makeBody(const std::shared_ptr<PhysicalModel>& model, const Vector3& position,
                                         const Quaternion& orientation = Quaternion())
{
    auto body = std::make_shared<PhysicalObject>(model);
    body->transform = Math::Transform(position, orientation);
    return body;
}

/// Runs one query with a fresh stamp, as each universe step does.
PhysicalObjectCollisionSolver query(const std::shared_ptr<PhysicalObject>& a, const Vector3& velocityA,
                                    const std::shared_ptr<PhysicalObject>& b, const Vector3& velocityB)
{
    static std::int32_t stamp = 100;
    PhysicalObjectCollisionSolver solver(a, b);
    testBodies(solver, velocityA, velocityB, dt, ++stamp);
    return solver;
}

void expectVectorNear(const Vector3& expected, const Vector3& actual, float tolerance)
{
    EXPECT_NEAR(expected.x, actual.x, tolerance);
    EXPECT_NEAR(expected.y, actual.y, tolerance);
    EXPECT_NEAR(expected.z, actual.z, tolerance);
}

/// The rotation that stands the cube on its corner (-1, -1, -1).
Quaternion cornerDown()
{
    return Math::fromAxisAngle(Math::normalized({-1.0f, 0.0f, 1.0f}), std::acos(1.0f / std::sqrt(3.0f)));
}

/// A regular octahedron part: corners at one unit on each axis, 8 outward faces.
std::shared_ptr<PhysicalModel> octahedronPart(const Vector3& location)
{
    const std::vector<Vector3> vertices{{1.0f, 0.0f, 0.0f},  {-1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f},
                                        {0.0f, -1.0f, 0.0f}, {0.0f, 0.0f, 1.0f},  {0.0f, 0.0f, -1.0f}};
    std::vector<ModelSurface> surfaces;
    for (std::uint16_t x : {0, 1}) {
        for (std::uint16_t y : {2, 3}) {
            for (std::uint16_t z : {4, 5}) {
                ModelSurface s;
                s.vertexIndex = {x, y, z};
                const Vector3 n = cross(vertices[y] - vertices[x], vertices[z] - vertices[x]);
                if (dot(n, vertices[x] + vertices[y] + vertices[z]) < 0.0f)
                    s.vertexIndex = {x, z, y};
                surfaces.push_back(s);
            }
        }
    }
    auto part = std::make_shared<PhysicalModel>(vertices, surfaces, location);
    part->setKids({});
    return part;
}

} // namespace

TEST(CollisionQueryFloor, FlatCubeFallingOntoTheFloor)
{
    struct Case {
        float gap;
        float speed;
        float x;
        float z;
    };
    // No corner of the cube lies over the diagonal (x = z) that splits the
    // floor's top face into two triangles: a corner landing exactly on that
    // edge adds an edge-edge contact whose normal is not vertical. The last
    // cube moves 10 units in the step from 2 units up: it is caught, not
    // tunnelled through.
    for (const Case c :
         {Case{0.1f, 5.0f, 0.3f, -0.6f}, Case{0.05f, 10.0f, 3.5f, -7.25f}, Case{0.2f, 8.5f, -20.0f, 12.0f},
          Case{0.001f, 1.0f, 1.0f, 0.5f}, Case{2.0f, 400.0f, 0.0f, 0.0f}}) {
        SCOPED_TRACE(testing::Message() << "gap " << c.gap << " speed " << c.speed);
        auto floor = makeBody(shippedFloor(), Vector3());
        auto cube = makeBody(shippedCube(), {c.x, 1.0f + c.gap, c.z});
        const auto solver = query(floor, Vector3(), cube, {0.0f, -c.speed, 0.0f});
        ASSERT_TRUE(solver.collided);
        EXPECT_NEAR(c.gap / c.speed, solver.contact.time, 1e-4f);
        expectVectorNear({0.0f, 1.0f, 0.0f}, solver.contact.normal, 1e-5f);
        EXPECT_NEAR(0.0f, solver.contact.point.y, 1e-4f);
        EXPECT_LE(std::fabs(solver.contact.point.x - c.x), 1.0f);
        EXPECT_LE(std::fabs(solver.contact.point.z - c.z), 1.0f);
        EXPECT_EQ(0.0f, solver.contact.depth);
        EXPECT_EQ(-1.0f, solver.impulse);
    }
}

// The floor's origin lies on its top face, so whether a landing point counts
// as above or below it is down to the rounding of the point; the normal must
// point up all the same, or the response lets the block into the floor.
TEST(CollisionQueryFloor, LandingNormalPointsUpWhereverTheCubeLands)
{
    int landings = 0;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            // x - z is never 0 or 2 apart, so no corner lands on the top face's diagonal.
            const float x = -25.0f + 6.3f * static_cast<float>(i) + 0.37f;
            const float z = -25.0f + 6.3f * static_cast<float>(j) + 0.11f * static_cast<float>(i % 3);
            const float gap = 0.013f + 0.029f * static_cast<float>((i * 8 + j) % 7);
            const float speed = (i + j) % 2 == 0 ? 400.0f : 9.0f + static_cast<float>(j);
            auto floor = makeBody(shippedFloor(), Vector3());
            auto cube = makeBody(shippedCube(), {x, 1.0f + gap, z});
            const auto solver = query(floor, Vector3(), cube, {0.0f, -speed, 0.0f});
            SCOPED_TRACE(testing::Message()
                         << "x " << x << " z " << z << " gap " << gap << " speed " << speed);
            ASSERT_TRUE(solver.collided);
            EXPECT_EQ(Vector3(0.0f, 1.0f, 0.0f), solver.contact.normal);
            ++landings;
        }
    }
    EXPECT_EQ(64, landings);
}

TEST(CollisionQueryFloor, TurnedCubeTouchesAtItsLowestEdgeOrCorner)
{
    const float gap = 0.1f;
    const float speed = 6.0f;
    const float x = 2.0f;
    const float z = -1.5f;
    {
        SCOPED_TRACE("edge down: turned 45 degrees about z, the lowest edge runs along z");
        auto floor = makeBody(shippedFloor(), Vector3());
        auto cube =
            makeBody(shippedCube(), {x, std::sqrt(2.0f) + gap, z}, Math::fromAxisAngle({0, 0, 1}, pi / 4));
        const auto solver = query(floor, Vector3(), cube, {0.0f, -speed, 0.0f});
        ASSERT_TRUE(solver.collided);
        EXPECT_NEAR(gap / speed, solver.contact.time, 1e-4f);
        expectVectorNear({0.0f, 1.0f, 0.0f}, solver.contact.normal, 1e-5f);
        EXPECT_NEAR(x, solver.contact.point.x, 1e-3f);
        EXPECT_NEAR(0.0f, solver.contact.point.y, 1e-4f);
        EXPECT_LE(std::fabs(solver.contact.point.z - z), 1.0f);
    }
    {
        SCOPED_TRACE("corner down");
        auto floor = makeBody(shippedFloor(), Vector3());
        auto cube = makeBody(shippedCube(), {x, std::sqrt(3.0f) + gap, z}, cornerDown());
        const auto solver = query(floor, Vector3(), cube, {0.0f, -speed, 0.0f});
        ASSERT_TRUE(solver.collided);
        EXPECT_NEAR(gap / speed, solver.contact.time, 1e-4f);
        expectVectorNear({0.0f, 1.0f, 0.0f}, solver.contact.normal, 1e-5f);
        expectVectorNear({x, 0.0f, z}, solver.contact.point, 1e-3f);
    }
}

TEST(CollisionQueryCubes, CubesApproachingAlongX)
{
    struct Case {
        Vector3 velocityA;
        Vector3 velocityB;
        float gap;
    };
    // Either body may move; only the relative velocity counts. The last pair
    // starts 8 units apart: the spheres miss by 6.5 units at rest but not at
    // 400 units/s.
    for (const Case c :
         {Case{Vector3(), {-8.0f, 0.0f, 0.0f}, 0.1f}, Case{{8.0f, 0.0f, 0.0f}, Vector3(), 0.1f},
          Case{{3.0f, 0.0f, 0.0f}, {-5.0f, 0.0f, 0.0f}, 0.16f},
          Case{Vector3(), {-400.0f, 0.0f, 0.0f}, 8.0f}}) {
        SCOPED_TRACE(c.gap);
        auto a = makeBody(shippedCube(), {0.0f, 5.0f, 0.0f});
        auto b = makeBody(shippedCube(), {2.0f + c.gap, 5.3f, -0.2f});
        const auto solver = query(a, c.velocityA, b, c.velocityB);
        ASSERT_TRUE(solver.collided);
        EXPECT_NEAR(c.gap / (c.velocityA.x - c.velocityB.x), solver.contact.time, 1e-4f);
        expectVectorNear({1.0f, 0.0f, 0.0f}, solver.contact.normal, 1e-5f);
        const float meetingX = 1.0f + c.velocityA.x * solver.contact.time;
        EXPECT_NEAR(meetingX, solver.contact.point.x, 1e-3f);
        EXPECT_EQ(c.velocityA, solver.predictedVelocityA);
        EXPECT_EQ(c.velocityB, solver.predictedVelocityB);
    }
}

TEST(CollisionQueryCubes, OverlappingCubesReportTheirDepth)
{
    // B sits centred on A, sunk 0.1 into it: B's bottom face is at y = 0.9, A's
    // top at y = 1, and their side faces share planes. The triangle pairs that
    // cut each other give points on the band 0.9 <= y <= 1 around the four
    // sides, so the points' box centre is (0, 0.95, 0). Turned away from A's
    // origin, 24 of their normals point up, and of the side normals 5 point to
    // +x, 3 to -x, 5 to +z and 3 to -z (the two triangulations of a side are
    // not mirror images), so the normal is (2, 24, 2) / sqrt(584). B's deepest
    // vertex behind the point along it is (-1, 0.9, -1), at a depth of
    // (2 * 1 + 24 * 0.05 + 2 * 1) / sqrt(584) = 5.2 / sqrt(584).
    auto a = makeBody(shippedCube(), Vector3());
    auto b = makeBody(shippedCube(), {0.0f, 1.9f, 0.0f});
    const auto solver = query(a, Vector3(), b, Vector3());
    ASSERT_TRUE(solver.collided);
    EXPECT_EQ(0.0f, solver.contact.time);
    const float length = std::sqrt(584.0f);
    expectVectorNear({2.0f / length, 24.0f / length, 2.0f / length}, solver.contact.normal, 1e-5f);
    expectVectorNear({0.0f, 0.95f, 0.0f}, solver.contact.point, 1e-5f);
    EXPECT_NEAR(5.2f / length, solver.contact.depth, 1e-5f);
}

TEST(CollisionQueryMisses, BodiesMovingApartOrOutOfReach)
{
    struct Case {
        const char* name;
        Vector3 position;
        Vector3 velocity;
        bool spheresMeet;
    };
    for (const Case c : {Case{"rising off the floor", {0.0f, 1.05f, 0.0f}, {0.0f, 3.0f, 0.0f}, true},
                         Case{"sliding away sideways", {0.0f, 1.5f, 0.0f}, {40.0f, 0.0f, 0.0f}, true},
                         Case{"spheres apart", {0.0f, 50.0f, 0.0f}, {0.0f, -10.0f, 0.0f}, false}}) {
        SCOPED_TRACE(c.name);
        auto floor = makeBody(shippedFloor(), Vector3());
        auto cube = makeBody(shippedCube(), c.position);
        PhysicalObjectCollisionSolver solver(floor, cube);
        solver.collided = true;
        solver.separating = true;
        solver.impulse = 2.0f;
        const CollisionContact before = solver.contact;
        testBodies(solver, Vector3(), c.velocity, dt, 3);
        EXPECT_FALSE(solver.collided);
        EXPECT_FALSE(solver.separating);
        EXPECT_EQ(-1.0f, solver.impulse);
        EXPECT_EQ(c.velocity, solver.predictedVelocityB);
        EXPECT_EQ(before.normal, solver.contact.normal);
        EXPECT_EQ(before.point, solver.contact.point);
        EXPECT_EQ(before.depth, solver.contact.depth);
        // The time is preset only for pairs that pass the sphere test.
        EXPECT_EQ(c.spheresMeet ? dt + 0.0001f : before.time, solver.contact.time);
    }
}

TEST(CollisionQuerySpheres, SpheresExactlyTouchingPassOnToTheBoxes)
{
    // The contact time is preset only for pairs that pass the sphere test.
    const float reach = shippedCube()->radius() * 2.0f;
    for (const float distance : {reach, std::nextafter(reach, 100.0f)}) {
        SCOPED_TRACE(distance);
        auto a = makeBody(shippedCube(), Vector3());
        auto b = makeBody(shippedCube(), {distance, 0.0f, 0.0f});
        const auto solver = query(a, Vector3(), b, Vector3());
        EXPECT_FALSE(solver.collided);
        EXPECT_EQ(distance == reach ? dt + 0.0001f : 0.0f, solver.contact.time);
    }
}

TEST(CollisionQueryTrees, EachLevelAveragesOnlyItsChildrenThatFoundContact)
{
    // B: a pair of cubes 3 apart under one group at x = -4, a cube at x = +4, and
    // a cube 3 units up that does not reach the floor within the step. The
    // pair's group reports its midpoint (-4); the root averages that with +4.
    // Weighting by leaves or counting the missing kid would pull x off 0.
    auto pair = groupPart({cubePart({-1.5f, 0.0f, 0.0f}), cubePart({1.5f, 0.0f, 0.0f})}, {-4.0f, 0.0f, 0.0f});
    auto tree = groupPart({pair, cubePart({0.0f, 3.0f, 0.0f}), cubePart({4.0f, 0.0f, 0.0f})});
    auto floor = makeBody(shippedFloor(), Vector3());
    auto body = makeBody(tree, {1.0f, 1.1f, 2.0f});
    const auto solver = query(floor, Vector3(), body, {0.0f, -5.0f, 0.0f});
    ASSERT_TRUE(solver.collided);
    EXPECT_NEAR(0.02f, solver.contact.time, 1e-4f);
    expectVectorNear({0.0f, 1.0f, 0.0f}, solver.contact.normal, 1e-5f);
    expectVectorNear({1.0f, 0.0f, 2.0f}, solver.contact.point, 1e-3f);
}

// Two octahedra of one spinning body, one above a slab and one below it, reach
// the slab's top and bottom faces at the same moment: their normals are exactly
// opposed and cancel. Such a node has no usable contact and reports none.
TEST(CollisionQueryTrees, ChildrenWithOpposedNormalsGiveNoContact)
{
    auto slab = makeBody(boxPart({-10.0f, -0.5f, -10.0f}, {10.0f, 0.5f, 10.0f}), Vector3());
    const auto above = [] { return octahedronPart({3.0f, 1.625f, 0.0f}); };
    const auto below = [] { return octahedronPart({-3.0f, -1.625f, 0.0f}); };
    // Spinning about z at 10 rad/s: the upper tip moves down at 30 units/s, the
    // lower one up, each 0.125 from the slab.
    const Vector3 spin(0.0f, 0.0f, -10.0f);
    auto run = [&](const std::shared_ptr<PhysicalModel>& tree) {
        auto body = makeBody(tree, Vector3());
        body->angularVelocity = spin;
        return query(slab, Vector3(), body, Vector3());
    };

    const auto onlyAbove = run(groupPart({above()}));
    ASSERT_TRUE(onlyAbove.collided);
    EXPECT_NEAR(0.125f / 30.0f, onlyAbove.contact.time, 1e-6f);
    EXPECT_EQ(Vector3(0.0f, 1.0f, 0.0f), onlyAbove.contact.normal);

    const auto onlyBelow = run(groupPart({below()}));
    ASSERT_TRUE(onlyBelow.collided);
    EXPECT_EQ(onlyAbove.contact.time, onlyBelow.contact.time);
    EXPECT_EQ(Vector3(0.0f, -1.0f, 0.0f), onlyBelow.contact.normal);

    PhysicalObjectCollisionSolver both(nullptr, nullptr);
    ASSERT_NO_THROW(both = run(groupPart({above(), below()})));
    EXPECT_FALSE(both.collided);
}
