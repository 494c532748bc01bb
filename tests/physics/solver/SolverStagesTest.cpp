// The solver response's stages on their own: the body table's listing and
// waking, the broad phase's candidates, the contact cache's warm starting,
// islands, the batches of the solve and its split over the threads.
#include "AllocationCounter.h"
#include "BoxModels.h"
#include "physics/solver/BodyTable.h"
#include "physics/solver/ConstraintSolve.h"
#include "physics/solver/ContactBroadPhase.h"
#include "physics/solver/ContactCache.h"
#include "physics/solver/Islands.h"
#include "physics/solver/SolveBatches.h"
#include "physics/solver/ThreadSplit.h"
#include "physics/solver/UnionFind.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

namespace Tolvane::Physics {
namespace {

using Math::Vector3;

constexpr float dt = 0.025f;
const Vector3 gravity(0.0f, -9.81f, 0.0f);

/// Cubes of half size 1 in one set, and the stages up to the narrow phase.
struct Stages {
    std::vector<std::shared_ptr<CollisionSet>> sets{std::make_shared<CollisionSet>()};
    ContactSettings settings;
    WorkerPool pool{1};
    BodyTable bodies;
    ContactBroadPhase broadPhase;
    ContactCache contacts;
    ContactStepStatistics statistics;

    std::shared_ptr<PhysicalObject> add(const Vector3& centre, bool fixed = false)
    {
        auto body = std::make_shared<PhysicalObject>(Testing::cubePart());
        body->transform.position = centre;
        body->fixed = fixed;
        sets[0]->addBody(body);
        return body;
    }

    /// Gathers as a step does, the forces cleared since the last; true when quiet.
    bool gather(bool stepped)
    {
        for (const auto& body : sets[0]->bodies)
            body->force = Vector3();
        return bodies.gather(sets, dt, gravity, settings, stepped, pool);
    }

    /// Every body remembers the step as its own island, asleep when sleeps.
    void remember(bool sleeps)
    {
        for (std::size_t i = 0; i < bodies.size(); ++i)
            bodies.remember(i, sleeps, static_cast<std::int32_t>(i), false);
    }

