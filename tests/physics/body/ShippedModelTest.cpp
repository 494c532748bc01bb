// The two model files the scene is built from, loaded as physical models.
#include "physics/body/ConvexPolyhedron.h"
#include "physics/body/PhysicalModel.h"

#include <gtest/gtest.h>

#include <cmath>

namespace Tolvane::Physics {
namespace {

using Math::Vector3;

std::shared_ptr<PhysicalModel> loadShipped(const char* name)
{
    return loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/" + name);
}

void expectBoxSpans(const OrientedBoundingBox& box, const Vector3& low, const Vector3& high)
{
    const Vector3 boxLow = box.transform.position - box.halfExtents;
    const Vector3 boxHigh = box.transform.position + box.halfExtents;
    EXPECT_FLOAT_EQ(boxLow.x, low.x);
    EXPECT_FLOAT_EQ(boxLow.y, low.y);
    EXPECT_FLOAT_EQ(boxLow.z, low.z);
    EXPECT_FLOAT_EQ(boxHigh.x, high.x);
    EXPECT_FLOAT_EQ(boxHigh.y, high.y);
    EXPECT_FLOAT_EQ(boxHigh.z, high.z);
}

// Both the file's unit normals and the world normals of a body's polyhedron
// must point out of the part: away from its centre, through its face.
void expectOutwardNormals(const std::shared_ptr<PhysicalModel>& root)
{
    ASSERT_EQ(root->kids().size(), 1u);
    const auto& part = root->kids()[0];
    const Vector3 centre = part->boundingBox()->transform.position;

    ConvexPolyhedron shape(Vector3(), root);
    ASSERT_EQ(shape.kids().size(), 1u);
    ConvexPolyhedron& partShape = *shape.kids()[0];
    Math::Transform pose;
    partShape.refreshGeometry(pose, 1);

    const auto& surfaces = part->surfaces();
    ASSERT_EQ(partShape.faces().size(), surfaces.size());
    for (std::size_t i = 0; i < surfaces.size(); ++i) {
        const auto& index = surfaces[i].vertexIndex;
        const Vector3 faceCentre =
            (part->vertices()[index[0]] + part->vertices()[index[1]] + part->vertices()[index[2]]) / 3.0f;
        EXPECT_GT(dot(surfaces[i].normal, faceCentre - centre), 0.0f) << "file normal of face " << i;
        EXPECT_GT(dot(partShape.faces()[i].normal, faceCentre - centre), 0.0f)
            << "world normal of face " << i;
    }
}

TEST(ShippedModels, CubeIsTheUnitCube)
{
    auto cube = loadShipped("SimpleCube.ac");
    ASSERT_EQ(cube->kids().size(), 1u);
    const PhysicalModel& part = *cube->kids()[0];
    EXPECT_EQ(part.vertices().size(), 8u);
    EXPECT_EQ(part.surfaces().size(), 12u);
    EXPECT_FLOAT_EQ(part.radius(), std::sqrt(3.0f));
    EXPECT_FLOAT_EQ(cube->radius(), std::sqrt(3.0f));
    for (const auto* box : {part.boundingBox().get(), cube->boundingBox().get()}) {
        EXPECT_EQ(box->halfExtents, Vector3(1.0f, 1.0f, 1.0f));
        EXPECT_EQ(box->transform.position, Vector3());
    }
    expectOutwardNormals(cube);
}

TEST(ShippedModels, FloorIsTheSlabBelowZero)
{
    auto floor = loadShipped("Floor.ac");
    ASSERT_EQ(floor->kids().size(), 1u);
    const PhysicalModel& part = *floor->kids()[0];
    EXPECT_EQ(part.vertices().size(), 8u);
    EXPECT_EQ(part.surfaces().size(), 12u);
    expectBoxSpans(*part.boundingBox(), {-30.0f, -1.0f, -30.0f}, {30.0f, 0.0f, 30.0f});
    expectBoxSpans(*floor->boundingBox(), {-30.0f, -1.0f, -30.0f}, {30.0f, 0.0f, 30.0f});
    expectOutwardNormals(floor);
}

} // namespace
} // namespace Tolvane::Physics
