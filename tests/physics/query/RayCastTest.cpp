// Ray casts: against every triangle of settled piles, and at the edges of what
// a ray can do (starting inside, along faces, through corners, cut short).
#include "BruteForce.h"
#include "QueryModels.h"
#include "physics/PhysicalUniverse.h"
#include "physics/query/WorldQuery.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>

namespace Tolvane {
namespace {

using Math::Vector3;
using Physics::PhysicalObject;
using Physics::PhysicalUniverse;
using Physics::Ray;
using Physics::RayHit;
using Testing::Triangle;

/// Hits of different triangles closer than this count as one distance: the
/// hulls' planes and the triangles agree to about a millionth of the pile's size.
constexpr float sameDistance = 1e-3f;

/// What the brute force finds along one ray: the nearest distance, and every
/// (body, normal facing the ray) met within sameDistance of it.
struct Nearest {
    float distance = std::numeric_limits<float>::infinity();
    std::vector<std::pair<const PhysicalObject*, Vector3>> met;
    /// Every body crossed within the ray's reach.
    std::set<const PhysicalObject*> bodies;
};

Nearest bruteForce(const std::vector<std::shared_ptr<PhysicalObject>>& bodies,
                   const std::vector<std::vector<Triangle>>& triangles,
                   const std::vector<std::pair<Vector3, float>>& bounds, const Vector3& origin,
                   const Vector3& direction, float reach)
{
    Nearest nearest;
    std::vector<std::tuple<float, const PhysicalObject*, Vector3>> crossings;
    for (std::size_t b = 0; b < bodies.size(); ++b) {
        // A body the ray passes clear of its bounding sphere has no triangle
        // on the ray: its triangles are not tried.
        const auto& [centre, radius] = bounds[b];
        const Vector3 nearestPoint = origin + direction * std::max(0.0f, dot(centre - origin, direction));
        if ((nearestPoint - centre).length() > radius + 1.0f)
            continue;
        for (const Triangle& t : triangles[b])
            if (const auto distance = Testing::crossTriangle(origin, direction, t);
                distance && *distance <= reach) {
                Vector3 normal = Math::normalized(cross(t[1] - t[0], t[2] - t[0]));
                if (dot(normal, direction) > 0.0f)
                    normal = -normal;
                crossings.emplace_back(*distance, bodies[b].get(), normal);
                nearest.distance = std::min(nearest.distance, *distance);
                nearest.bodies.insert(bodies[b].get());
            }
    }
    for (const auto& [distance, body, normal] : crossings)
        if (distance <= nearest.distance + sameDistance)
            nearest.met.emplace_back(body, normal);
    return nearest;
}

class RayCastTest : public Testing::SettledPileTest {};

// Rays from all around, aimed at random points of the pile's region, most of
// them unbounded, every fifth cut short. The lattice is cubes on a floor (hulls
// only); the bowl adds a fixed concave part met by its triangles.
TEST_F(RayCastTest, AgreesWithEveryTriangleOnRandomRaysThroughSettledPiles)
{
    struct Pile {
        const char* scene;
        int rays;
    };
    for (const Pile pile : {Pile{"lattice.json", 10000}, Pile{"lattice-bowl.json", 2000}}) {
        SCOPED_TRACE(pile.scene);
        const auto scene = settle(pile.scene, 300);
        const auto& bodies = scene->bodies();
        std::vector<std::vector<Triangle>> triangles;
        // Each body's triangles, and a sphere about its first corner holding them.
        std::vector<std::pair<Vector3, float>> bounds;
        for (const auto& body : bodies) {
            triangles.push_back(Testing::worldTriangles(*body));
            const Vector3 centre = triangles.back()[0][0];
            float radius = 0.0f;
            for (const Triangle& t : triangles.back())
                for (const Vector3& corner : t)
                    radius = std::max(radius, (corner - centre).length());
            bounds.emplace_back(centre, radius);
        }
        const Physics::WorldQuery& view = PhysicalUniverse::queryView();
        ASSERT_EQ(view.bodyCount(), bodies.size());

        std::mt19937 random(30);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        const Vector3 middle(5.0f, -3.0f, 5.0f);
        int hits = 0;
        int faults = 0;
        for (int r = 0; r < pile.rays; ++r) {
            Vector3 origin;
            // Rays from inside the floor slab meet it at once, where the
            // triangles see its far side: those are the edge cases' business.
            do {
                Vector3 around;
                while (around.isZero())
                    around = {unit(random), unit(random), unit(random)};
                origin = middle + Math::normalized(around) * 40.0f;
            } while (std::fabs(origin.y + 7.5f) <= 0.5f && std::fabs(origin.x) <= 30.0f &&
                     std::fabs(origin.z) <= 30.0f);
            const Vector3 target =
                middle + Vector3(unit(random) * 10.0f, unit(random) * 5.0f, unit(random) * 10.0f);
            const Ray ray{origin, target - origin,
                          r % 5 == 0 ? 30.0f + 20.0f * unit(random) : std::numeric_limits<float>::infinity()};
            const Vector3 direction = Math::normalized(ray.direction);
            const Nearest expected =
                bruteForce(bodies, triangles, bounds, origin, direction, ray.maxDistance);
            const std::optional<RayHit> hit = view.castRay(ray);

            bool agrees = hit.has_value() == !expected.met.empty();
            if (agrees && hit) {
                ++hits;
                bool sameFace = false;
                for (const auto& [body, normal] : expected.met)
                    sameFace |= body == hit->body.get() && dot(normal, hit->normal) > 0.999f;
                agrees =
                    sameFace && std::fabs(hit->distance - expected.distance) <= sameDistance &&
                    (hit->point - (origin + direction * expected.distance)).length() <= 2.0f * sameDistance;
            }
            if (r % 10 == 0) {
                // Every body the brute force crosses, each once, nearest first.
                const std::vector<RayHit> all = view.castRayAll(ray);
                std::set<const PhysicalObject*> allBodies;
                for (std::size_t k = 0; k < all.size(); ++k) {
                    allBodies.insert(all[k].body.get());
                    agrees &= k == 0 || all[k - 1].distance <= all[k].distance;
                }
                agrees &= all.size() == allBodies.size() && allBodies == expected.bodies;
                agrees &= all.empty() || (hit && all.front().distance == hit->distance);
            }
            if (!agrees && ++faults <= 5)
                ADD_FAILURE() << "ray " << r << " from (" << origin.x << ", " << origin.y << ", " << origin.z
                              << ") to (" << target.x << ", " << target.y << ", " << target.z
                              << "): brute force " << (expected.met.empty() ? -1.0f : expected.distance)
                              << ", query " << (hit ? hit->distance : -1.0f);
        }
        EXPECT_EQ(faults, 0);
        // Most rays are aimed into the pile: the comparison is not of misses alone.
        EXPECT_GT(hits, pile.rays / 2);
    }
}

class RayEdgeTest : public Testing::OneCubeWorld {};

TEST_F(RayEdgeTest, RayStartingInsideABodyMeetsItAtItsOrigin)
{
    const Vector3 origin(0.25f, -0.5f, 0.1f);
    const auto hit = PhysicalUniverse::castRay({origin, {0.0f, 0.0f, 3.0f}});
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->body, cube);
    EXPECT_EQ(hit->distance, 0.0f);
    EXPECT_EQ(hit->point, origin);
    EXPECT_EQ(hit->normal, Vector3(0.0f, 0.0f, -1.0f));
    // The ray still goes on through the cube to the bodies behind it.
    const auto behind = Testing::addBody(*set, Physics::Testing::cubePart(), {0.0f, 0.0f, 5.0f});
    const auto all = PhysicalUniverse::castRayAll({origin, {0.0f, 0.0f, 1.0f}});
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].body, behind);
    EXPECT_NEAR(all[1].distance, 3.9f, 1e-5f);
}

