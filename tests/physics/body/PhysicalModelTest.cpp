// Physical model parts: radii, bounding boxes over kids, and the loader.
#include "physics/body/PhysicalModel.h"

#include "BoxModels.h"
#include "model/ModelTree.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace Tolvane::Physics {
namespace {

using Math::Vector3;
using Testing::boxPart;
using Testing::cubePart;
using Testing::groupPart;

void expectVectorEq(const Vector3& actual, const Vector3& expected)
{
    EXPECT_FLOAT_EQ(actual.x, expected.x);
    EXPECT_FLOAT_EQ(actual.y, expected.y);
    EXPECT_FLOAT_EQ(actual.z, expected.z);
}

void expectBox(const PhysicalModel& part, const Vector3& centre, const Vector3& halfExtents)
{
    SCOPED_TRACE("box of a part");
    expectVectorEq(part.boundingBox()->transform.position, centre);
    expectVectorEq(part.boundingBox()->halfExtents, halfExtents);
}

// Every vertex of the part and of all its descendants, in the part's own coordinates.
void collectVertices(const PhysicalModel& part, const Vector3& shift, std::vector<Vector3>& out)
{
    for (const Vector3& v : part.vertices())
        out.push_back(v + shift);
    for (const auto& kid : part.kids())
        collectVertices(*kid, shift + kid->location(), out);
}

void expectEveryBoxContainsItsSubtree(const PhysicalModel& part)
{
    std::vector<Vector3> points;
    collectVertices(part, Vector3(), points);
    const OrientedBoundingBox& box = *part.boundingBox();
    const Vector3 low = box.transform.position - box.halfExtents;
    const Vector3 high = box.transform.position + box.halfExtents;
    for (const Vector3& p : points) {
        EXPECT_TRUE(low.x <= p.x && p.x <= high.x && low.y <= p.y && p.y <= high.y && low.z <= p.z &&
                    p.z <= high.z)
            << "point (" << p.x << ", " << p.y << ", " << p.z << ") outside box (" << low.x << ", " << low.y
            << ", " << low.z << ")..(" << high.x << ", " << high.y << ", " << high.z << ")";
    }
    for (const auto& kid : part.kids())
        expectEveryBoxContainsItsSubtree(*kid);
}

TEST(PhysicalModelRadius, FarthestVertexSetsTheRadius)
{
    const PhysicalModel part({{1.0f, 2.0f, 2.0f}, {0.0f, 0.0f, 0.0f}}, {}, Vector3());
    EXPECT_FLOAT_EQ(part.radius(), 3.0f);
}

TEST(PhysicalModelRadius, KidsWidenButNeverShrinkTheRadius)
{
    auto unitKid = boxPart({-0.5f, -0.5f, -0.5f}, {0.5f, 0.5f, 0.5f}, {3.0f, 4.0f, 0.0f});
    const float kidRadius = unitKid->radius();
    auto group = groupPart({unitKid});
    EXPECT_FLOAT_EQ(group->radius(), 5.0f + kidRadius);

    // A big part whose sphere already holds the kid's keeps its own radius.
    auto big =
        boxPart({-10.0f, -10.0f, -10.0f}, {10.0f, 10.0f, 10.0f}, Vector3(), {cubePart({1.0f, 0.0f, 0.0f})});
    EXPECT_FLOAT_EQ(big->radius(), std::sqrt(300.0f));
}

TEST(PhysicalModelBox, CubeIsCentredWithUnitHalfExtents)
{
    expectBox(*cubePart(), Vector3(), {1.0f, 1.0f, 1.0f});
}

TEST(PhysicalModelBox, EmptyPartHasZeroSizeBoxAtItsOrigin)
{
    auto empty = groupPart({});
    expectBox(*empty, Vector3(), Vector3());
    EXPECT_EQ(empty->radius(), 0.0f);
}

TEST(PhysicalModelBox, OffCentreLeafKeepsItsTrueCentre)
{
    PhysicalModel leaf({{2.0f, -1.0f, -1.0f}, {4.0f, 1.0f, 1.0f}, {3.0f, 0.5f, -0.5f}}, {}, Vector3());
    expectBox(leaf, {3.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f});
    leaf.setKids({});
    expectBox(leaf, {3.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f});
}

TEST(PhysicalModelBox, GroupBoxSpansItsOriginAndItsKids)
{
    auto group = groupPart({cubePart({5.0f, 0.0f, 0.0f})});
    expectBox(*group, {3.0f, 0.0f, 0.0f}, {3.0f, 1.0f, 1.0f});

    // The kid's own box is off its origin (x from 2 to 4), placed at x = 5: 7..9.
    auto offCentreKid = boxPart({2.0f, -1.0f, -1.0f}, {4.0f, 1.0f, 1.0f}, {5.0f, 0.0f, 0.0f});
    auto outer = groupPart({offCentreKid});
    expectBox(*outer, {4.5f, 0.0f, 0.0f}, {4.5f, 1.0f, 1.0f});
}

TEST(PhysicalModelBox, EveryBoxContainsItsPartAndAllDescendants)
{
    auto deepest = boxPart({-1.0f, -3.0f, 0.5f}, {1.0f, -1.0f, 2.5f}, {0.0f, -4.0f, 1.0f});
    auto middle = boxPart({2.0f, -1.0f, -1.0f}, {4.0f, 1.0f, 1.0f}, {5.0f, 0.0f, 0.0f}, {deepest});
    auto side = boxPart({-0.5f, -0.5f, 1.0f}, {0.5f, 0.5f, 6.0f}, {-7.0f, 0.0f, 0.0f});
    auto root = boxPart({10.0f, 10.0f, 10.0f}, {11.0f, 12.0f, 13.0f}, Vector3(), {middle, side});
    expectEveryBoxContainsItsSubtree(*root);
    // Tight on every side: x from the side part (-7.5) to the root's own geometry (11),
    // y from the deepest part (-7) to the root (12), z from the middle part (-1) to the root (13).
    expectBox(*root, {1.75f, 2.5f, 6.0f}, {9.25f, 9.5f, 7.0f});
}

TEST(PhysicalModelBox, SetKidsReplacesTheBoxInsteadOfChangingIt)
{
    auto group =
        std::make_shared<PhysicalModel>(std::vector<Vector3>{}, std::vector<ModelSurface>{}, Vector3());
    const std::shared_ptr<OrientedBoundingBox> before = group->boundingBox();
    group->setKids({cubePart({5.0f, 0.0f, 0.0f})});
    EXPECT_NE(group->boundingBox(), before);
    expectVectorEq(before->halfExtents, Vector3());
}

TEST(OrientedBoundingBoxCopy, CopyRebuildsItsMatrixFromTheCopiedOrientation)
{
    OrientedBoundingBox box({2.0f, 3.0f, 4.0f}, {0.0f, 1.0f, 2.0f});
    expectVectorEq(box.transform.position, {1.0f, 2.0f, 3.0f});
    expectVectorEq(box.halfExtents, {1.0f, 1.0f, 1.0f});
    EXPECT_FALSE(box.transform.dirty);

    box.transform.orientation = Math::fromAxisAngle({0.0f, 0.0f, 1.0f}, 1.57079632679f);
    box.transform.dirty = true;
    box.transform.refresh();

    OrientedBoundingBox copy(box);
    EXPECT_TRUE(copy.transform.dirty);
    EXPECT_EQ(copy.transform.rotation, Math::Matrix4());
    EXPECT_EQ(copy.transform.orientation, box.transform.orientation);
    const Vector3 turned = copy.transform.rotate({1.0f, 0.0f, 0.0f});
    EXPECT_NEAR(turned.x, 0.0f, 1e-6f);
    EXPECT_NEAR(turned.y, 1.0f, 1e-6f);

    OrientedBoundingBox assigned({0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f});
    assigned = box;
    EXPECT_TRUE(assigned.transform.dirty);
    expectVectorEq(assigned.transform.position, box.transform.position);
    expectVectorEq(assigned.halfExtents, box.halfExtents);
}

// Reads an inline AC3D text and builds its physical tree the way the loader does.
std::shared_ptr<PhysicalModel> physicalTreeFromText(const std::string& text)
{
    std::istringstream in(text);
    return buildModelTree<PhysicalModel>(*readAC3D(in));
}

TEST(PhysicalModelLoading, NestedPartsGetBoxesOverTheirKids)
{
    // A group at the top, one off-centre triangle part at loc 5 0 0 holding a
    // single-vertex-pair part below it.
    const std::string text = "AC3Db\n"
                             "OBJECT world\n"
                             "kids 1\n"
                             "OBJECT poly\n"
                             "loc 5 0 0\n"
                             "numvert 3\n2 -1 -1\n4 -1 -1\n4 1 1\n"
                             "numsurf 1\nSURF 0x10\nmat 0\nrefs 3\n0 0 0\n1 0 0\n2 0 0\n"
                             "kids 1\n"
                             "OBJECT poly\n"
                             "loc 0 3 0\n"
                             "numvert 3\n0 0 0\n1 0 0\n0 1 0\n"
                             "numsurf 1\nSURF 0x10\nrefs 3\n0 0 0\n1 0 0\n2 0 0\n"
                             "kids 0\n";
    auto root = physicalTreeFromText(text);
    ASSERT_EQ(root->kids().size(), 1u);
    const PhysicalModel& middle = *root->kids()[0];
    ASSERT_EQ(middle.kids().size(), 1u);
    // Middle part: own x 2..4, y/z -1..1; kid at y 3..4, x 0..1, z 0.
    expectBox(middle, {2.0f, 1.5f, 0.0f}, {2.0f, 2.5f, 1.0f});
    // Root: its origin plus the middle part's box shifted by 5 in x.
    expectBox(*root, {4.5f, 1.5f, 0.0f}, {4.5f, 2.5f, 1.0f});
    expectEveryBoxContainsItsSubtree(*root);
    EXPECT_FLOAT_EQ(root->radius(), 5.0f + middle.radius());
}

TEST(PhysicalModelLoading, LoadingTwiceGivesDistinctTreesWithEqualContents)
{
    const std::string path = std::string(TOLVANE_DATA_DIR) + "/SimpleCube.ac";
    auto first = loadPhysicalModel(path);
    auto second = loadPhysicalModel(path);
    ASSERT_NE(first, second);
    ASSERT_EQ(first->kids().size(), second->kids().size());
    ASSERT_EQ(first->kids().size(), 1u);
    EXPECT_NE(first->kids()[0], second->kids()[0]);
    EXPECT_NE(first->boundingBox(), second->boundingBox());

    const PhysicalModel& a = *first->kids()[0];
    const PhysicalModel& b = *second->kids()[0];
    ASSERT_EQ(a.vertices().size(), b.vertices().size());
    for (std::size_t i = 0; i < a.vertices().size(); ++i)
        EXPECT_EQ(a.vertices()[i], b.vertices()[i]);
    ASSERT_EQ(a.surfaces().size(), b.surfaces().size());
    for (std::size_t i = 0; i < a.surfaces().size(); ++i) {
        EXPECT_EQ(a.surfaces()[i].vertexIndex, b.surfaces()[i].vertexIndex);
        EXPECT_EQ(a.surfaces()[i].normal, b.surfaces()[i].normal);
    }
    EXPECT_EQ(a.location(), b.location());
    EXPECT_EQ(a.radius(), b.radius());
    EXPECT_EQ(first->radius(), second->radius());
    EXPECT_EQ(first->boundingBox()->transform.position, second->boundingBox()->transform.position);
    EXPECT_EQ(first->boundingBox()->halfExtents, second->boundingBox()->halfExtents);
}

TEST(PhysicalModelLoading, ReaderErrorsPassThrough)
{
    EXPECT_THROW(loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/no-such-model.ac"), std::runtime_error);
    try {
        physicalTreeFromText("AC3Db\nOBJECT poly\nrot 1 0 0 0 1 0 0 0 1\nkids 0\n");
        FAIL() << "a rotation matrix was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "System does not support rotation matrixes");
    }
}

} // namespace
} // namespace Tolvane::Physics
