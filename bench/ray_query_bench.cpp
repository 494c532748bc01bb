// Cost of the world queries on the program's lattice after it has settled, at
// lattice sizes 5 and 12: 10,000 random rays through the pile, 10,000 spheres
// and boxes in it, and bringing the query view up to date after a step.
#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

namespace {

using Tolvane::PhysicsTestScene;
using Tolvane::Math::Quaternion;
using Tolvane::Math::Vector3;
using Tolvane::Physics::PhysicalUniverse;
using Tolvane::Physics::QueryBox;
using Tolvane::Physics::QuerySphere;
using Tolvane::Physics::Ray;

/// Steps after which the lattice lies settled on the floor.
constexpr int settlingSteps = 300;
constexpr int queriesPerRun = 10000;

std::unique_ptr<PhysicsTestScene> settledLattice(int size)
{
    PhysicalUniverse::reset();
    std::srand(1);
    auto scene = std::make_unique<PhysicsTestScene>(TOLVANE_DATA_DIR, size);
    for (int step = 0; step < settlingSteps; ++step)
        PhysicalUniverse::step();
    return scene;
}

/// The middle and half size of the region the pile lies in.
struct Region {
    Vector3 middle;
    Vector3 half;
};

Region pileRegion(const PhysicsTestScene& scene)
{
    Vector3 low(1e30f, 1e30f, 1e30f);
    Vector3 high = -low;
    for (const auto& body : scene.bodies())
        if (!body->fixed) {
            const Vector3 p = body->transform.position;
            low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
            high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
        }
    return {(low + high) * 0.5f, (high - low) * 0.5f + Vector3(1.0f, 1.0f, 1.0f)};
}

/// Rays from a sphere around the pile, each aimed at a random point of it.
std::vector<Ray> raysThrough(const Region& region)
{
    std::mt19937 random(30);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    const float distance = region.half.length() * 3.0f;
    std::vector<Ray> rays;
    while (rays.size() < queriesPerRun) {
        const Vector3 around(unit(random), unit(random), unit(random));
        if (around.length() < 0.1f)
            continue;
        const Vector3 origin = region.middle + around * (distance / around.length());
        const Vector3 target =
            region.middle +
            Vector3(unit(random) * region.half.x, unit(random) * region.half.y, unit(random) * region.half.z);
        rays.push_back({origin, target - origin});
    }
    return rays;
}

void castRays(benchmark::State& state)
{
    const int size = static_cast<int>(state.range(0));
    const bool throughUniverse = state.range(1) != 0;
    const auto scene = settledLattice(size);
    const std::vector<Ray> rays = raysThrough(pileRegion(*scene));
    int hits = 0;
    for (auto _ : state) {
        hits = 0;
        if (throughUniverse) {
            for (const Ray& ray : rays)
                hits += PhysicalUniverse::castRay(ray) ? 1 : 0;
        } else {
            const auto& view = PhysicalUniverse::queryView();
            for (const Ray& ray : rays)
                hits += view.castRay(ray) ? 1 : 0;
        }
        benchmark::DoNotOptimize(hits);
    }
    state.counters["blocks"] = size * size * size;
    state.counters["hit share"] = static_cast<double>(hits) / queriesPerRun;
    state.SetItemsProcessed(state.iterations() * queriesPerRun);
    PhysicalUniverse::reset();
}

void overlapShapes(benchmark::State& state)
{
    const int size = static_cast<int>(state.range(0));
    const bool boxes = state.range(1) != 0;
    const auto scene = settledLattice(size);
    const Region region = pileRegion(*scene);
    std::mt19937 random(31);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<QueryBox> shapes;
    for (int k = 0; k < queriesPerRun; ++k)
        shapes.push_back({region.middle + Vector3(unit(random) * region.half.x, unit(random) * region.half.y,
                                                  unit(random) * region.half.z),
                          Vector3(1.0f + unit(random), 1.0f + unit(random), 1.0f + unit(random)),
                          Quaternion(unit(random), unit(random), unit(random), 1.0f)});
    std::size_t found = 0;
    for (auto _ : state) {
        found = 0;
        const auto& view = PhysicalUniverse::queryView();
        for (const QueryBox& shape : shapes)
            found += boxes ? view.overlapBox(shape).size()
                           : view.overlapSphere(QuerySphere{shape.centre, shape.halfExtents.x}).size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["blocks"] = size * size * size;
    state.counters["bodies met"] = static_cast<double>(found) / queriesPerRun;
    state.SetItemsProcessed(state.iterations() * queriesPerRun);
    PhysicalUniverse::reset();
}

/// The first query after a step looks at every body and builds the tree again.
void updateAfterStep(benchmark::State& state)
{
    const int size = static_cast<int>(state.range(0));
    const auto scene = settledLattice(size);
    auto& block = *scene->bodies()[1];
    float nudge = 0.0f;
    for (auto _ : state) {
        state.PauseTiming();
        nudge = -nudge + 1e-3f;
        block.transform.position.x += nudge;
        state.ResumeTiming();
        benchmark::DoNotOptimize(&PhysicalUniverse::queryView());
    }
    state.counters["blocks"] = size * size * size;
    PhysicalUniverse::reset();
}

} // namespace

BENCHMARK(castRays)
    ->ArgsProduct({{5, 12}, {0, 1}})
    ->ArgNames({"size", "universe"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(overlapShapes)
    ->ArgsProduct({{5, 12}, {0, 1}})
    ->ArgNames({"size", "box"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(updateAfterStep)->Arg(5)->Arg(12)->ArgName("size")->Unit(benchmark::kMicrosecond);