// Rays along a face's plane, through an edge and a corner touch the cube
// there; a hair beside them misses it.
TEST_F(RayEdgeTest, RaysAlongFacesAndThroughEdgesAndCornersTouch)
{
    struct Case {
        Vector3 origin;
        Vector3 direction;
        float distance;
        Vector3 point;
    };
    const float corner = std::sqrt(3.0f) * 4.0f;
    for (const Case c :
         {Case{{-5, 1, 0}, {1, 0, 0}, 4.0f, {-1, 1, 0}}, Case{{-5, 1, 1}, {1, 0, 0}, 4.0f, {-1, 1, 1}},
          Case{{-5, -5, 0}, {1, 1, 0}, std::sqrt(32.0f), {-1, -1, 0}},
          Case{{-5, 3, 0}, {1, -1, 0}, std::sqrt(32.0f), {-1, -1, 0}},
          Case{{-5, 3, -1}, {1, -1, 0}, std::sqrt(32.0f), {-1, -1, -1}},
          Case{{-5, -5, -5}, {1, 1, 1}, corner, {-1, -1, -1}},
          Case{{0, 7, 0}, {0, -1, 0}, 6.0f, {0, 1, 0}}}) {
        SCOPED_TRACE(testing::Message() << "from " << c.origin.x << ", " << c.origin.y << ", " << c.origin.z);
        const auto hit = PhysicalUniverse::castRay({c.origin, c.direction});
        ASSERT_TRUE(hit);
        EXPECT_NEAR(hit->distance, c.distance, 1e-5f);
        EXPECT_NEAR((hit->point - c.point).length(), 0.0f, 1e-5f);
        EXPECT_NEAR(hit->normal.length(), 1.0f, 1e-6f);
        EXPECT_LT(dot(hit->normal, c.direction), 0.0f);
    }
    EXPECT_FALSE(PhysicalUniverse::castRay({{-5, 1.0001f, 0}, {1, 0, 0}}));
    EXPECT_FALSE(PhysicalUniverse::castRay({{-5, 2.999f, 0}, {1, -1, 0}}));
    EXPECT_FALSE(PhysicalUniverse::castRay({{-5, 3, -1.001f}, {1, -1, 0}}));
    EXPECT_FALSE(PhysicalUniverse::castRay({{-5, 0, 0}, {-1, 0, 0}}));
}

