// Triangle meshes: the tree's search against brute force, which edges are
// active on flat, ridged, hollow and boxy surfaces, which parts are convex, and
// bad or huge input.
#include "geometry/TriangleMesh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace Tolvane::Physics;
using namespace Tolvane::Physics::Collision;
using Tolvane::Math::Vector3;

namespace {

struct Model {
    std::vector<Vector3> vertices;
    std::vector<TriangleIndices> triangles;

    void quad(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d)
    {
        triangles.push_back({a, b, c});
        triangles.push_back({a, c, d});
    }
};

/// A closed box, faces counter-clockwise from outside (inward when flipped).
/// Corner i has x high for bit 0, y for bit 1, z for bit 2.
Model box(const Vector3& low, const Vector3& high, bool flipped = false)
{
    Model m;
    for (int i = 0; i < 8; ++i)
        m.vertices.push_back({i & 1 ? high.x : low.x, i & 2 ? high.y : low.y, i & 4 ? high.z : low.z});
    const std::int32_t faces[6][4] = {{0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4},
                                      {2, 6, 7, 3}, {0, 2, 3, 1}, {4, 5, 7, 6}};
    for (const auto& f : faces)
        flipped ? m.quad(f[3], f[2], f[1], f[0]) : m.quad(f[0], f[1], f[2], f[3]);
    return m;
}

/// A flat n by n grid of unit squares in the xz plane, facing +y.
Model grid(int n)
{
    Model m;
    for (int i = 0; i <= n; ++i)
        for (int k = 0; k <= n; ++k)
            m.vertices.push_back({float(i), 0.0f, float(k)});
    for (int i = 0; i < n * (n + 1); ++i)
        if (i % (n + 1) < n)
            m.quad(i, i + 1, i + n + 2, i + n + 1);
    return m;
}

/// The same triangles, each with its own three corners.
Model soup(const Model& m)
{
    Model s;
    for (const TriangleIndices& t : m.triangles) {
        const auto first = static_cast<std::int32_t>(s.vertices.size());
        for (const std::int32_t v : t)
            s.vertices.push_back(m.vertices[v]);
        s.triangles.push_back({first, first + 1, first + 2});
    }
    return s;
}

TriangleMesh meshOf(const Model& m)
{
    std::optional<TriangleMesh> mesh = buildTriangleMesh(m.vertices, m.triangles);
    EXPECT_TRUE(mesh.has_value());
    return mesh ? *mesh : TriangleMesh{};
}

int treeDepth(const TriangleTree& tree, std::int32_t node = 0)
{
    const TriangleTreeNode& n = tree.nodes[node];
    return 1 + (n.count > 0 ? 0 : std::max(treeDepth(tree, node + 1), treeDepth(tree, n.first)));
}

} // namespace

TEST(TriangleTree, QueryFindsEveryTriangleWhoseBoxMeetsTheBoxOnce)
{
    std::mt19937 random(20261208);
    std::uniform_real_distribution<float> spot(-10.0f, 10.0f), offset(-1.0f, 1.0f), reach(0.0f, 3.0f);
    Model m;
    for (std::int32_t t = 0; t < 3000; ++t) {
        const Vector3 centre(spot(random), spot(random), spot(random));
        for (int k = 0; k < 3; ++k)
            m.vertices.push_back(centre + Vector3(offset(random), offset(random), offset(random)));
        m.triangles.push_back({3 * t, 3 * t + 1, 3 * t + 2});
    }
    const TriangleMesh mesh = meshOf(m);
    ASSERT_EQ(mesh.triangles.size(), 3000u);
    for (int q = 0; q < 300; ++q) {
        const Vector3 centre(spot(random), spot(random), spot(random));
        const Vector3 half(reach(random), reach(random), reach(random));
        const WorldBox query{centre - half, centre + half};
        std::vector<std::int32_t> expected;
        for (std::int32_t t = 0; t < 3000; ++t) {
            WorldBox own{m.vertices[3 * t], m.vertices[3 * t]};
            for (const Vector3& v : {m.vertices[3 * t + 1], m.vertices[3 * t + 2]}) {
                own.min = {std::min(own.min.x, v.x), std::min(own.min.y, v.y), std::min(own.min.z, v.z)};
                own.max = {std::max(own.max.x, v.x), std::max(own.max.y, v.y), std::max(own.max.z, v.z)};
            }
            if (boxesOverlap(own, query))
                expected.push_back(t);
        }
        std::vector<std::int32_t> found;
        mesh.tree.query(query, found);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, expected) << "query " << q;
    }
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::int32_t> found;
    mesh.tree.query({{nan, 0, 0}, {nan, 1, 1}}, found);
    EXPECT_TRUE(found.empty());
}

