// Convex hulls of the shipped models and of awkward point sets: faces merged
// into polygons, flat and degenerate sets, duplicates, random clouds, extreme
// scales, and the mass properties for unit density.
#include "geometry/ConvexHull.h"
#include "geometry/HullTolerances.h"

#include "HullTestHelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace Tolvane::Physics::Collision;
using namespace Tolvane::Physics::Collision::Testing;
using Tolvane::Math::Matrix3;
using Tolvane::Math::Quaternion;
using Tolvane::Math::Vector3;

namespace {

/// Allowance for "on or inside the hull" at unit size: a few plane tolerances.
constexpr float unitAllowance = 4.0f * hullPlaneTolerance;

std::vector<Vector3> boxCorners(const Vector3& low, const Vector3& high)
{
    std::vector<Vector3> corners;
    for (int i = 0; i < 8; ++i)
        corners.push_back({i & 1 ? high.x : low.x, i & 2 ? high.y : low.y, i & 4 ? high.z : low.z});
    return corners;
}

std::vector<Vector3> transformed(const std::vector<Vector3>& points, const Quaternion& q,
                                 const Vector3& shift, float scale = 1.0f)
{
    const Matrix3 r = Tolvane::Math::toMatrix3(q);
    std::vector<Vector3> out;
    for (const Vector3& p : points)
        out.push_back(r * (p * scale) + shift);
    return out;
}

void expectFaceSizes(const ConvexHull& hull, std::size_t faces, int corners)
{
    ASSERT_EQ(hull.faces.size(), faces);
    for (const HullFace& f : hull.faces)
        EXPECT_EQ(f.loopSize, corners);
}

void expectInertia(const Matrix3& actual, const Matrix3& expected, float tolerance)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(actual(r, c), expected(r, c), tolerance) << "row " << r << " column " << c;
}

class RandomPoints {
  public:
    explicit RandomPoints(unsigned seed) : engine_(seed) {}
    float uniform(float low, float high) { return std::uniform_real_distribution<float>(low, high)(engine_); }
    Vector3 inBox(float half) { return {uniform(-half, half), uniform(-half, half), uniform(-half, half)}; }
    Vector3 onSphere(float radius)
    {
        for (;;) {
            const Vector3 p = inBox(1.0f);
            const float l = p.length();
            if (l > 0.1f && l <= 1.0f)
                return p * (radius / l);
        }
    }

  private:
    std::mt19937 engine_;
};

} // namespace

TEST(HullOfShippedModels, CubeHasSixSquareFacesTwelveEdgesAndEightCorners)
{
    const std::vector<Vector3> points = modelPoints("SimpleCube.ac");
    const ConvexHull& hull = cubeHull();
    EXPECT_EQ(hull.vertices, points);
    EXPECT_EQ(hull.edges.size(), 12u);
    expectFaceSizes(hull, 6, 4);
    expectSoundHull(hull, points, 1e-6f);
    int axesSeen[3][2] = {};
    for (const HullFace& f : hull.faces) {
        EXPECT_EQ(f.offset, 1.0f);
        const float n[3] = {f.normal.x, f.normal.y, f.normal.z};
        for (int a = 0; a < 3; ++a)
            if (std::fabs(n[a]) == 1.0f)
                ++axesSeen[a][n[a] > 0.0f];
    }
    for (const auto& axis : axesSeen)
        EXPECT_TRUE(axis[0] == 1 && axis[1] == 1) << "one face along each of the six axis directions";
    EXPECT_EQ(hull.boxMin, Vector3(-1, -1, -1));
    EXPECT_EQ(hull.boxMax, Vector3(1, 1, 1));
    EXPECT_NEAR(hull.sphereRadius, std::sqrt(3.0f), 1e-5f);
}

TEST(HullOfShippedModels, CubeMassForUnitDensity)
{
    const MassProperties& mass = cubeHull().mass;
    EXPECT_NEAR(mass.volume, 8.0f, 1e-5f);
    EXPECT_NEAR(mass.centroid.length(), 0.0f, 1e-6f);
    // m (a^2 + b^2) / 12 with m = 8 and a = b = 2: 2/3 per unit mass.
    expectInertia(mass.inertia, Matrix3::diagonal(16.0f / 3.0f, 16.0f / 3.0f, 16.0f / 3.0f), 1e-5f);
}

