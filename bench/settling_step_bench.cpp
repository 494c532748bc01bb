// Cost of one step of the solver response while the program's lattice lands
// and settles, at lattice sizes 5, 8, 10 and 12: the mean over steps 55 to 255,
// from the first impacts until most islands sleep.
#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

namespace {

using Tolvane::PhysicsTestScene;
using Tolvane::Physics::PhysicalUniverse;

/// The lattice reaches the floor at about this step.
constexpr int firstMeasuredStep = 55;
constexpr int measuredSteps = 200;

std::unique_ptr<PhysicsTestScene> landingLattice(int size)
{
    PhysicalUniverse::reset();
    std::srand(1);
    auto scene = std::make_unique<PhysicsTestScene>(TOLVANE_DATA_DIR, size);
    for (int step = 0; step < firstMeasuredStep; ++step)
        PhysicalUniverse::step();
    return scene;
}

void settlingStep(benchmark::State& state)
{
    const int size = static_cast<int>(state.range(0));
    std::unique_ptr<PhysicsTestScene> scene = landingLattice(size);
    int stepsTaken = 0;
    for (auto _ : state) {
        if (stepsTaken == measuredSteps) {
            state.PauseTiming();
            scene.reset();
            scene = landingLattice(size);
            stepsTaken = 0;
            state.ResumeTiming();
        }
        PhysicalUniverse::step();
        ++stepsTaken;
    }
    state.counters["blocks"] = size * size * size;
    state.SetItemsProcessed(state.iterations() * size * size * size);
    scene.reset();
    PhysicalUniverse::reset();
}

} // namespace

// Wall time: the steps run on the machine's cores, and the processor time of the calling thread
// would leave out the other threads' share (and so overstate the blocks per second).
BENCHMARK(settlingStep)
    ->Arg(5)
    ->Arg(8)
    ->Arg(10)
    ->Arg(12)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(measuredSteps)
    ->UseRealTime();
