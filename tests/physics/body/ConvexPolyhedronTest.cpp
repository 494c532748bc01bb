// World-space polyhedra: box placement, vertices and normals, kid offsets and the stamps.
#include "physics/body/ConvexPolyhedron.h"

#include "BoxModels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

namespace Tolvane::Physics {
namespace {

using Math::Quaternion;
using Math::Transform;
using Math::Vector3;
using Testing::boxPart;
using Testing::cubePart;
using Testing::groupPart;

constexpr float quarterTurn = 1.57079632679f;
constexpr float halfTurn = 3.14159265359f;
constexpr float tolerance = 1e-5f;

void expectNear(const Vector3& actual, const Vector3& expected)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

Transform pose(const Vector3& position, const Vector3& axis, float angle)
{
    return Transform(position, Math::fromAxisAngle(Math::normalized(axis), angle));
}

// One counter-clockwise triangle in the z = 0 plane, normal +z.
std::shared_ptr<PhysicalModel> trianglePart()
{
    ModelSurface surface;
    surface.vertexIndex = {0, 1, 2};
    auto part = std::make_shared<PhysicalModel>(
        std::vector<Vector3>{{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}},
        std::vector<ModelSurface>{surface}, Vector3());
    part->setKids({});
    return part;
}

TEST(ConvexPolyhedronConstruction, MirrorsTheModelTreeWithEmptyWorldData)
{
    auto model = groupPart({cubePart({0.0f, 2.0f, 0.0f}), cubePart({1.0f, 0.0f, 0.0f})}, {0.5f, 0.0f, 0.0f});
    ConvexPolyhedron root(Vector3(0.0f, 0.0f, 3.0f), model);
    EXPECT_EQ(root.offset(), Vector3(0.5f, 0.0f, 3.0f));
    EXPECT_TRUE(root.worldVertices().empty());
    ASSERT_EQ(root.kids().size(), 2u);

    ConvexPolyhedron& kid = *root.kids()[0];
    EXPECT_EQ(kid.model(), model->kids()[0]);
    EXPECT_EQ(kid.offset(), Vector3(0.5f, 2.0f, 3.0f));
    EXPECT_EQ(root.kids()[1]->offset(), Vector3(1.5f, 0.0f, 3.0f));
    // World vertices and faces are made when first asked for; a new node is
    // current for stamp 0, so they are all zero then.
    EXPECT_TRUE(kid.worldVertices().empty());
    EXPECT_TRUE(kid.faces().empty());
    Transform body;
    kid.refreshGeometry(body, 0);
    ASSERT_EQ(kid.worldVertices().size(), 8u);
    for (const Vector3& v : kid.worldVertices())
        EXPECT_EQ(v, Vector3());
    ASSERT_EQ(kid.faces().size(), 12u);
    for (std::size_t i = 0; i < 12; ++i) {
        const auto& surface = kid.model()->surfaces()[i];
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(kid.faces()[i].vertexIndex[k], surface.vertexIndex[k]);
        EXPECT_EQ(kid.faces()[i].normal, Vector3());
    }
    // The node owns a copy of the model's box, so moving it never moves the shared model.
    EXPECT_NE(&kid.boundingBox(), kid.model()->boundingBox().get());
}

TEST(ConvexPolyhedronConstruction, KidsAskedForOnSeveralThreadsAtOnceAreMadeOnce)
{
    auto model = groupPart(
        {groupPart({cubePart({0.0f, 2.0f, 0.0f})}, {1.0f, 0.0f, 0.0f}), cubePart({0.0f, 0.0f, 1.0f})},
        Vector3());
    for (int round = 0; round < 20; ++round) {
        const ConvexPolyhedron root(Vector3(), model);
        constexpr int threads = 4;
        std::vector<const std::vector<std::shared_ptr<ConvexPolyhedron>>*> seen(threads);
        std::vector<const ConvexPolyhedron*> firstKid(threads);
        std::vector<std::thread> askers;
        for (int t = 0; t < threads; ++t)
            askers.emplace_back([&, t] {
                seen[t] = &root.kids();
                firstKid[t] = root.kids()[0].get();
            });
        for (std::thread& asker : askers)
            asker.join();
        for (int t = 0; t < threads; ++t) {
            EXPECT_EQ(seen[t], &root.kids());
            EXPECT_EQ(firstKid[t], root.kids()[0].get());
        }
        ASSERT_EQ(root.kids().size(), 2u);
        // The grandchild's offset adds up along the tree.
        ASSERT_EQ(root.kids()[0]->kids().size(), 1u);
        EXPECT_EQ(root.kids()[0]->kids()[0]->offset(), Vector3(1.0f, 2.0f, 0.0f));
    }
}

TEST(ConvexPolyhedronConstruction, HighVertexIndicesStayPositive)
{
    std::vector<Vector3> vertices(40001);
    vertices[39999] = {1.0f, 0.0f, 0.0f};
    vertices[40000] = {0.0f, 1.0f, 0.0f};
    ModelSurface surface;
    surface.vertexIndex = {0, 39999, 40000};
    auto model = std::make_shared<PhysicalModel>(vertices, std::vector<ModelSurface>{surface}, Vector3());
    model->setKids({});

    ConvexPolyhedron shape(Vector3(), model);
    Transform identity;
    shape.refreshGeometry(identity, 1);
    ASSERT_EQ(shape.faces().size(), 1u);
    EXPECT_EQ(shape.faces()[0].vertexIndex[2], 40000);
    EXPECT_EQ(shape.faces()[0].normal, Vector3(0.0f, 0.0f, 1.0f));
}

TEST(ConvexPolyhedronBox, BoxFollowsTheBodyPosition)
{
    auto model = cubePart();
    ConvexPolyhedron shape(Vector3(), model);
    Transform body(Vector3(0.0f, -7.0f, 0.0f), Quaternion());
    shape.refreshBox(body, 11);

    const OrientedBoundingBox& box = shape.boundingBox();
    EXPECT_EQ(box.transform.position, Vector3(0.0f, -7.0f, 0.0f));
    EXPECT_EQ(box.transform.orientation, Quaternion());
    EXPECT_TRUE(box.transform.dirty);
    EXPECT_EQ(box.halfExtents, Vector3(1.0f, 1.0f, 1.0f));
    EXPECT_EQ(model->boundingBox()->transform.position, Vector3());
}

TEST(ConvexPolyhedronBox, FrameFollowsEveryPlacementOfTheBox)
{
    ConvexPolyhedron shape(Vector3(), cubePart());
    Transform upright(Vector3(0.0f, -7.0f, 0.0f), Quaternion());
    shape.refreshBox(upright, 11);
    const BoxFrame first = shape.boxFrame();
    expectNear(first.centre, {0.0f, -7.0f, 0.0f});
    expectNear(first.axis[0], {1.0f, 0.0f, 0.0f});
    EXPECT_EQ(first.half[1], 1.0f);

    // The next step the body has moved and turned a quarter about y: the frame
    // read before must not be handed out again.
    Transform turned = pose({2.0f, 3.0f, 4.0f}, {0.0f, 1.0f, 0.0f}, quarterTurn);
    shape.refreshBox(turned, 12);
    const BoxFrame second = shape.boxFrame();
    expectNear(second.centre, {2.0f, 3.0f, 4.0f});
    expectNear(second.axis[0], {0.0f, 0.0f, -1.0f});
    expectNear(second.axis[2], {1.0f, 0.0f, 0.0f});
}

TEST(ConvexPolyhedronBox, OffCentreGroupBoxIsPlacedAtItsTrueCentre)
{
    auto model = groupPart({cubePart({5.0f, 0.0f, 0.0f})});
    ConvexPolyhedron shape(Vector3(), model);
    Transform body = pose({10.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, quarterTurn);
    shape.refreshBox(body, 11);
    ConvexPolyhedron& kid = *shape.kids()[0];
    kid.refreshBox(body, 11);

    // The group's box centre (3, 0, 0) turns with the body; its origin does not move.
    expectNear(shape.boundingBox().transform.position, {10.0f, 0.0f, -3.0f});
    EXPECT_EQ(shape.boundingBox().halfExtents, Vector3(3.0f, 1.0f, 1.0f));
    expectNear(shape.worldOffset(), Vector3());
    expectNear(kid.boundingBox().transform.position, {10.0f, 0.0f, -5.0f});
    expectNear(kid.worldOffset(), {0.0f, 0.0f, -5.0f});
}

TEST(ConvexPolyhedronBox, KidOffsetsAccumulateAndTurnWithTheBody)
{
    auto grandKid = cubePart({1.0f, 0.0f, 0.0f});
    auto kid = boxPart({-1.0f, -1.0f, -1.0f}, {1.0f, 1.0f, 1.0f}, {0.0f, 2.0f, 0.0f}, {grandKid});
    ConvexPolyhedron shape(Vector3(), groupPart({kid}));
    ConvexPolyhedron& kidShape = *shape.kids()[0];
    ConvexPolyhedron& grandKidShape = *kidShape.kids()[0];
    EXPECT_EQ(kidShape.offset(), Vector3(0.0f, 2.0f, 0.0f));
    EXPECT_EQ(grandKidShape.offset(), Vector3(1.0f, 2.0f, 0.0f));

    Transform body = pose({0.0f, 4.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, halfTurn);
    kidShape.refreshBox(body, 11);
    grandKidShape.refreshGeometry(body, 11);
    expectNear(kidShape.worldOffset(), {0.0f, -2.0f, 0.0f});
    // The kid's box reaches out to its own kid: centre (0.5, 0, 0) about the kid's origin.
    expectNear(kidShape.boundingBox().transform.position, {0.5f, 2.0f, 0.0f});
    expectNear(grandKidShape.worldOffset(), {1.0f, -2.0f, 0.0f});
    // Vertex 6 of the grand kid is (1, 1, 1) in its own coordinates: (2, 3, 1) in the body.
    expectNear(grandKidShape.worldVertices()[6], {2.0f, 1.0f, -1.0f});
}

TEST(ConvexPolyhedronGeometry, QuarterTurnMovesVerticesAndTurnsNormals)
{
    ConvexPolyhedron shape(Vector3(), trianglePart());
    Transform body = pose({5.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, quarterTurn);
    shape.refreshGeometry(body, 11);

    expectNear(shape.worldVertices()[0], {5.0f, 0.0f, 0.0f});
    expectNear(shape.worldVertices()[1], {5.0f, 0.0f, -1.0f});
    expectNear(shape.worldVertices()[2], {5.0f, 1.0f, 0.0f});
    // Not normalised: twice the triangle's area (1) along the turned +z, now +x.
    expectNear(shape.faces()[0].normal, {1.0f, 0.0f, 0.0f});
}

TEST(ConvexPolyhedronStamps, SameStampKeepsTheOldWorldData)
{
    ConvexPolyhedron shape(Vector3(), cubePart({0.0f, 2.0f, 0.0f}));
    Transform body(Vector3(1.0f, 0.0f, 0.0f), Quaternion());
    shape.refreshGeometry(body, 11);
    shape.refreshBox(body, 11);
    const std::vector<Vector3> before = shape.worldVertices();
    EXPECT_EQ(before[0], Vector3(0.0f, 1.0f, -1.0f));

    body.position = {4.0f, 0.0f, 0.0f};
    body.rotateWorld({0.0f, 0.0f, quarterTurn});
    shape.refreshGeometry(body, 11);
    shape.refreshBox(body, 11);
    EXPECT_EQ(shape.worldVertices(), before);
    EXPECT_EQ(shape.boundingBox().transform.position, Vector3(1.0f, 2.0f, 0.0f));

    shape.refreshGeometry(body, 12);
    shape.refreshBox(body, 12);
    EXPECT_NE(shape.worldVertices(), before);
    expectNear(shape.boundingBox().transform.position, {2.0f, 0.0f, 0.0f});
}

TEST(ConvexPolyhedronStamps, BoxAndGeometryStampsAreIndependent)
{
    ConvexPolyhedron shape(Vector3(), cubePart({0.0f, 2.0f, 0.0f}));
    Transform upright;
    shape.refreshBox(upright, 11);

    // A geometry refresh with the box's stamp still computes the vertices, but
    // the world offset of that stamp is already known and is not recomputed.
    Transform turned = pose(Vector3(), {1.0f, 0.0f, 0.0f}, halfTurn);
    shape.refreshGeometry(turned, 11);
    expectNear(shape.worldVertices()[0], {-1.0f, -1.0f, 1.0f});
    EXPECT_EQ(shape.worldOffset(), Vector3(0.0f, 2.0f, 0.0f));
    // The box of stamp 11 was placed before the turn and stays there.
    EXPECT_EQ(shape.boundingBox().transform.position, Vector3(0.0f, 2.0f, 0.0f));
}

TEST(ConvexPolyhedronStamps, NewPolyhedronIsCurrentForStampZero)
{
    auto model = boxPart({2.0f, -1.0f, -1.0f}, {4.0f, 1.0f, 1.0f});
    ConvexPolyhedron shape(Vector3(), model);
    Transform body(Vector3(9.0f, 9.0f, 9.0f), Quaternion());
    shape.refreshBox(body, 0);
    shape.refreshGeometry(body, 0);
    ASSERT_EQ(shape.worldVertices().size(), 8u);
    for (const Vector3& v : shape.worldVertices())
        EXPECT_EQ(v, Vector3());
    for (const PolyhedronFace& face : shape.faces())
        EXPECT_EQ(face.normal, Vector3());
    EXPECT_EQ(shape.boundingBox().transform.position, Vector3(3.0f, 0.0f, 0.0f));
    EXPECT_EQ(shape.worldOffset(), Vector3());
}

// Every world vertex of a node and of all its descendants, for the checks below.
void collectWorldVertices(ConvexPolyhedron& node, Transform& body, std::int32_t stamp,
                          std::vector<Vector3>& out)
{
    node.refreshGeometry(body, stamp);
    out.insert(out.end(), node.worldVertices().begin(), node.worldVertices().end());
    for (const auto& kid : node.kids())
        collectWorldVertices(*kid, body, stamp, out);
}

void expectWorldBoxesHoldTheirSubtrees(ConvexPolyhedron& node, Transform& body, std::int32_t stamp)
{
    node.refreshBox(body, stamp);
    std::vector<Vector3> points;
    collectWorldVertices(node, body, stamp, points);
    OrientedBoundingBox& box = node.boundingBox();
    const Math::Axes axes = box.transform.axes();
    const Vector3 axis[3] = {axes.xAxis, axes.yAxis, axes.zAxis};
    const float half[3] = {box.halfExtents.x, box.halfExtents.y, box.halfExtents.z};
    for (const Vector3& p : points)
        for (int i = 0; i < 3; ++i)
            EXPECT_LE(std::fabs(dot(p - box.transform.position, axis[i])), half[i] + 1e-4f)
                << "world point (" << p.x << ", " << p.y << ", " << p.z << ") sticks out along box axis "
                << i;
    for (const auto& kid : node.kids())
        expectWorldBoxesHoldTheirSubtrees(*kid, body, stamp);
}

TEST(ConvexPolyhedronBox, WorldBoxesHoldEveryVertexOfTheirSubtrees)
{
    auto deepest = boxPart({-1.0f, -3.0f, 0.5f}, {1.0f, -1.0f, 2.5f}, {0.0f, -4.0f, 1.0f});
    auto middle = boxPart({2.0f, -1.0f, -1.0f}, {4.0f, 1.0f, 1.0f}, {5.0f, 0.0f, 0.0f}, {deepest});
    auto side = boxPart({-0.5f, -0.5f, 1.0f}, {0.5f, 0.5f, 6.0f}, {-7.0f, 0.0f, 0.0f});
    auto model = boxPart({10.0f, 10.0f, 10.0f}, {11.0f, 12.0f, 13.0f}, {0.0f, 1.0f, 0.0f}, {middle, side});
    ConvexPolyhedron shape(Vector3(), model);

    Transform body = pose({3.0f, -2.0f, 5.0f}, {1.0f, 2.0f, 3.0f}, 0.7f);
    expectWorldBoxesHoldTheirSubtrees(shape, body, 11);
    body = pose({-1.0f, 0.5f, 0.0f}, {-2.0f, 0.5f, 1.0f}, 2.9f);
    expectWorldBoxesHoldTheirSubtrees(shape, body, 12);
}

} // namespace
} // namespace Tolvane::Physics
