// Model meshes and visible model trees: bounding radii, repeated loading and
// the two model files the program ships.
#include "model/VisibleModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using Tolvane::ModelSurface;
using Tolvane::Math::Vector3;
using Tolvane::Renderer::loadVisibleModel;
using Tolvane::Renderer::VisibleModel;

namespace {

std::shared_ptr<VisibleModel> leaf(const std::vector<Vector3>& vertices, const Vector3& location = {},
                                   float radius = -1.0f)
{
    auto node = std::make_shared<VisibleModel>(vertices, std::vector<ModelSurface>{}, location);
    node->setKids({});
    if (radius >= 0.0f) {
        EXPECT_EQ(node->radius(), radius);
    }
    return node;
}

std::string dataFile(const char* name)
{
    return std::string(TOLVANE_DATA_DIR) + "/" + name;
}

void expectSameTree(const VisibleModel& a, const VisibleModel& b)
{
    EXPECT_EQ(a.vertices(), b.vertices());
    EXPECT_EQ(a.location(), b.location());
    EXPECT_EQ(a.radius(), b.radius());
    ASSERT_EQ(a.surfaces().size(), b.surfaces().size());
    for (std::size_t i = 0; i < a.surfaces().size(); ++i) {
        EXPECT_EQ(a.surfaces()[i].vertexIndex, b.surfaces()[i].vertexIndex);
        EXPECT_EQ(a.surfaces()[i].normal, b.surfaces()[i].normal);
    }
    ASSERT_EQ(a.kids().size(), b.kids().size());
    for (std::size_t i = 0; i < a.kids().size(); ++i) {
        EXPECT_NE(a.kids()[i], b.kids()[i]);
        expectSameTree(*a.kids()[i], *b.kids()[i]);
    }
}

Vector3 centreOf(const std::vector<Vector3>& vertices)
{
    Vector3 sum;
    for (const Vector3& v : vertices)
        sum += v;
    return sum / static_cast<float>(vertices.size());
}

// Every triangle's unit normal points from the part's centre towards the triangle.
void expectOutwardNormals(const VisibleModel& part)
{
    const Vector3 centre = centreOf(part.vertices());
    for (const ModelSurface& s : part.surfaces()) {
        const auto& v = part.vertices();
        const Vector3 triangleCentre =
            (v[s.vertexIndex[0]] + v[s.vertexIndex[1]] + v[s.vertexIndex[2]]) / 3.0f;
        EXPECT_GT(dot(s.normal, triangleCentre - centre), 0.0f);
        EXPECT_NEAR(s.normal.length(), 1.0f, 1e-6f);
    }
}

} // namespace

TEST(ModelRadius, FarthestVertexFromTheOrigin)
{
    leaf({{1, 2, 2}, {0, 0, 0}}, {}, 3.0f);
    leaf({{0, 0, 0}, {-3, 0, 4}, {1, 1, 1}}, {}, 5.0f);
    // The part's own location does not move its vertices about its origin.
    leaf({{1, 2, 2}}, {100, 0, 0}, 3.0f);
    leaf({}, {}, 0.0f);
}

TEST(ModelRadius, GroupWidenedByItsKids)
{
    VisibleModel group({}, {}, {});
    EXPECT_EQ(group.radius(), 0.0f);
    group.setKids({leaf({{1, 0, 0}}, {3, 4, 0}, 1.0f)});
    EXPECT_EQ(group.radius(), 6.0f);
    EXPECT_EQ(group.kids().size(), 1u);

    // A kid inside the parent's sphere leaves the radius alone; the farthest
    // kid decides whatever the order.
    VisibleModel part({{10, 0, 0}}, {}, {});
    part.setKids({leaf({{1, 0, 0}}, {0, 2, 0}), leaf({{0, 2, 0}}, {0, 0, 12}), leaf({{1, 0, 0}}, {3, 0, 0})});
    EXPECT_EQ(part.radius(), 14.0f);
    VisibleModel inside({{10, 0, 0}}, {}, {});
    inside.setKids({leaf({{1, 0, 0}}, {0, 2, 0})});
    EXPECT_EQ(inside.radius(), 10.0f);
}

TEST(ModelRadius, ReachesThroughGrandchildren)
{
    auto grandchild = leaf({{0, 0, 1}}, {0, 0, 4}, 1.0f);
    auto child =
        std::make_shared<VisibleModel>(std::vector<Vector3>{}, std::vector<ModelSurface>{}, Vector3(3, 0, 0));
    child->setKids({grandchild});
    EXPECT_EQ(child->radius(), 5.0f);
    VisibleModel root({}, {}, {});
    root.setKids({child});
    EXPECT_EQ(root.radius(), 8.0f);
}

TEST(ShippedModels, CubeLoads)
{
    const auto root = loadVisibleModel(dataFile("SimpleCube.ac"));
    ASSERT_EQ(root->kids().size(), 1u);
    const VisibleModel& cube = *root->kids()[0];
    EXPECT_EQ(cube.vertices().size(), 8u);
    EXPECT_EQ(cube.surfaces().size(), 12u);
    EXPECT_EQ(cube.location(), Vector3(0, 0, 0));
    EXPECT_EQ(cube.radius(), std::sqrt(3.0f));
    EXPECT_EQ(root->radius(), std::sqrt(3.0f));
    for (const Vector3& v : cube.vertices())
        EXPECT_TRUE(std::abs(v.x) == 1.0f && std::abs(v.y) == 1.0f && std::abs(v.z) == 1.0f);
    expectOutwardNormals(cube);
}

TEST(ShippedModels, FloorLoads)
{
    const auto root = loadVisibleModel(dataFile("Floor.ac"));
    ASSERT_EQ(root->kids().size(), 1u);
    const VisibleModel& floor = *root->kids()[0];
    EXPECT_EQ(floor.vertices().size(), 8u);
    EXPECT_EQ(floor.surfaces().size(), 12u);
    for (const Vector3& v : floor.vertices()) {
        EXPECT_EQ(std::abs(v.x), 30.0f);
        EXPECT_TRUE(v.y == 0.0f || v.y == -1.0f);
        EXPECT_EQ(std::abs(v.z), 30.0f);
    }
    EXPECT_EQ(floor.radius(), std::sqrt(1801.0f));
    expectOutwardNormals(floor);

    // The top face is at y = 0 and faces straight up.
    int upward = 0;
    for (const ModelSurface& s : floor.surfaces()) {
        if (s.normal == Vector3(0, 1, 0)) {
            ++upward;
            for (auto index : s.vertexIndex)
                EXPECT_EQ(floor.vertices()[index].y, 0.0f);
        }
    }
    EXPECT_EQ(upward, 2);
}

TEST(ShippedModels, EachLoadBuildsItsOwnTree)
{
    const auto first = loadVisibleModel(dataFile("SimpleCube.ac"));
    const auto second = loadVisibleModel(dataFile("SimpleCube.ac"));
    EXPECT_NE(first, second);
    expectSameTree(*first, *second);
}

TEST(ShippedModels, ReaderErrorsPassThroughTheLoader)
{
    try {
        loadVisibleModel(dataFile("NoSuchModel.ac"));
        FAIL() << "a missing file loaded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Couldn't read first token");
    }
}
