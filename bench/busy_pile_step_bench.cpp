// Cost of one step of a busy pile, every cube awake: the 1000-cube pile of lattice-10-wide.json on
// 1 and 2 threads, the mean over steps 81 to 112, when every cube has landed in the pile and none
// sleeps yet; and the 125 cubes tumbling down the terrain of lattice-terrain.json (20,000
// triangles) on 1 thread, over steps 101 to 164. Each run builds the scene afresh, so repetitions
// (--benchmark_repetitions) time the same steps.
#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"
#include "scene/SceneFile.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

using Tolvane::PhysicsTestScene;
using Tolvane::Physics::PhysicalUniverse;

/// By this step the whole lattice has reached the pile. The first cubes fall asleep after step
/// 120; the timed steps end a few steps before, so that small changes to sleeping leave them busy.
constexpr int firstPileStep = 80;
constexpr int pileSteps = 32;
/// The cubes reach the terrain at step 60 and tumble down its slopes; the first fall asleep
/// after step 190.
constexpr int firstTerrainStep = 100;
constexpr int terrainSteps = 64;

/// A scene built afresh, as the headless runner builds it (rand() from its start-up seed),
/// and stepped to the first measured step.
std::unique_ptr<PhysicsTestScene> sceneAtStep(const char* file, int firstMeasuredStep)
{
    PhysicalUniverse::reset();
    std::srand(1);
    auto scene = std::make_unique<PhysicsTestScene>(Tolvane::loadSceneFile(file));
    PhysicalUniverse::startThreads();
    for (int step = 0; step < firstMeasuredStep; ++step)
        PhysicalUniverse::step();
    return scene;
}

void timeBusySteps(benchmark::State& state, const char* file, int firstMeasuredStep)
{
    PhysicalUniverse::setThreads(static_cast<int>(state.range(0)));
    std::unique_ptr<PhysicsTestScene> scene = sceneAtStep(file, firstMeasuredStep);
    // Exactly the window's steps, so that every run and repetition times the same work.
    for (auto _ : state)
        PhysicalUniverse::step();
    // The figure stands for the busy pile only while every cube still moved in the last timed step.
    const auto cubes = std::count_if(scene->bodies().begin(), scene->bodies().end(),
                                     [](const auto& body) { return !body->fixed; });
    const int awake = PhysicalUniverse::contactStatistics().awakeBodies;
    if (awake < cubes)
        state.SkipWithError("cubes fell asleep within the timed steps: move the window earlier");
    state.counters["threads"] = PhysicalUniverse::threads();
    state.counters["awake"] = awake;
    state.SetItemsProcessed(state.iterations() * cubes);
    scene.reset();
    PhysicalUniverse::reset();
}

void busyPileStep(benchmark::State& state)
{
    timeBusySteps(state, TOLVANE_SCENES_DIR "/lattice-10-wide.json", firstPileStep);
}

void busyTerrainStep(benchmark::State& state)
{
    timeBusySteps(state, TOLVANE_SCENES_DIR "/lattice-terrain.json", firstTerrainStep);
}

} // namespace

// Wall time: the processor time of the calling thread leaves out the other threads' share.
BENCHMARK(busyPileStep)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->Iterations(pileSteps)->UseRealTime();
BENCHMARK(busyTerrainStep)->Arg(1)->Unit(benchmark::kMicrosecond)->Iterations(terrainSteps)->UseRealTime();
