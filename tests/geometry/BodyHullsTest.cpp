// Hulls of model trees and the bodies' mass per unit mass: the shipped block,
// parts placed by their locations, flat, degenerate and extreme models, and
// the lazily built, shared accessor on PhysicalModel.
#include "geometry/BodyHulls.h"
#include "geometry/HullTolerances.h"
#include "physics/body/ConvexPolyhedron.h"
#include "physics/body/PhysicalModel.h"

#include "BoxModels.h"
#include "HullTestHelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <thread>
#include <vector>

using namespace Tolvane::Physics;
using namespace Tolvane::Physics::Collision;
using Tolvane::Math::Matrix3;
using Tolvane::Math::Vector3;
using Tolvane::Physics::Testing::boxPart;
using Tolvane::Physics::Testing::cubePart;
using Tolvane::Physics::Testing::groupPart;

namespace {

void expectNear(const Vector3& actual, const Vector3& expected, float tolerance)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

void expectInertia(const Matrix3& actual, const Matrix3& expected, float tolerance)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(actual(r, c), expected(r, c), tolerance) << "row " << r << " column " << c;
}

/// What the solver relies on whatever the model: finite, positive definite, within the clamp.
void expectUsableInertia(const BodyHulls& body)
{
    Matrix3 inverse;
    EXPECT_TRUE(invertSymmetricPositiveDefinite(body.inertiaPerMass, inverse));
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_TRUE(std::isfinite(body.inertiaPerMass(r, c)));
    const Vector3 d = body.inertiaPerMass.diagonalElements();
    for (float v : {d.x, d.y, d.z}) {
        EXPECT_GE(v, smallestInertiaPerMass);
        EXPECT_LE(v, largestInertiaPerMass);
    }
    EXPECT_TRUE(std::isfinite(body.centreOfMass.x) && std::isfinite(body.centreOfMass.y) &&
                std::isfinite(body.centreOfMass.z));
}

/// A part made of the given vertices and no triangles.
std::shared_ptr<PhysicalModel> pointsPart(const std::vector<Vector3>& vertices,
                                          const Vector3& location = Vector3())
{
    auto part = std::make_shared<PhysicalModel>(vertices, std::vector<Tolvane::ModelSurface>{}, location);
    part->setKids({});
    return part;
}

} // namespace

TEST(BodyMass, ShippedCubeOfUnitMassHasTwoThirdsAboutEachAxis)
{
    const auto model = loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/SimpleCube.ac");
    const BodyHulls& body = model->hulls();
    ASSERT_EQ(body.hulls.size(), 1u);
    EXPECT_EQ(body.hulls[0].faces.size(), 6u);
    EXPECT_EQ(body.massSource, MassSource::Hulls);
    expectNear(body.centreOfMass, Vector3(), 1e-6f);
    expectInertia(body.inertiaPerMass, Matrix3::diagonal(2.0f / 3.0f, 2.0f / 3.0f, 2.0f / 3.0f), 1e-6f);
    EXPECT_NEAR(body.volume, 8.0f, 1e-5f);
}

TEST(BodyMass, PartsArePlacedAsTheBodysPolyhedronPlacesThem)
{
    // A group at (0, 5, 0) holding a cube at x = -2 and a 4 x 2 x 2 box at x = +3.
    auto left = cubePart({-2, 0, 0});
    auto right = boxPart({-2, -1, -1}, {2, 1, 1}, {3, 0, 0});
    auto model = groupPart({left, right}, {0, 5, 0});
    const BodyHulls& body = model->hulls();
    ASSERT_EQ(body.hulls.size(), 2u);

    const ConvexPolyhedron polyhedron(Vector3(), model);
    for (std::size_t k = 0; k < 2; ++k) {
        const ConvexPolyhedron& kid = *polyhedron.kids()[k];
        const std::vector<Vector3>& local = kid.model()->vertices();
        ASSERT_EQ(body.hulls[k].vertices.size(), local.size());
        for (std::size_t i = 0; i < local.size(); ++i)
            EXPECT_EQ(body.hulls[k].vertices[i], local[i] + kid.offset());
    }

    // Masses 8 and 16 at x = -2 and x = 3: centre at x = (-16 + 48) / 24 = 4/3.
    EXPECT_EQ(body.massSource, MassSource::Hulls);
    expectNear(body.centreOfMass, Vector3(4.0f / 3.0f, 5.0f, 0.0f), 1e-5f);
    // Each box about its own centre plus its mass times its squared distance
    // from the common centre, all over the total mass of 24.
    const float d1 = -2.0f - 4.0f / 3.0f, d2 = 3.0f - 4.0f / 3.0f;
    const float xx = (8.0f * (8.0f / 12.0f) + 16.0f * (8.0f / 12.0f)) / 24.0f;
    const float yy = (8.0f * (8.0f / 12.0f + d1 * d1) + 16.0f * (20.0f / 12.0f + d2 * d2)) / 24.0f;
    expectInertia(body.inertiaPerMass, Matrix3::diagonal(xx, yy, yy), 1e-4f);
    EXPECT_NEAR(body.volume, 24.0f, 1e-4f);
}