TEST(HullOfShippedModels, FloorSlabIsABoxWithItsTopAtZero)
{
    const std::vector<Vector3> points = modelPoints("Floor.ac");
    const ConvexHull& hull = floorHull();
    expectFaceSizes(hull, 6, 4);
    EXPECT_EQ(hull.edges.size(), 12u);
    expectSoundHull(hull, points, 1e-5f);
    bool top = false;
    for (const HullFace& f : hull.faces)
        top = top || (f.normal == Vector3(0, 1, 0) && f.offset == 0.0f);
    EXPECT_TRUE(top);
    EXPECT_NEAR(hull.mass.volume, 3600.0f, 0.01f);
    EXPECT_NEAR(hull.mass.centroid.y, -0.5f, 1e-5f);
    // Per unit mass: (60^2 + 1^2) / 12 about x and z, (60^2 + 60^2) / 12 about y.
    const Vector3 perMass = hull.mass.inertia.diagonalElements() / hull.mass.volume;
    EXPECT_NEAR(perMass.x, 3601.0f / 12.0f, 0.01f);
    EXPECT_NEAR(perMass.y, 7200.0f / 12.0f, 0.01f);
    EXPECT_NEAR(perMass.z, 3601.0f / 12.0f, 0.01f);
}

TEST(HullMass, OffCentreBoxAndTetrahedron)
{
    const ConvexHull box = *buildConvexHull(boxCorners({1, 2, 3}, {3, 6, 9}));
    EXPECT_NEAR(box.mass.volume, 48.0f, 1e-4f);
    EXPECT_NEAR((box.mass.centroid - Vector3(2, 4, 6)).length(), 0.0f, 1e-5f);
    const float m = 48.0f;
    expectInertia(box.mass.inertia,
                  Matrix3::diagonal(m * (16 + 36) / 12.0f, m * (4 + 36) / 12.0f, m * (4 + 16) / 12.0f),
                  1e-3f);

    // The corner tetrahedron of the unit cube: volume 1/6, centroid at 1/4, and
    // products of inertia -1/120 + 1/96 times... per unit mass about the centroid.
    const ConvexHull tet = *buildConvexHull({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    EXPECT_EQ(tet.faces.size(), 4u);
    EXPECT_NEAR(tet.mass.volume, 1.0f / 6.0f, 1e-6f);
    EXPECT_NEAR((tet.mass.centroid - Vector3(0.25f, 0.25f, 0.25f)).length(), 0.0f, 1e-6f);
    // About the origin: diagonal 2 * 1/60 = 1/30, products 1/120 (times -1);
    // moved to the centroid by the parallel axis theorem with d = (1/4, 1/4, 1/4).
    const float v = 1.0f / 6.0f;
    const float diagonal = 1.0f / 30.0f - v * (2.0f / 16.0f);
    const float product = -1.0f / 120.0f + v / 16.0f;
    const Matrix3 expected{
        {diagonal, product, product}, {product, diagonal, product}, {product, product, diagonal}};
    expectInertia(tet.mass.inertia, expected, 1e-6f);
}

TEST(HullOfDegenerateSets, NoHullWithoutThreeDimensionsOrAPlane)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::vector<Vector3>> cases = {
        {},
        {{1, 2, 3}},
        std::vector<Vector3>(100, Vector3(5, -5, 5)),
        {{0, 0, 0}, {1, 1, 1}},
        {{0, 0, 0}, {1, 2, 3}, {2, 4, 6}, {-1, -2, -3}, {0.5f, 1, 1.5f}},
        // Off the line by far less than the tolerance.
        {{0, 0, 0}, {10, 0, 0}, {5, 1e-6f, 0}, {3, 0, 1e-6f}},
        {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, nan}},
        {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, inf}},
        {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1e19f}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_FALSE(buildConvexHull(cases[i]).has_value()) << "case " << i;
}