TEST_F(RayEdgeTest, ReachEndsTheRayAndTouchingItsEndCounts)
{
    EXPECT_TRUE(PhysicalUniverse::castRay({{-5, 0, 0}, {1, 0, 0}, 4.0f}));
    EXPECT_FALSE(PhysicalUniverse::castRay({{-5, 0, 0}, {1, 0, 0}, 3.99f}));
    EXPECT_TRUE(PhysicalUniverse::castRay({{-1, 0, 0}, {1, 0, 0}, 0.0f}));
    EXPECT_TRUE(PhysicalUniverse::castRayAll({{-5, 0, 0}, {1, 0, 0}, 3.99f}).empty());
}

// A ray with no way to go, or not finite, is refused, not taken as a miss;
// a tiny direction is still a direction.
TEST_F(RayEdgeTest, RaysWithoutADirectionOrNotFiniteAreRefused)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const Ray& ray :
         {Ray{{-5, 0, 0}, {0, 0, 0}}, Ray{{-5, 0, 0}, {nan, 0, 0}}, Ray{{-5, 0, 0}, {inf, 1, 0}},
          Ray{{nan, 0, 0}, {1, 0, 0}}, Ray{{-5, 0, 0}, {1, 0, 0}, -1.0f}, Ray{{-5, 0, 0}, {1, 0, 0}, nan}}) {
        EXPECT_THROW(PhysicalUniverse::castRay(ray), std::invalid_argument);
        EXPECT_THROW(PhysicalUniverse::castRayAll(ray), std::invalid_argument);
    }
    const auto hit = PhysicalUniverse::castRay({{-5, 0, 0}, {1e-30f, 0, 0}});
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->distance, 4.0f);
}

TEST_F(RayEdgeTest, FilterPassesOverBodiesByLayerListAndTest)
{
    const auto second = Testing::addBody(*set, Physics::Testing::cubePart(), {4.0f, 0.0f, 0.0f});
    second->collisionLayer = 3;
    const Ray ray{{-5, 0, 0}, {1, 0, 0}};
    Physics::QueryFilter filter;
    EXPECT_EQ(PhysicalUniverse::castRay(ray, filter)->body, cube);
    filter.ignored = {cube.get()};
    EXPECT_EQ(PhysicalUniverse::castRay(ray, filter)->body, second);
    filter.layers = ~(1u << 3);
    EXPECT_FALSE(PhysicalUniverse::castRay(ray, filter));
    filter = {};
    filter.accepts = [&](const PhysicalObject& body) { return &body == second.get(); };
    EXPECT_EQ(PhysicalUniverse::castRay(ray, filter)->body, second);
    filter.layers = 1u << 3;
    filter.accepts = nullptr;
    const auto all = PhysicalUniverse::castRayAll(ray, filter);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].body, second);
}

// A fixed trough is met by its triangles, from above at the groove and from
// below at its underside; a movable one by its hull, a prism whose top is the
// rim; a kinematic one by its triangles again.
TEST_F(RayEdgeTest, FixedConcavePartsAreMetByTheirTrianglesMovableOnesByTheirHull)
{
    const auto fixedTrough = Testing::addBody(*set, Testing::troughPart(), {10.0f, 0.0f, 0.0f}, true);
    const auto movableTrough = Testing::addBody(*set, Testing::troughPart(), {20.0f, 0.0f, 0.0f});
    const auto groove = PhysicalUniverse::castRay({{10, 5, 0}, {0, -1, 0}});
    ASSERT_TRUE(groove);
    EXPECT_EQ(groove->body, fixedTrough);
    EXPECT_NEAR(groove->distance, 5.0f, 1e-5f);
    const auto slope = PhysicalUniverse::castRay({{11, 5, 0}, {0, -1, 0}});
    ASSERT_TRUE(slope);
    EXPECT_NEAR(slope->distance, 4.5f, 1e-5f);
    EXPECT_NEAR(dot(slope->normal, Math::normalized(Vector3(-1, 2, 0))), 1.0f, 1e-5f);
    const auto underside = PhysicalUniverse::castRay({{11, -5, 0}, {0, 1, 0}});
    ASSERT_TRUE(underside);
    EXPECT_NEAR(underside->distance, 5.5f, 1e-5f);
    EXPECT_LT(underside->normal.y, 0.0f);

    const auto rim = PhysicalUniverse::castRay({{20, 5, 0}, {0, -1, 0}});
    ASSERT_TRUE(rim);
    EXPECT_EQ(rim->body, movableTrough);
    EXPECT_NEAR(rim->distance, 4.0f, 1e-5f);
    // Made kinematic, contacts no longer move it: it is met by its triangles.
    movableTrough->kinematic = true;
    EXPECT_NEAR(PhysicalUniverse::castRay({{20, 5, 0}, {0, -1, 0}})->distance, 5.0f, 1e-5f);
}

} // namespace
} // namespace Tolvane