TEST(TriangleMeshEdges, FlatGridIsActiveOnlyAroundItsRim)
{
    for (const Model& model : {grid(8), soup(grid(8))}) {
        const TriangleMesh mesh = meshOf(model);
        EXPECT_EQ(mesh.vertices.size(), 81u);
        int rimEdges = 0;
        for (std::int32_t t = 0; t < 128; ++t)
            for (int k = 0; k < 3; ++k) {
                const bool rim = mesh.neighbours[t][k] == TriangleMesh::noNeighbour;
                rimEdges += rim;
                EXPECT_EQ(mesh.isEdgeActive(t, k), rim) << "triangle " << t << " edge " << k;
            }
        EXPECT_EQ(rimEdges, 32);
    }
}

TEST(TriangleMeshEdges, RidgesAreActiveValleysAndGentleBendsAreNot)
{
    // A triangle facing +y with the edge along x, and a second one beyond the
    // edge bent down (a ridge) or up (a valley) by the angle.
    const struct {
        float degrees;
        bool sameWinding;
        bool active;
    } cases[] = {{10, false, true}, {-10, false, false}, {0.5f, false, false}, {-0.5f, false, false},
                 {90, false, true}, {170, false, true},  {-170, false, false}, {0, true, true}};
    for (const auto& c : cases) {
        const float angle = c.degrees * 3.14159265f / 180.0f;
        Model m;
        m.vertices = {{0, 0, 0}, {1, 0, 0}, {0.5f, 0, -1}, {0.5f, -std::sin(angle), std::cos(angle)}};
        m.triangles = {{0, 1, 2}, c.sameWinding ? TriangleIndices{0, 1, 3} : TriangleIndices{1, 0, 3}};
        const TriangleMesh mesh = meshOf(m);
        EXPECT_EQ(mesh.isEdgeActive(0, 0), c.active) << c.degrees << " degrees";
        EXPECT_EQ(mesh.isEdgeActive(1, 0), c.active) << c.degrees << " degrees";
        EXPECT_EQ(mesh.neighbours[0][0], 1);
    }
    // A box: each of its 12 edges active on both its triangles, the face diagonals not.
    const TriangleMesh cube = meshOf(box({0, 0, 0}, {1, 2, 3}));
    int active = 0;
    for (std::int32_t t = 0; t < 12; ++t)
        active += cube.isEdgeActive(t, 0) + cube.isEdgeActive(t, 1) + cube.isEdgeActive(t, 2);
    EXPECT_EQ(active, 24);
}