TEST(HullOfDegenerateSets, FlatSetGivesTwoOppositeFacesOverOnePolygon)
{
    // A tilted square with points inside it, on its sides and repeated, all in one plane.
    std::vector<Vector3> square = {{-1, 0, -1}, {1, 0, -1}, {1, 0, 1},        {-1, 0, 1}, {0, 0, 0},
                                   {0, 0, 1},   {1, 0, 0},  {0.3f, 0, -0.2f}, {1, 0, 1}};
    const Quaternion tilt = turn({1, 2, 0.5f}, 0.7f);
    const std::vector<Vector3> points = transformed(square, tilt, {3, -2, 1});
    const std::optional<ConvexHull> hull = buildConvexHull(points);
    ASSERT_TRUE(hull.has_value());
    EXPECT_TRUE(hull->isFlat());
    ASSERT_EQ(hull->faces.size(), 2u);
    EXPECT_EQ(hull->faces[0].loopSize, 4);
    EXPECT_EQ(hull->faces[1].loopSize, 4);
    EXPECT_EQ(hull->faces[1].normal, -hull->faces[0].normal);
    EXPECT_EQ(hull->faces[1].offset, -hull->faces[0].offset);
    EXPECT_EQ(hull->vertices.size(), 4u);
    EXPECT_EQ(hull->edges.size(), 4u);
    for (const HullEdge& e : hull->edges) {
        EXPECT_EQ(e.faces[0], 0);
        EXPECT_EQ(e.faces[1], 1);
    }
    const Vector3 up = Tolvane::Math::toMatrix3(tilt) * Vector3(0, 1, 0);
    EXPECT_NEAR(std::fabs(dot(up, hull->faces[0].normal)), 1.0f, 1e-5f);
    expectSoundHull(*hull, points, 1e-5f);
    EXPECT_EQ(hull->mass.volume, 0.0f);
    EXPECT_EQ(hull->mass.inertia, Matrix3::zero());
}

TEST(HullOfDegenerateSets, NearlyFlatSetIsFlat)
{
    RandomPoints random(7);
    std::vector<Vector3> points;
    for (int i = 0; i < 200; ++i)
        points.push_back({random.uniform(-2, 2), random.uniform(-1e-6f, 1e-6f), random.uniform(-3, 3)});
    const std::optional<ConvexHull> hull = buildConvexHull(points);
    ASSERT_TRUE(hull.has_value());
    EXPECT_TRUE(hull->isFlat());
    expectSoundHull(*hull, points, 3.0f * unitAllowance);
}

TEST(HullOfAwkwardSets, DuplicatesAndInnerPointsLeaveTheCube)
{
    std::vector<Vector3> points;
    RandomPoints random(3);
    for (int copy = 0; copy < 5; ++copy)
        for (const Vector3& c : boxCorners({-1, -1, -1}, {1, 1, 1}))
            points.push_back(c);
    for (int i = 0; i < 300; ++i)
        points.push_back(random.inBox(0.999f));
    // Points on the faces and edges, exactly and within far less than the tolerance.
    for (int i = 0; i < 50; ++i) {
        points.push_back({random.uniform(-1, 1), 1.0f, random.uniform(-1, 1)});
        points.push_back({1.0f + 1e-7f, random.uniform(-1, 1), random.uniform(-1, 1)});
        points.push_back({random.uniform(-1, 1), -1.0f, 1.0f});
    }
    const std::optional<ConvexHull> hull = buildConvexHull(points);
    ASSERT_TRUE(hull.has_value());
    expectFaceSizes(*hull, 6, 4);
    EXPECT_EQ(hull->vertices.size(), 8u);
    EXPECT_EQ(hull->edges.size(), 12u);
    expectSoundHull(*hull, points, unitAllowance);
    EXPECT_NEAR(hull->mass.volume, 8.0f, 1e-3f);
}

