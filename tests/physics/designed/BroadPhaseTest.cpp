// The designed response's broad phase finds exactly the pairs, in exactly the
// order, that testing all pairs with the bounding-sphere test would.
#include "physics/designed/BroadPhase.h"
#include "physics/body/PhysicalModel.h"
#include "physics/designed/CollisionQuery.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace Tolvane::Physics {
namespace {

using Math::Vector3;
using Pairs = std::vector<std::pair<std::int32_t, std::int32_t>>;

constexpr float dt = 0.025f;

struct Scene {
    std::vector<std::shared_ptr<PhysicalObject>> bodies;
    std::vector<Vector3> velocities;
};

/// The pairs k < l whose spheres may meet, by the all-pairs loop.
Pairs allPairs(const Scene& scene)
{
    Pairs result;
    for (std::size_t k = 0; k + 1 < scene.bodies.size(); ++k)
        for (std::size_t l = k + 1; l < scene.bodies.size(); ++l)
            if (Collision::boundingSpheresMayMeet(*scene.bodies[k], scene.velocities[k], *scene.bodies[l],
                                                  scene.velocities[l], dt))
                result.emplace_back(static_cast<std::int32_t>(k), static_cast<std::int32_t>(l));
    return result;
}

/// The same through the broad phase, kept from call to call as the universe keeps it.
Pairs broadPhasePairs(const Scene& scene, BroadPhase& broadPhase)
{
    std::vector<WorldBox> boxes;
    Pairs candidates;
    findSphereSweepPairs(scene.bodies, scene.velocities, dt, broadPhase, boxes, candidates);
    Pairs result;
    for (const auto& [k, l] : candidates)
        if (Collision::boundingSpheresMayMeet(*scene.bodies[k], scene.velocities[k], *scene.bodies[l],
                                              scene.velocities[l], dt))
            result.emplace_back(k, l);
    return result;
}

std::shared_ptr<PhysicalObject> body(const std::shared_ptr<PhysicalModel>& model, const Vector3& position)
{
    auto b = std::make_shared<PhysicalObject>(model);
    b->transform.position = position;
    return b;
}

TEST(DesignedBroadPhase, FindsWhatTheAllPairsSearchFindsInTheSameOrder)
{
    const auto cube = loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/SimpleCube.ac");
    const auto floor = loadPhysicalModel(std::string(TOLVANE_DATA_DIR) + "/Floor.ac");

    // The program's lattice over its floor, falling at the speed of its landing.
    Scene lattice;
    lattice.bodies.push_back(body(floor, {0.0f, -7.0f, 0.0f}));
    lattice.velocities.emplace_back();
    for (int i = 0; i < 125; ++i) {
        lattice.bodies.push_back(body(cube, {2.5f * (i / 5 % 5), 2.5f + 2.5f * (i % 5), 2.5f * (i / 25)}));
        lattice.velocities.emplace_back(0.0f, -12.8f, 0.0f);
    }
    BroadPhase latticePhase;
    const Pairs expected = allPairs(lattice);
    EXPECT_EQ(broadPhasePairs(lattice, latticePhase), expected);
    EXPECT_GT(expected.size(), 125u);

    // Random crowds, from touching to far apart, moving every way, some very
    // fast and some far from the origin; the broad phase keeps its order from
    // one crowd to the next, as it does from step to step.
    std::mt19937 random(20261207);
    BroadPhase crowdPhase;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const float spread = std::uniform_real_distribution<float>(2.0f, 60.0f)(random);
        const float speed =
            std::uniform_real_distribution<float>(0.0f, round % 4 == 0 ? 2000.0f : 20.0f)(random);
        const float offset = round % 5 == 0 ? 1.0e5f : 0.0f;
        std::uniform_real_distribution<float> place(-spread, spread);
        std::uniform_real_distribution<float> move(-speed, speed);
        Scene crowd;
        for (int i = 0; i < 80; ++i) {
            crowd.bodies.push_back(
                body(i % 17 == 0 ? floor : cube, {offset + place(random), place(random), place(random)}));
            crowd.velocities.emplace_back(move(random), move(random), move(random));
        }
        EXPECT_EQ(broadPhasePairs(crowd, crowdPhase), allPairs(crowd));
    }

    // A body gone to infinity or NaN meets every other by the sphere test; the
    // broad phase must not lose those pairs.
    Scene broken = lattice;
    broken.bodies[7]->transform.position.x = std::numeric_limits<float>::quiet_NaN();
    broken.velocities[9].y = std::numeric_limits<float>::infinity();
    EXPECT_EQ(broadPhasePairs(broken, latticePhase), allPairs(broken));
}

} // namespace
} // namespace Tolvane::Physics