TEST(BodyMass, FlatModelFallsBackToASolidBoxOverItsBounds)
{
    // A 2 x 2 square plate lying in y = 1: flat hull, no volume.
    auto plate = pointsPart({{-1, 1, -1}, {1, 1, -1}, {1, 1, 1}, {-1, 1, 1}});
    const BodyHulls& body = plate->hulls();
    ASSERT_EQ(body.hulls.size(), 1u);
    EXPECT_TRUE(body.hulls[0].isFlat());
    EXPECT_EQ(body.massSource, MassSource::Box);
    EXPECT_EQ(body.volume, 0.0f);
    expectNear(body.centreOfMass, Vector3(0, 1, 0), 1e-6f);
    expectInertia(body.inertiaPerMass, Matrix3::diagonal(4.0f / 12.0f, 8.0f / 12.0f, 4.0f / 12.0f), 1e-6f);
    expectUsableInertia(body);
}

TEST(BodyMass, LinesPointsAndEmptyModelsFallBackToASphere)
{
    struct Case {
        std::shared_ptr<PhysicalModel> model;
        float expectedPerMass;
    };
    // A rod from x = -3 to 3 (radius 3), one point 2 from the origin, a group
    // with nothing in it (radius 0: clamped to the smallest usable inertia).
    const Case cases[] = {
        {pointsPart({{-3, 0, 0}, {3, 0, 0}, {1, 0, 0}}), 0.4f * 9.0f},
        {pointsPart({{0, 2, 0}}), 0.4f * 4.0f},
        {groupPart({}), smallestInertiaPerMass},
    };
    for (const Case& c : cases) {
        const BodyHulls& body = c.model->hulls();
        EXPECT_TRUE(body.hulls.empty());
        EXPECT_EQ(body.massSource, MassSource::Sphere);
        expectInertia(body.inertiaPerMass,
                      Matrix3::diagonal(c.expectedPerMass, c.expectedPerMass, c.expectedPerMass),
                      1e-6f * c.expectedPerMass);
        expectUsableInertia(body);
    }
}

TEST(BodyMass, ExtremeScalesStayFiniteAndPositive)
{
    const float sizes[] = {1e-15f, 1e-8f, 1e8f, 1e15f, 1e30f};
    for (float size : sizes) {
        SCOPED_TRACE(size);
        // Corners only: the triangles' unit normals cannot be formed at the smallest sizes.
        std::vector<Vector3> corners;
        for (int i = 0; i < 8; ++i)
            corners.push_back({i & 1 ? size : -size, i & 2 ? size : -size, i & 4 ? size : -size});
        auto box = pointsPart(corners);
        const BodyHulls& body = box->hulls();
        expectUsableInertia(body);
        // Where the true value (2/3 size^2) is in range it is kept exactly.
        const float exact = 2.0f / 3.0f * size * size;
        if (exact > smallestInertiaPerMass && exact < largestInertiaPerMass) {
            EXPECT_EQ(body.massSource, MassSource::Hulls);
            EXPECT_NEAR(body.inertiaPerMass(0, 0) / exact, 1.0f, 1e-5f);
        }
    }
}

TEST(BodyMass, DegeneratePartsAddNoMassToSolidOnes)
{
    auto rod = pointsPart({{10, 0, 0}, {20, 0, 0}});
    auto model = groupPart({cubePart(), rod});
    const BodyHulls& body = model->hulls();
    ASSERT_EQ(body.hulls.size(), 1u);
    EXPECT_EQ(body.massSource, MassSource::Hulls);
    expectNear(body.centreOfMass, Vector3(), 1e-6f);
}

TEST(BodyMass, HullsAreBuiltOnceAndSharedBetweenThreads)
{
    auto model = groupPart({cubePart({1, 0, 0}), cubePart({-1, 0, 0})});
    std::vector<const BodyHulls*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = &model->hulls(); });
    for (std::thread& t : threads)
        t.join();
    for (const BodyHulls* body : seen)
        EXPECT_EQ(body, seen[0]);
    EXPECT_EQ(seen[0]->hulls.size(), 2u);
    EXPECT_EQ(&model->hulls(), seen[0]);
    // A kid's own accessor sees its subtree with the kid at its own location.
    const BodyHulls& kid = model->kids()[0]->hulls();
    ASSERT_EQ(kid.hulls.size(), 1u);
    expectNear(kid.centreOfMass, Vector3(1, 0, 0), 1e-6f);
}