TEST(HullOfAwkwardSets, TurnedCubesKeepSixQuadrilateralsAtAnyScale)
{
    // The rotation rounds every corner off its face planes by float steps; the
    // scales move the whole set to the ends of the float range.
    struct Placement {
        float scale;
        Vector3 shift;
    };
    const Placement placements[] = {{1.0f, {0, 0, 0}},  {1e-15f, {0, 0, 0}},      {1e15f, {0, 0, 0}},
                                    {1.0f, {3, -7, 2}}, {1e-30f, {1e-29f, 0, 0}}, {3e16f, {-1e17f, 0, 0}}};
    const Quaternion turns[] = {turn({1, 2, 3}, 0.9f), turn({0, 1, 0}, degrees(0.5f)),
                                turn({-1, 0.2f, 0.4f}, 2.5f)};
    const std::vector<Vector3> cube = boxCorners({-1, -1, -1}, {1, 1, 1});
    for (const Placement& placement : placements)
        for (const Quaternion& q : turns) {
            SCOPED_TRACE(placement.scale);
            const std::vector<Vector3> points = transformed(cube, q, placement.shift, placement.scale);
            const std::optional<ConvexHull> hull = buildConvexHull(points);
            ASSERT_TRUE(hull.has_value());
            expectFaceSizes(*hull, 6, 4);
            EXPECT_EQ(hull->edges.size(), 12u);
            const float reach = placement.scale + placement.shift.length();
            expectSoundHull(*hull, points, unitAllowance * reach);
            const float volume = 8.0f * placement.scale * placement.scale * placement.scale;
            if (std::isfinite(volume) && volume > 1e-30f) {
                EXPECT_NEAR(hull->mass.volume / volume, 1.0f, 1e-4f);
            }
        }
}

TEST(HullOfAwkwardSets, FarFromTheOriginThePointsOwnRoundingDecides)
{
    // At 2e5 a float steps by 1/64, so a turned 2-unit cube there has corners
    // off its face planes by about 1% of its size: not coplanar at all by the
    // tolerance. The hull is still sound, and an unturned cube stays a box.
    const std::vector<Vector3> cube = boxCorners({-1, -1, -1}, {1, 1, 1});
    const Vector3 far(1e5f, -3e5f, 2e5f);
    const std::vector<Vector3> turned = transformed(cube, turn({1, 2, 3}, 0.9f), far);
    const std::optional<ConvexHull> rough = buildConvexHull(turned);
    ASSERT_TRUE(rough.has_value());
    EXPECT_EQ(rough->vertices.size(), 8u);
    expectSoundHull(*rough, turned, 0.05f);
    const std::vector<Vector3> straight = transformed(cube, Quaternion(), far);
    const std::optional<ConvexHull> box = buildConvexHull(straight);
    ASSERT_TRUE(box.has_value());
    expectFaceSizes(*box, 6, 4);
    expectSoundHull(*box, straight, 0.0f);
}

TEST(HullOfAwkwardSets, RandomCloudsEncloseEveryPoint)
{
    RandomPoints random(11);
    for (int size : {4, 5, 10, 100, 2000}) {
        for (int shape = 0; shape < 3; ++shape) {
            std::vector<Vector3> points;
            for (int i = 0; i < size; ++i)
                points.push_back(shape == 0
                                     ? random.inBox(2.0f)
                                     : (shape == 1 ? random.onSphere(3.0f) : random.inBox(1.0f) * 0.01f));
            SCOPED_TRACE(testing::Message() << size << " points, shape " << shape);
            const std::optional<ConvexHull> hull = buildConvexHull(points);
            ASSERT_TRUE(hull.has_value());
            EXPECT_FALSE(hull->isFlat());
            const float scale = shape == 0 ? 2.0f : (shape == 1 ? 3.0f : 0.01f);
            expectSoundHull(*hull, points, unitAllowance * scale);
            EXPECT_GT(hull->mass.volume, 0.0f);
        }
    }
}

