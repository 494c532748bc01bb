// Overlap queries: random spheres and turned boxes in a settled pile against
// a test of every body's triangles, and the shapes' edge cases.
#include "BruteForce.h"
#include "QueryModels.h"
#include "physics/PhysicalUniverse.h"
#include "physics/query/WorldQuery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

namespace Tolvane {
namespace {

using Math::Vector3;
using Physics::PhysicalObject;
using Physics::PhysicalUniverse;
using Physics::QueryBox;
using Physics::QuerySphere;
using Testing::Triangle;

/// Cases closer to touching than this, either way, are left out: the hulls'
/// planes and the triangles agree only to about a millionth of the pile's size.
constexpr float borderline = 1e-3f;

float distanceToSegment(const Vector3& p, const Vector3& a, const Vector3& b)
{
    const Vector3 ab = b - a;
    const float share = std::clamp(dot(p - a, ab) / ab.squaredLength(), 0.0f, 1.0f);
    return (a + ab * share - p).length();
}

float distanceToTriangle(const Vector3& p, const Triangle& t)
{
    const Vector3 normal = Math::normalized(cross(t[1] - t[0], t[2] - t[0]));
    const float height = dot(normal, p - t[0]);
    const Vector3 onPlane = p - normal * height;
    bool inside = true;
    for (int k = 0; k < 3; ++k)
        inside &= dot(cross(t[(k + 1) % 3] - t[k], onPlane - t[k]), normal) >= 0.0f;
    if (inside)
        return std::fabs(height);
    return std::min({distanceToSegment(p, t[0], t[1]), distanceToSegment(p, t[1], t[2]),
                     distanceToSegment(p, t[2], t[0])});
}

/// How far the sphere is from the convex body of these triangles: negative
/// when they meet (the centre inside gives minus the radius).
float sphereGap(const std::vector<Triangle>& body, const Vector3& centre, float radius)
{
    Vector3 middle;
    for (const Triangle& t : body)
        middle += (t[0] + t[1] + t[2]) * (1.0f / (3.0f * body.size()));
    bool inside = true;
    float nearest = std::numeric_limits<float>::infinity();
    for (const Triangle& t : body) {
        const Vector3 normal = cross(t[1] - t[0], t[2] - t[0]);
        inside &= dot(normal, centre - t[0]) * dot(normal, middle - t[0]) >= 0.0f;
        nearest = std::min(nearest, distanceToTriangle(centre, t));
    }
    return inside ? -radius : nearest - radius;
}

/// The largest gap between the box and the convex body of these triangles
/// along every axis that may part them: the box's axes, the triangles'
/// normals and the cross products of their edges. Negative when they meet.
float boxGap(const std::vector<Triangle>& body, const Vector3& centre, const Vector3 (&axes)[3],
             const Vector3& half)
{
    std::vector<Vector3> candidates(std::begin(axes), std::end(axes));
    for (const Triangle& t : body) {
        candidates.push_back(cross(t[1] - t[0], t[2] - t[0]));
        for (int k = 0; k < 3; ++k)
            for (const Vector3& axis : axes)
                candidates.push_back(cross(axis, t[(k + 1) % 3] - t[k]));
    }
    float gap = -std::numeric_limits<float>::infinity();
    for (const Vector3& candidate : candidates) {
        if (candidate.length() < 1e-4f)
            continue;
        const Vector3 axis = Math::normalized(candidate);
        const float reach = std::fabs(dot(axes[0], axis)) * half.x + std::fabs(dot(axes[1], axis)) * half.y +
                            std::fabs(dot(axes[2], axis)) * half.z;
        float low = std::numeric_limits<float>::infinity();
        float high = -low;
        for (const Triangle& t : body)
            for (const Vector3& corner : t) {
                low = std::min(low, dot(corner, axis));
                high = std::max(high, dot(corner, axis));
            }
        const float middle = dot(centre, axis);
        gap = std::max(gap, std::max(low - (middle + reach), (middle - reach) - high));
    }
    return gap;
}

class OverlapTest : public Testing::SettledPileTest {};

// Every body of the pile is convex (cubes and the floor), so a shape meets it
// when it meets the solid its triangles enclose.
TEST_F(OverlapTest, AgreesWithEveryTriangleOnRandomSpheresAndBoxesInThePile)
{
    const auto scene = settle("lattice.json", 300);
    const auto& bodies = scene->bodies();
    std::vector<std::vector<Triangle>> triangles;
    for (const auto& body : bodies)
        triangles.push_back(Testing::worldTriangles(*body));
    const Physics::WorldQuery& view = PhysicalUniverse::queryView();

    std::mt19937 random(31);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    const Vector3 middle(5.0f, -3.0f, 5.0f);
    int compared = 0;
    int met = 0;
    int faults = 0;
    for (int shape = 0; shape < 4000; ++shape) {
        const bool sphere = shape % 2 == 0;
        const Vector3 centre =
            middle + Vector3(unit(random) * 10.0f, unit(random) * 5.0f, unit(random) * 10.0f);
        // Every tenth box is flat: a zero half extent.
        const Vector3 half(1.25f + 1.25f * unit(random), 1.25f + 1.25f * unit(random),
                           shape % 20 == 1 ? 0.0f : 1.25f + 1.25f * unit(random));
        // Orientations of any length: the query normalises them.
        const Math::Quaternion orientation(unit(random) * 3.0f, unit(random) * 3.0f, unit(random) * 3.0f,
                                           unit(random) * 3.0f);
        const float length = std::sqrt(orientation.w * orientation.w + orientation.x * orientation.x +
                                       orientation.y * orientation.y + orientation.z * orientation.z);
        const Math::Axes turned = Math::toAxes(
            {orientation.w / length, orientation.x / length, orientation.y / length, orientation.z / length});
        const Vector3 axes[3] = {turned.xAxis, turned.yAxis, turned.zAxis};

        const auto found =
            sphere ? view.overlapSphere({centre, half.x}) : view.overlapBox({centre, half, orientation});
        for (std::size_t b = 0; b < bodies.size(); ++b) {
            // A body whose box lies clearly beyond the box around the shape's
            // bounding sphere is apart from it, and needs no axes.
            const float reach = (sphere ? half.x : half.length()) + 0.5f;
            bool far = false;
            for (int axis = 0; axis < 3; ++axis) {
                float low = std::numeric_limits<float>::infinity();
                float high = -low;
                for (const Triangle& t : triangles[b])
                    for (const Vector3& corner : t) {
                        const float along = axis == 0 ? corner.x : axis == 1 ? corner.y : corner.z;
                        low = std::min(low, along);
                        high = std::max(high, along);
                    }
                const float middle = axis == 0 ? centre.x : axis == 1 ? centre.y : centre.z;
                far |= low > middle + reach || high < middle - reach;
            }
            const float gap = far      ? 1.0f
                              : sphere ? sphereGap(triangles[b], centre, half.x)
                                       : boxGap(triangles[b], centre, axes, half);
            if (std::fabs(gap) < borderline)
                continue;
            ++compared;
            const bool expected = gap < 0.0f;
            met += expected ? 1 : 0;
            const bool reported = std::find(found.begin(), found.end(), bodies[b]) != found.end();
            if (reported != expected && ++faults <= 5)
                ADD_FAILURE() << (sphere ? "sphere " : "box ") << shape << " at (" << centre.x << ", "
                              << centre.y << ", " << centre.z << ") and body " << b << ": gap " << gap
                              << ", reported " << reported;
        }
        EXPECT_TRUE(std::is_sorted(found.begin(), found.end(), [&](const auto& a, const auto& b) {
            return std::find(bodies.begin(), bodies.end(), a) < std::find(bodies.begin(), bodies.end(), b);
        }));
    }
    EXPECT_EQ(faults, 0);
    EXPECT_GT(met, 4000);
    EXPECT_GT(compared, 4000 * static_cast<int>(bodies.size()) * 99 / 100);
}

class OverlapEdgeTest : public Testing::OneCubeWorld {};

// A shape wholly inside a hull, a point, a touching face and a flat box all
// meet it; a hair away they do not.
TEST_F(OverlapEdgeTest, ShapesInsideTouchingOrFlatMeetAHull)
{
    const Math::Quaternion square;
    const Math::Quaternion turned = Math::fromAxisAngle({0, 0, 1}, 0.7853982f);
    EXPECT_EQ(PhysicalUniverse::overlapSphere({{0.2f, 0, 0}, 0.1f}).size(), 1u);
    EXPECT_EQ(PhysicalUniverse::overlapSphere({{0.2f, 0, 0}, 0.0f}).size(), 1u);
    EXPECT_EQ(PhysicalUniverse::overlapSphere({{2.5f, 0, 0}, 1.5f}).size(), 1u);
    EXPECT_TRUE(PhysicalUniverse::overlapSphere({{2.5f, 0, 0}, 1.499f}).empty());
    // Beyond a corner the nearest point is the corner, not a face's plane.
    EXPECT_TRUE(PhysicalUniverse::overlapSphere({{2, 2, 2}, 1.7f}).empty());
    EXPECT_EQ(PhysicalUniverse::overlapSphere({{2, 2, 2}, 1.733f}).size(), 1u);
    EXPECT_EQ(PhysicalUniverse::overlapBox({{0, 0, 0}, {0.1f, 0.1f, 0.1f}, square}).size(), 1u);
    EXPECT_EQ(PhysicalUniverse::overlapBox({{3, 0, 0}, {2, 1, 1}, square}).size(), 1u);
    EXPECT_TRUE(PhysicalUniverse::overlapBox({{3.01f, 0, 0}, {2, 1, 1}, square}).empty());
    EXPECT_EQ(PhysicalUniverse::overlapBox({{0, 3, 0}, {5, 2, 0}, square}).size(), 1u);
    // A box turned 45 degrees about z reaches its corner sqrt(2) out along x.
    EXPECT_EQ(PhysicalUniverse::overlapBox({{2.4f, 0, 0}, {1, 1, 1}, turned}).size(), 1u);
    EXPECT_TRUE(PhysicalUniverse::overlapBox({{2.42f, 0, 0}, {1, 1, 1}, turned}).empty());
}

// The trough's hollow is inside its hull but touches none of its triangles.
TEST_F(OverlapEdgeTest, FixedConcavePartsAreMetByTheirTrianglesMovableOnesByTheirHull)
{
    const auto fixedTrough = Testing::addBody(*set, Testing::troughPart(), {10, 0, 0}, true);
    const auto movableTrough = Testing::addBody(*set, Testing::troughPart(), {20, 0, 0});
    const Math::Quaternion square;
    EXPECT_TRUE(PhysicalUniverse::overlapSphere({{10, 0.8f, 0}, 0.2f}).empty());
    EXPECT_EQ(PhysicalUniverse::overlapSphere({{20, 0.8f, 0}, 0.2f}).front(), movableTrough);
    EXPECT_TRUE(PhysicalUniverse::overlapBox({{10, 0.8f, 0}, {0.1f, 0.1f, 0.5f}, square}).empty());
    EXPECT_EQ(PhysicalUniverse::overlapBox({{20, 0.8f, 0}, {0.1f, 0.1f, 0.5f}, square}).front(),
              movableTrough);
    EXPECT_EQ(PhysicalUniverse::overlapSphere({{10, 0.8f, 0}, 0.8f}).front(), fixedTrough);
    EXPECT_EQ(PhysicalUniverse::overlapBox({{10, 0.5f, 0}, {0.1f, 0.5f, 0.5f}, square}).front(), fixedTrough);
}

TEST_F(OverlapEdgeTest, ShapesWithoutASizeOrNotFiniteAreRefused)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Math::Quaternion square;
    EXPECT_THROW(PhysicalUniverse::overlapSphere({{0, 0, 0}, -1.0f}), std::invalid_argument);
    EXPECT_THROW(PhysicalUniverse::overlapSphere({{0, 0, 0}, nan}), std::invalid_argument);
    EXPECT_THROW(PhysicalUniverse::overlapSphere({{nan, 0, 0}, 1.0f}), std::invalid_argument);
    EXPECT_THROW(PhysicalUniverse::overlapBox({{0, 0, 0}, {1, -1, 1}, square}), std::invalid_argument);
    EXPECT_THROW(PhysicalUniverse::overlapBox({{0, 0, 0}, {1, nan, 1}, square}), std::invalid_argument);
    EXPECT_THROW(PhysicalUniverse::overlapBox({{0, 0, 0}, {1, 1, 1}, {0, 0, 0, 0}}), std::invalid_argument);
    EXPECT_THROW(PhysicalUniverse::overlapBox({{0, 0, 0}, {1, 1, 1}, {nan, 0, 0, 1}}), std::invalid_argument);
}

} // namespace
} // namespace Tolvane