TEST(TriangleMesh, ClosedPartsWithoutValleysAreConvexOthersNot)
{
    Model dented = box({0, 0, 0}, {2, 2, 2}), bumped = dented, tiny = dented, open = dented,
          twoBoxes = dented;
    // The top face (y = 2) made of four triangles to a middle vertex moved down or up.
    auto reroof = [](Model& m, float height) {
        m.triangles.erase(m.triangles.begin() + 6, m.triangles.begin() + 8);
        m.vertices.push_back({1, height, 1});
        const std::int32_t ring[4] = {2, 6, 7, 3};
        for (int k = 0; k < 4; ++k)
            m.triangles.push_back({ring[k], ring[(k + 1) % 4], 8});
    };
    // Five times the allowed depth, yet hollowing out less than the allowed share of the volume.
    reroof(dented, 1.995f);
    reroof(bumped, 2.4f);
    reroof(tiny, 2.0f - 1e-4f);
    open.triangles.resize(10);
    for (const TriangleIndices& t : box({3, 0, 0}, {4, 1, 1}).triangles)
        twoBoxes.triangles.push_back({t[0] + 8, t[1] + 8, t[2] + 8});
    for (const Vector3& v : box({3, 0, 0}, {4, 1, 1}).vertices)
        twoBoxes.vertices.push_back(v);
    Model channel = box({0, 0, 0}, {1, 1, 4}, true); // the floor and walls, seen from inside
    channel.triangles = {channel.triangles.begin(), channel.triangles.begin() + 6};

    const struct {
        const char* name;
        Model model;
        bool convex;
    } cases[] = {{"box", box({-1, 0, 2}, {1, 3, 2.5f}), true},
                 {"box with a roof", bumped, true},
                 {"box with a dent too shallow to matter", tiny, true},
                 {"box with a dent", dented, false},
                 {"box inside out", box({0, 0, 0}, {1, 1, 1}, true), false},
                 {"box without its top", open, false},
                 {"two boxes apart", twoBoxes, false},
                 {"U-shaped channel", channel, false},
                 {"flat grid", grid(4), false}};
    for (const auto& c : cases) {
        const std::optional<ConvexHull> hull = buildConvexHull(c.model.vertices);
        ASSERT_TRUE(hull.has_value()) << c.name;
        EXPECT_EQ(isConvexPart(meshOf(c.model), *hull), c.convex) << c.name;
    }
}

TEST(TriangleMesh, BadVerticesAndTrianglesAreDroppedAndNothingLeftIsNoMesh)
{
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<Vector3> vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0},  {nan, 0, 0},
                                           {1, 0, 0}, {2, 0, 0}, {inf, 0, 0}};
    const std::vector<TriangleIndices> triangles = {{0, 1, 2}, {0, 1, 99}, {-1, 1, 2}, {0, 3, 2}, {0, 1, 5},
                                                    {1, 4, 2}, {0, 0, 2},  {6, 1, 2},  {2, 4, 0}};
    const std::optional<TriangleMesh> mesh = buildTriangleMesh(vertices, triangles);
    ASSERT_TRUE(mesh.has_value());
    EXPECT_EQ(mesh->vertices, (std::vector<Vector3>{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {2, 0, 0}}));
    EXPECT_EQ(mesh->sourceTriangles, (std::vector<std::int32_t>{0, 8}));
    EXPECT_EQ(mesh->triangles[1], (TriangleIndices{2, 1, 0}));
    EXPECT_EQ(mesh->normals, (std::vector<Vector3>{{0, 0, 1}, {0, 0, -1}}));

    EXPECT_FALSE(buildTriangleMesh({}, {}).has_value());
    EXPECT_FALSE(buildTriangleMesh(vertices, {}).has_value());
    EXPECT_FALSE(buildTriangleMesh(vertices, {{0, 1, 5}, {3, 1, 2}, {0, 1, 7}}).has_value());
}

TEST(TriangleMesh, HundredThousandTrianglesAtOneSpotMakeAShallowTree)
{
    Model m;
    m.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    m.triangles.assign(100000, {0, 1, 2});
    const TriangleMesh mesh = meshOf(m);
    EXPECT_LE(treeDepth(mesh.tree), 17);
    std::vector<std::int32_t> found;
    mesh.tree.query({{0.5f, 0.5f, 0}, {2, 2, 2}}, found);
    EXPECT_EQ(found.size(), 100000u);
    EXPECT_TRUE(mesh.isEdgeActive(0, 0) && mesh.isEdgeActive(99999, 2)) << "edges of many triangles";
}