    /// The broad and the narrow phase over the gathered bodies.
    void findContacts()
    {
        broadPhase.findCandidates(bodies, dt, pool);
        broadPhase.sortCandidates(bodies, pool);
        contacts.update(bodies, broadPhase, dt, pool, statistics);
    }
};

TEST(UnionFind, UnitedBodiesShareTheLowestRoot)
{
    std::vector<std::int32_t> parent{0, 1, 2, 3, 4, 5};
    uniteRoots(parent, 3, 5);
    uniteRoots(parent, 5, 1);
    uniteRoots(parent, 2, 4);
    EXPECT_EQ(findRoot(parent, 5), 1);
    EXPECT_EQ(findRoot(parent, 3), 1);
    EXPECT_EQ(findRoot(parent, 4), 2);
    EXPECT_EQ(findRoot(parent, 0), 0);
}

TEST(BodyTable, BodyInTwoSetsIsListedOnceAndWeighedOncePerPlace)
{
    Stages stages;
    const auto body = stages.add({0.0f, 0.0f, 0.0f});
    stages.sets.push_back(std::make_shared<CollisionSet>());
    stages.sets.back()->addBody(body);
    EXPECT_FALSE(stages.gather(false));
    ASSERT_EQ(stages.bodies.size(), 1u);
    EXPECT_FLOAT_EQ(body->force.y, 2.0f * gravity.y * body->mass);
    EXPECT_TRUE(stages.bodies.awake(0));
    // The box holds the cube, grown by its fall over the step.
    const WorldBox& box = stages.bodies.boxes()[0];
    EXPECT_LT(box.min.y, -1.0f);
    EXPECT_GT(box.max.y, 1.0f);
}

TEST(BodyTable, SleepingWorldIsQuietUntilCodeMovesABody)
{
    Stages stages;
    const auto moved = stages.add({0.0f, 0.0f, 0.0f});
    const auto other = stages.add({5.0f, 0.0f, 0.0f});
    EXPECT_FALSE(stages.gather(false));
    stages.remember(true);
    EXPECT_TRUE(stages.gather(true));
    EXPECT_TRUE(stages.bodies.asleep(0));

    moved->transform.position = {0.0f, 1.0f, 0.0f};
    EXPECT_FALSE(stages.gather(true));
    EXPECT_TRUE(stages.bodies.awake(0));
    // The other body slept in an island of its own: it sleeps on.
    EXPECT_TRUE(stages.bodies.asleep(1));
    EXPECT_EQ(stages.bodies.pairKey(0, 1) >> 32, moved->id);
    EXPECT_EQ(stages.bodies.pairKey(0, 1) & 0xffffffffu, other->id);
}

TEST(ContactBroadPhase, OnlyPairsWithAnAwakeBodyWhoseBoxesMeetAreCandidates)
{
    Stages stages;
    stages.add({0.0f, 0.0f, 0.0f});
    stages.add({0.0f, -2.01f, 0.0f}, true);
    // Two fixed bodies that overlap, and an awake body alone.
    stages.add({10.0f, 0.0f, 0.0f}, true);
    stages.add({10.0f, -1.5f, 0.0f}, true);
    stages.add({20.0f, 0.0f, 0.0f});
    stages.gather(false);
    stages.broadPhase.findCandidates(stages.bodies, dt, stages.pool);
    stages.broadPhase.sortCandidates(stages.bodies, stages.pool);
    const std::vector<KeyedCandidate>& candidates = stages.broadPhase.sortedCandidates();
    ASSERT_EQ(candidates.size(), 1u);
    EXPECT_EQ(candidates[0].i, 0);
    EXPECT_EQ(candidates[0].j, 1);
    EXPECT_EQ(candidates[0].key, stages.bodies.pairKey(0, 1));
}

// A layer of cubes each overlapping its eight neighbours: hundreds of
// candidates, enough for the sort by key to run by the keys' bytes. The cubes
// go into the set in the reverse of the order they were made, so that the key
// order (by ids) is not the order the bodies are listed in.
TEST(ContactBroadPhase, ManyCandidatesComeSortedByKeyEachPairOnce)
{
    Stages stages;
    std::vector<std::shared_ptr<PhysicalObject>> made;
    for (int row = 0; row < 10; ++row)
        for (int column = 0; column < 15; ++column) {
            made.push_back(std::make_shared<PhysicalObject>(Testing::cubePart()));
            made.back()->transform.position = {1.95f * static_cast<float>(column), 0.0f,
                                               1.95f * static_cast<float>(row)};
        }
    for (auto body = made.rbegin(); body != made.rend(); ++body)
        stages.sets[0]->addBody(*body);
    stages.gather(false);
    stages.broadPhase.findCandidates(stages.bodies, dt, stages.pool);
    stages.broadPhase.sortCandidates(stages.bodies, stages.pool);
    const std::vector<KeyedCandidate>& candidates = stages.broadPhase.sortedCandidates();

    std::vector<KeyedCandidate> expected;
    const std::vector<WorldBox>& boxes = stages.bodies.boxes();
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(boxes.size()); ++i)
        for (std::int32_t j = i + 1; j < static_cast<std::int32_t>(boxes.size()); ++j)
            if (boxesOverlap(boxes[i], boxes[j]))
                expected.push_back({stages.bodies.pairKey(i, j), i, j});
    std::sort(expected.begin(), expected.end());
    // Inner cubes meet eight neighbours: about four pairs a cube.
    ASSERT_GT(expected.size(), 500u);
    ASSERT_EQ(candidates.size(), expected.size());
    for (std::size_t c = 0; c < expected.size(); ++c) {
        EXPECT_EQ(candidates[c].key, expected[c].key) << c;
        EXPECT_EQ(candidates[c].i, expected[c].i) << c;
        EXPECT_EQ(candidates[c].j, expected[c].j) << c;
    }
}

TEST(ContactCache, PointsKeepLastStepsImpulsesWhenTheirFeaturesMatch)
{
    Stages stages;
    stages.add({0.0f, 0.0f, 0.0f});
    stages.add({0.0f, -2.0f, 0.0f}, true);
    stages.gather(false);
    stages.findContacts();
    ASSERT_EQ(stages.contacts.pairs().size(), 1u);
    const PairContact& pair = stages.contacts.pairs()[0];
    ASSERT_EQ(pair.counts.manifolds, 1);
    ASSERT_EQ(pair.counts.points, 4);
    EXPECT_FALSE(stages.contacts.pressed(pair));
    std::vector<float> impulses;
    for (std::int32_t k = 0; k < pair.pieceCount; ++k) {
        PieceContact& piece = stages.contacts.piece(static_cast<std::size_t>(pair.firstPiece + k));
        for (int p = 0; p < piece.pointCount; ++p) {
            piece.points[p].normalImpulse = 1.0f + static_cast<float>(impulses.size());
            impulses.push_back(piece.points[p].normalImpulse);
        }
    }
    EXPECT_TRUE(stages.contacts.pressed(pair));

    stages.gather(false);
    stages.findContacts();
    ASSERT_EQ(stages.contacts.pairs().size(), 1u);
    const PairContact& next = stages.contacts.pairs()[0];
    std::vector<float> carried;
    for (std::int32_t k = 0; k < next.pieceCount; ++k) {
        const PieceContact& piece = stages.contacts.piece(static_cast<std::size_t>(next.firstPiece + k));
        for (int p = 0; p < piece.pointCount; ++p)
            carried.push_back(piece.points[p].normalImpulse);
    }
    EXPECT_EQ(carried, impulses);
    EXPECT_EQ(stages.statistics.testedPairs, 2);
}

TEST(Islands, AnAwakeBodyWakesTheSleepingBodiesLinkedToIt)
{
    Stages stages;
    const auto woken = stages.add({0.0f, 0.0f, 0.0f});
    stages.add({0.0f, 2.0f, 0.0f});
    stages.add({10.0f, 0.0f, 0.0f});
    stages.gather(false);
    stages.remember(true);
    ASSERT_TRUE(stages.gather(true));

    woken->velocity = {0.0f, 0.1f, 0.0f};
    EXPECT_FALSE(stages.gather(true));
    EXPECT_TRUE(stages.bodies.asleep(1));
    stages.findContacts();
    Islands islands;
    islands.wake(stages.bodies, stages.contacts.pairs(), {});
    EXPECT_TRUE(stages.bodies.awake(1));
    EXPECT_TRUE(stages.bodies.asleep(2));
    EXPECT_EQ(islands.root(0), islands.root(1));
    EXPECT_NE(islands.root(0), islands.root(2));
}

TEST(Islands, ABodyWokenAtTheTopOfAStackWakesTheWholeStack)
{
    // The island is headed by its lowest body, not by the one that woke: the
    // whole island must be found awake through its root.
    Stages stages;
    stages.add({0.0f, 0.0f, 0.0f});
    stages.add({0.0f, 2.0f, 0.0f});
    const auto top = stages.add({0.0f, 4.0f, 0.0f});
    stages.add({10.0f, 0.0f, 0.0f});
    stages.gather(false);
    // A step of the stack awake finds its contacts, which it keeps asleep.
    stages.findContacts();
    stages.remember(true);
    ASSERT_TRUE(stages.gather(true));

    top->velocity = {0.0f, 0.1f, 0.0f};
    EXPECT_FALSE(stages.gather(true));
    stages.findContacts();
    Islands islands;
    islands.wake(stages.bodies, stages.contacts.pairs(), {});
    EXPECT_NE(islands.root(2), 2);
    for (std::int32_t i : {0, 1, 2})
        EXPECT_TRUE(stages.bodies.awake(i)) << "body " << i;
    EXPECT_TRUE(stages.bodies.asleep(3));
}

/// pairCount pairs of cubes 3 apart along x, each pair touching on one
/// manifold of four points, and freeCount cubes touching nothing after them,
/// gathered; the pairs' contacts.
PairList touchingPairs(Stages& stages, int pairCount, int freeCount)
{
    for (int k = 0; k < 2 * pairCount + freeCount; ++k)
        stages.add({3.0f * static_cast<float>(k), 0.0f, 0.0f});
    stages.gather(false);
    PairList pairs(static_cast<std::size_t>(pairCount));
    for (int k = 0; k < pairCount; ++k) {
        pairs[k].bodyA = 2 * k;
        pairs[k].bodyB = 2 * k + 1;
        pairs[k].counts.manifolds = 1;
        pairs[k].counts.points = 4;
    }
    return pairs;
}

TEST(SolveBatches, SmallGroupsFillBatchesOfWholeGroupsInOrder)
{
    Stages stages;
    constexpr int pairCount = 200;
    constexpr int freeCount = 3;
    PairList pairs = touchingPairs(stages, pairCount, freeCount);
    SolveBatches batches;
    ContactStepStatistics statistics;
    batches.plan(stages.bodies, pairs, {}, statistics, 9.81f * 0.025f / 4.0f);

    EXPECT_EQ(statistics.awakeBodies, 2 * pairCount + freeCount);
    EXPECT_EQ(statistics.contactPoints, 4 * pairCount);
    // A batch takes whole groups until it holds 128 contacts.
    ASSERT_EQ(batches.batchCount(), 2);
    EXPECT_EQ(batches.batchConstraintStart(), (std::vector<std::int32_t>{0, 128, pairCount}));
    EXPECT_EQ(batches.batchPairCount(0), 128u);
    for (int k = 0; k < pairCount; ++k) {
        EXPECT_EQ(pairs[k].firstConstraint, k);
        EXPECT_EQ(pairs[k].firstPoint, 4 * k);
    }
    // The batches' bodies first, in order, then the bodies touching nothing.
    EXPECT_EQ(batches.grouped(), 2 * pairCount);
    ASSERT_EQ(batches.freeBodies().size(), static_cast<std::size_t>(freeCount));
    for (int k = 0; k < freeCount; ++k)
        EXPECT_EQ(batches.bodyOf(batches.freeBodies()[k]), 2 * pairCount + k);
}

// On several threads the batches go to whichever thread is free, dearest
// first: the last batches are made smaller so that the threads end together.
TEST(SolveBatches, OnSeveralThreadsTheLastBatchesShrinkAndTheDearestComeFirst)
{
    Stages stages;
    constexpr int pairCount = 600;
    PairList pairs = touchingPairs(stages, pairCount, 0);
    // A heavy body on a light one, on 20 manifolds: its batch of its own takes
    // eight times the substeps, and costs more than any other.
    pairs.back().counts.manifolds = 20;
    pairs.back().counts.lift = 1000.0f * 9.81f * 0.025f / 4.0f;
    SolveBatches batches;
    ContactStepStatistics statistics;
    batches.plan(stages.bodies, pairs, {}, statistics, 9.81f * 0.025f / 4.0f, 2);
    std::vector<std::int32_t> sizes;
    for (std::int32_t b = 0; b < batches.batchCount(); ++b)
        sizes.push_back(batches.batchConstraintStart()[b + 1] - batches.batchConstraintStart()[b]);
    // A quarter of what is left (619 contacts at first), at most 128 and at
    // least 32, then the last light stack, then the loaded pair.
    EXPECT_EQ(sizes, (std::vector<std::int32_t>{128, 122, 92, 69, 52, 39, 32, 32, 32, 1, 20}));
    ASSERT_EQ(batches.batchSubstepScale(10), 8);
    EXPECT_EQ(batches.batchesByCost(), (std::vector<std::int32_t>{10, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));

    // On one thread the batches keep their size.
    batches.plan(stages.bodies, pairs, {}, statistics, 9.81f * 0.025f / 4.0f, 1);
    EXPECT_EQ(batches.batchConstraintStart(), (std::vector<std::int32_t>{0, 128, 256, 384, 512, 599, 619}));
}

constexpr float weightPerSubstep = 9.81f * 0.025f / 4.0f;

/// Six bodies in a row, and three pairs of them apart from each other, each
/// with a manifold of four points.
PairList threeApartPairs(Stages& stages)
{
    for (int k = 0; k < 6; ++k)
        stages.add({3.0f * static_cast<float>(k), 0.0f, 0.0f});
    stages.gather(false);
    PairList pairs(3);
    for (int k = 0; k < 3; ++k) {
        pairs[k].bodyA = 2 * k;
        pairs[k].bodyB = 2 * k + 1;
        pairs[k].counts.manifolds = 1;
        pairs[k].counts.points = 4;
    }
    return pairs;
}

/// Each batch's substep scale, in order.
std::vector<int> batchScales(const SolveBatches& batches)
{
    std::vector<int> scales;
    for (std::int32_t b = 0; b < batches.batchCount(); ++b)
        scales.push_back(batches.batchSubstepScale(b));
    return scales;
}

// Pairs bearing the weight of many bodies take more substeps, in batches of
// their own; a pair steps back down only once its load has clearly fallen.
TEST(SolveBatches, LoadedGroupsTakeMoreSubstepsInBatchesOfTheirOwn)
{
    Stages stages;
    PairList pairs = threeApartPairs(stages);
    // Loads in the lighter body's weights: a short stack, a tall one, a heavy cube on a light one.
    const float loads[3] = {5.0f, 20.0f, 1000.0f};
    for (int k = 0; k < 3; ++k)
        pairs[k].counts.lift = loads[k] * weightPerSubstep;
    SolveBatches batches;
    ContactStepStatistics statistics;
    batches.plan(stages.bodies, pairs, {}, statistics, weightPerSubstep);
    EXPECT_EQ(batchScales(batches), (std::vector<int>{1, 2, 8}));

    // The tall stack's load falls just under what the base substeps bear: it keeps its
    // substeps. Then far: it steps down.
    pairs[1].counts.lift = 14.5f * weightPerSubstep;
    batches.plan(stages.bodies, pairs, {}, statistics, weightPerSubstep);
    EXPECT_EQ(pairs[1].counts.substepScale, 2);
    pairs[1].counts.lift = 5.0f * weightPerSubstep;
    batches.plan(stages.bodies, pairs, {}, statistics, weightPerSubstep);
    EXPECT_EQ(pairs[1].counts.substepScale, 1);
}

// Pairs whose contacts sank in deeper than the set depth, between movable
// bodies or into a fixed one, take twice the substeps until they are back
// within half that depth; the load's scale still holds where it is larger.
TEST(SolveBatches, SunkPairsTakeTwiceTheSubstepsUntilTheyComeBack)
{
    Stages stages;
    PairList pairs = threeApartPairs(stages);
    pairs[0].counts.deepest = -0.004f;
    pairs[1].counts.deepest = -0.02f;
    pairs[2].counts.deepestOnFixed = -0.02f;
    pairs[2].counts.lift = 1000.0f * weightPerSubstep;
    SolveBatches batches;
    batches.setSunkDepth(0.015f);
    ContactStepStatistics statistics;
    batches.plan(stages.bodies, pairs, {}, statistics, weightPerSubstep);
    EXPECT_EQ(batchScales(batches), (std::vector<int>{1, 2, 8}));

    pairs[1].counts.deepest = -0.01f;
    batches.plan(stages.bodies, pairs, {}, statistics, weightPerSubstep);
    EXPECT_EQ(pairs[1].counts.substepScale, 2);
    pairs[1].counts.deepest = -0.005f;
    batches.plan(stages.bodies, pairs, {}, statistics, weightPerSubstep);
    EXPECT_EQ(pairs[1].counts.substepScale, 1);
    // Without a depth set, no depth counts as sunk.
    SolveBatches unset;
    pairs[1].counts.deepest = -1.0f;
    unset.plan(stages.bodies, pairs, {}, statistics, weightPerSubstep);
    EXPECT_EQ(pairs[1].counts.substepScale, 1);
}

TEST(ThreadSplit, RunsEveryBatchAndChunkOnceAndABigBatchAlone)
{
    WorkerPool pool(2);
    ContactSolver solver;
    solver.resize(300, 0);
    solver.layOutGroups(ContactSolverSettings(), 0, {0, 300, 300, 300});
    ThreadSplit split;
    std::atomic<int> runs[3] = {0, 0, 0};
    std::atomic<int> spread[3] = {0, 0, 0};
    std::atomic<int> chunks[3] = {0, 0, 0};
    split.run(
        pool, solver, {0, 1, 2}, 130,
        [&](std::int32_t batch, bool parallel) {
            ++runs[batch];
            spread[batch] += parallel ? 1 : 0;
            return ConstraintSolve::BatchTimes{1.0, 4.0};
        },
        [&](std::size_t chunk) {
            ++chunks[chunk];
            return 2.0;
        });
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(runs[k], 1);
        EXPECT_EQ(chunks[k], 1);
    }
    // 300 contacts are too many to share two threads with other batches.
    EXPECT_EQ(spread[0], 1);
    EXPECT_EQ(spread[1], 0);
    EXPECT_DOUBLE_EQ(split.integrationShare(), (3.0 * 1.0 + 3.0 * 2.0) / (3.0 * 4.0 + 3.0 * 2.0));
}

TEST(ThreadSplit, TakesNoMemoryOnceTheFirstBatchRuns)
{
    // A step that runs out of memory must stop before a body moves: a big
    // batch runs first, so everything the split lists is listed before it.
    WorkerPool pool(2);
    // As a step's start does.
    pool.wake();
    ContactSolver solver;
    solver.resize(300, 0);
    solver.layOutGroups(ContactSolverSettings(), 0, {0, 300, 300, 300});
    ThreadSplit split;
    std::optional<Tolvane::Testing::AllocationCounter> counter;
    split.run(
        pool, solver, {0, 1, 2}, 1000,
        [&](std::int32_t, bool) {
            if (!counter)
                counter.emplace();
            return ConstraintSolve::BatchTimes{};
        },
        [](std::size_t) { return 0.0; });
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->newCalls(), 0u);
}

} // namespace
} // namespace Tolvane::Physics
