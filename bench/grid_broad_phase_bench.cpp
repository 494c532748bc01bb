// Cost of the solver's grid broad phase alone on 65,536 cubes at 1, 2, 8 and 64
// threads: a jittered lattice pile of cubes of side 2 about 2.5 apart on a
// floor, its upper layers awake and looking for partners. findPairs builds the
// grid and finds the pairs, as every step does; findPairsOfGrown looks again
// with one awake box in 32 grown, in the grid findPairs left.
#include "physics/solver/GridBroadPhase.h"
#include "physics/solver/WorkerPool.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <random>
#include <vector>

namespace {

using Tolvane::Math::Vector3;
using Tolvane::Physics::GridBroadPhase;
using Tolvane::Physics::WorkerPool;
using Tolvane::Physics::WorldBox;

constexpr int side = 64;
constexpr int layers = 16;
constexpr float spacing = 2.5f;
constexpr float jitter = 0.3f;

/// The pile: side × side × layers cubes (65,536) then the floor under them.
struct Pile {
    std::vector<WorldBox> boxes;
    /// The boxes of the upper half of the layers, which are awake.
    std::vector<char> queries;
    /// The boxes with one in 32 of the awake ones grown by up to a cube's side.
    std::vector<WorldBox> grownBoxes;
    std::vector<char> grown;
};

Pile makePile()
{
    Pile pile;
    std::mt19937 random(2024);
    std::uniform_real_distribution<float> shift(-jitter, jitter);
    std::uniform_real_distribution<float> growth(0.0f, 2.0f);
    for (int y = 0; y < layers; ++y)
        for (int x = 0; x < side; ++x)
            for (int z = 0; z < side; ++z) {
                const Vector3 centre(x * spacing + shift(random), 1.0f + y * spacing + shift(random),
                                     z * spacing + shift(random));
                pile.boxes.push_back(
                    {centre - Vector3(1.0f, 1.0f, 1.0f), centre + Vector3(1.0f, 1.0f, 1.0f)});
                pile.queries.push_back(y >= layers / 2 ? 1 : 0);
            }
    pile.boxes.push_back(
        {Vector3(-10.0f, -1.0f, -10.0f), Vector3(side * spacing + 10.0f, 0.0f, side * spacing + 10.0f)});
    pile.queries.push_back(0);

    pile.grownBoxes = pile.boxes;
    pile.grown.assign(pile.boxes.size(), 0);
    for (std::size_t i = 0; i < pile.boxes.size(); ++i)
        if (pile.queries[i] && i % 32 == 0) {
            pile.grown[i] = 1;
            pile.grownBoxes[i].min -= Vector3(growth(random), growth(random), 0.0f);
            pile.grownBoxes[i].max += Vector3(0.0f, 0.0f, growth(random));
        }
    return pile;
}

const Pile& pile()
{
    static const Pile made = makePile();
    return made;
}

const auto everyPair = [](std::int32_t, std::int32_t) { return true; };

/// The processor time of every thread of the process so far, in microseconds.
double processMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1.0e6 + static_cast<double>(now.tv_nsec) * 1.0e-3;
}

/// Times look(grid, pairs) on the benchmark's number of threads, on a grid
/// that findPairs has filled once. Besides the time, the processor time of
/// all threads together per look ("all_threads_us"): the work done in all,
/// which more threads must not make grow.
template <class Look> void timeGrid(benchmark::State& state, Look look)
{
    WorkerPool pool(static_cast<int>(state.range(0)));
    GridBroadPhase grid;
    grid.setPool(&pool);
    GridBroadPhase::Pairs pairs;
    grid.findPairs(pile().boxes, pile().queries, everyPair, pairs);
    const double start = processMicroseconds();
    for (auto _ : state) {
        look(grid, pairs);
        benchmark::DoNotOptimize(pairs.data());
    }
    state.counters["all_threads_us"] =
        (processMicroseconds() - start) /
        static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["pairs"] = static_cast<double>(pairs.size());
}

void gridFindPairs(benchmark::State& state)
{
    timeGrid(state, [](GridBroadPhase& grid, GridBroadPhase::Pairs& pairs) {
        grid.findPairs(pile().boxes, pile().queries, everyPair, pairs);
    });
}

void gridFindPairsOfGrown(benchmark::State& state)
{
    timeGrid(state, [](GridBroadPhase& grid, GridBroadPhase::Pairs& pairs) {
        grid.findPairsOfGrown(pile().grownBoxes, pile().grown, everyPair, pairs);
    });
}

void threadCounts(benchmark::internal::Benchmark* run)
{
    run->ArgName("threads")->Arg(1)->Arg(2)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond)->UseRealTime();
}

} // namespace

BENCHMARK(gridFindPairs)->Apply(threadCounts);
BENCHMARK(gridFindPairsOfGrown)->Apply(threadCounts);
