// Cost of one two-body collision query on the pairs the test scene meets most:
// a block resting on the floor, a block resting on another, and two blocks far apart.
#include "physics/body/PhysicalModel.h"
#include "physics/body/PhysicalObject.h"
#include "physics/designed/CollisionQuery.h"
#include "physics/designed/PhysicalObjectCollisionSolver.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

using namespace Tolvane::Physics;
using Tolvane::Math::Vector3;
using Tolvane::Physics::Collision::testBodies;

namespace {

constexpr float timeStep = 0.025f;
/// A resting block's predicted end-of-step velocity: one step of gravity.
const Vector3 restingVelocity(0.0f, -9.81f * timeStep, 0.0f);

struct BodyPair {
    std::shared_ptr<PhysicalObject> a;
    std::shared_ptr<PhysicalObject> b;
    Vector3 velocityA;
    Vector3 velocityB;
};

std::shared_ptr<PhysicalObject> makeBody(const char* file, const Vector3& position)
{
    auto body = std::make_shared<PhysicalObject>(loadPhysicalModel(std::string(TOLVANE_DATA_DIR "/") + file));
    body->transform.position = position;
    return body;
}

/// The fixed floor (predicted velocity zero) as body A, as in the test scene.
BodyPair cubeOnFloor()
{
    return {makeBody("Floor.ac", Vector3()), makeBody("SimpleCube.ac", {0.0f, 1.0f, 0.0f}), Vector3(),
            restingVelocity};
}

BodyPair cubeOnCube()
{
    return {makeBody("SimpleCube.ac", {0.0f, 1.0f, 0.0f}), makeBody("SimpleCube.ac", {0.0f, 3.0f, 0.0f}),
            restingVelocity, restingVelocity};
}

BodyPair cubesFarApart()
{
    return {makeBody("SimpleCube.ac", {-10.0f, 1.0f, 0.0f}), makeBody("SimpleCube.ac", {10.0f, 1.0f, 0.0f}),
            restingVelocity, restingVelocity};
}

/// With newStamp every query is the first of its step for both bodies, so it
/// also places their boxes and recomputes their world vertices and normals: the
/// full cost of a pair. Without it those caches stay valid and only the tests
/// themselves are timed, as for a body's second and later partners in a step.
void collisionQuery(benchmark::State& state, BodyPair (*makePair)(), bool newStamp)
{
    const BodyPair pair = makePair();
    PhysicalObjectCollisionSolver solver(pair.a, pair.b);
    std::int32_t stamp = 10;
    testBodies(solver, pair.velocityA, pair.velocityB, timeStep, stamp);
    for (auto _ : state) {
        if (newStamp)
            ++stamp;
        testBodies(solver, pair.velocityA, pair.velocityB, timeStep, stamp);
        benchmark::DoNotOptimize(solver.contact);
    }
    state.counters["collided"] = solver.collided ? 1.0 : 0.0;
}

} // namespace

BENCHMARK_CAPTURE(collisionQuery, cube_on_floor, cubeOnFloor, true);
BENCHMARK_CAPTURE(collisionQuery, cube_on_cube, cubeOnCube, true);
BENCHMARK_CAPTURE(collisionQuery, cubes_far_apart, cubesFarApart, true);
BENCHMARK_CAPTURE(collisionQuery, cube_on_floor_cached, cubeOnFloor, false);
BENCHMARK_CAPTURE(collisionQuery, cube_on_cube_cached, cubeOnCube, false);