TEST(HullOfAwkwardSets, ManyPointsOnASphereApproachItsVolume)
{
    // The most points a model part can have, every one of them a corner.
    RandomPoints random(5);
    std::vector<Vector3> points;
    for (int i = 0; i < 65535; ++i)
        points.push_back(random.onSphere(1.0f));
    const std::optional<ConvexHull> hull = buildConvexHull(points);
    ASSERT_TRUE(hull.has_value());
    EXPECT_GT(hull->vertices.size(), 60000u);
    EXPECT_EQ(hull->vertices.size() + hull->faces.size(), hull->edges.size() + 2);
    EXPECT_NEAR(hull->mass.volume, 4.0f / 3.0f * pi, 0.01f);
    const float perMass = hull->mass.inertia(1, 1) / hull->mass.volume;
    EXPECT_NEAR(perMass, 0.4f, 0.01f);
}

TEST(HullOfAwkwardSets, LatticeOfCoplanarAndCollinearPoints)
{
    // A 16 x 16 x 16 lattice: every face has 256 coplanar points, every edge 16 collinear ones.
    std::vector<Vector3> points;
    for (int x = 0; x < 16; ++x)
        for (int y = 0; y < 16; ++y)
            for (int z = 0; z < 16; ++z)
                points.push_back({x * 0.1f, y * 0.1f, z * 0.1f});
    const std::optional<ConvexHull> hull = buildConvexHull(points);
    ASSERT_TRUE(hull.has_value());
    expectFaceSizes(*hull, 6, 4);
    EXPECT_EQ(hull->vertices.size(), 8u);
    expectSoundHull(*hull, points, unitAllowance);
}

TEST(HullOfAwkwardSets, NastyGeneratedSetsGiveSoundHulls)
{
    // Clusters of near-duplicates, points on a coarse lattice, cylinders with
    // coplanar caps and collinear rims, and slabs a few tolerances thick: every
    // one must end in a sound hull that holds all its points.
    RandomPoints random(23);
    for (int round = 0; round < 40; ++round) {
        std::vector<Vector3> points;
        const int kind = round % 4;
        for (int i = 0; i < 200; ++i) {
            if (kind == 0) {
                const Vector3 centre = Vector3(static_cast<float>(i % 5), static_cast<float>(i % 3), 0.0f);
                points.push_back(centre + random.inBox(1e-6f) + Vector3(0, 0, static_cast<float>(i % 2)));
            } else if (kind == 1) {
                points.push_back({std::round(random.uniform(-3, 3)), std::round(random.uniform(-3, 3)),
                                  std::round(random.uniform(-3, 3)) * 0.5f});
            } else if (kind == 2) {
                const float a = static_cast<float>(i % 24) * (2.0f * pi / 24.0f);
                const float level = static_cast<float>((i / 24) % 3) - 1.0f;
                points.push_back(Vector3(std::cos(a), level, std::sin(a)) + random.inBox(1e-6f));
            } else {
                points.push_back({random.uniform(-1, 1), random.uniform(-3, 3) * hullPlaneTolerance,
                                  random.uniform(-1, 1)});
            }
        }
        SCOPED_TRACE(testing::Message() << "round " << round);
        const std::optional<ConvexHull> hull = buildConvexHull(points);
        ASSERT_TRUE(hull.has_value());
        expectSoundHull(*hull, points, 3.0f * 4.0f * unitAllowance);
    }
}

TEST(HullOfAwkwardSets, PrismKeepsItsCapsAndSideQuadrilaterals)
{
    // A 24-sided prism whose corners are rounded off their planes by far less
    // than the tolerance, with a middle ring of points on the side faces.
    RandomPoints random(31);
    std::vector<Vector3> points;
    for (int level = -1; level <= 1; ++level)
        for (int i = 0; i < 24; ++i) {
            const float a = static_cast<float>(i) * (2.0f * pi / 24.0f);
            points.push_back(Vector3(std::cos(a), static_cast<float>(level), std::sin(a)) +
                             random.inBox(1e-7f));
        }
    const std::optional<ConvexHull> hull = buildConvexHull(points);
    ASSERT_TRUE(hull.has_value());
    EXPECT_EQ(hull->vertices.size(), 48u);
    EXPECT_EQ(hull->faces.size(), 26u);
    EXPECT_EQ(hull->edges.size(), 72u);
    expectSoundHull(*hull, points, unitAllowance);
}
