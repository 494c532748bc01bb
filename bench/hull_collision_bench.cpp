// Cost of one hull pair collision (separating axes and contact manifold) on the
// pairs the block scene meets most: a block resting on the floor, blocks resting
// on blocks, two blocks far apart whose cached axis still separates them, a
// block on a triangle of a mesh, and a block on a bumpy stretch of mesh.
#include "geometry/BodyHulls.h"
#include "geometry/ContactManifold.h"
#include "geometry/HullMeshContact.h"
#include "geometry/HullSeparation.h"
#include "math/Matrix3.h"
#include "math/Quaternion.h"
#include "physics/body/PhysicalModel.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace Tolvane::Physics;
using namespace Tolvane::Physics::Collision;
using Tolvane::Math::Matrix3;
using Tolvane::Math::Quaternion;
using Tolvane::Math::Vector3;

namespace {

constexpr float contactMargin = 0.02f;
constexpr float degree = 3.14159265f / 180.0f;

/// The hull of a model file's one part; the models stay loaded for the whole run.
const ConvexHull& hullOf(const char* file)
{
    static std::vector<std::shared_ptr<PhysicalModel>> loaded;
    loaded.push_back(loadPhysicalModel(std::string(TOLVANE_DATA_DIR "/") + file));
    return loaded.back()->hulls().hulls.front();
}

struct HullPair {
    const ConvexHull* a;
    HullPose poseA;
    const ConvexHull* b;
    HullPose poseB;
};

HullPose posed(const Vector3& position, const Quaternion& q = Quaternion())
{
    return {position, Tolvane::Math::toMatrix3(q)};
}

/// A block resting on the floor, sunk by a millimetre as a block settled by a solver is.
HullPair cubeOnFloor()
{
    static const ConvexHull& floor = hullOf("Floor.ac");
    static const ConvexHull& cube = hullOf("SimpleCube.ac");
    return {&floor, posed({}), &cube, posed({3.0f, 0.999f, -2.0f})};
}

HullPair cubeOnCubeTurned()
{
    static const ConvexHull& cube = hullOf("SimpleCube.ac");
    return {&cube, posed({0, 1, 0}), &cube,
            posed({0.1f, 2.999f, -0.2f}, Tolvane::Math::fromAxisAngle({0, 1, 0}, 10.0f * degree))};
}

/// The upper block turned by 5 degrees about a tilted axis, its lowest corner sunk a millimetre.
HullPair cubeOnCubeTilted()
{
    static const ConvexHull& cube = hullOf("SimpleCube.ac");
    const Quaternion q = Tolvane::Math::fromAxisAngle(Tolvane::Math::normalized({1, 2, 0.5f}), 5.0f * degree);
    const Matrix3 r = Tolvane::Math::toMatrix3(q);
    float lowest = 0.0f;
    for (const Vector3& v : cube.vertices)
        lowest = std::min(lowest, (r * v).y);
    return {&cube, posed({0, 1, 0}), &cube, posed({0.2f, 1.999f - lowest, 0.1f}, q)};
}

/// The block tilted over a mesh triangle's edge, as a block on terrain meets it.
HullPair cubeOnTriangle()
{
    static const ConvexHull& cube = hullOf("SimpleCube.ac");
    static const ConvexHull triangle = *buildConvexHull({{-3, 0, -2}, {3, 0.3f, -2}, {0, -0.2f, 0.5f}});
    const Quaternion q = Tolvane::Math::fromAxisAngle(Tolvane::Math::normalized({1, 0, 1}), 20.0f * degree);
    return {&cube, posed({0.4f, 1.0f, 0.3f}, q), &triangle, posed({})};
}

HullPair cubesFarApart()
{
    static const ConvexHull& cube = hullOf("SimpleCube.ac");
    return {&cube, posed({-10, 1, 0}), &cube,
            posed({10, 1, 0}, Tolvane::Math::fromAxisAngle({0, 1, 0}, 0.3f))};
}

/// The full pair query as a step makes it, the pair's cache carried from call to call.
void collide(benchmark::State& state, HullPair (*makePair)())
{
    const HullPair pair = makePair();
    SeparatingAxisCache cache;
    ContactManifold manifold;
    collideHulls(*pair.a, pair.poseA, *pair.b, pair.poseB, contactMargin, cache, manifold);
    for (auto _ : state) {
        collideHulls(*pair.a, pair.poseA, *pair.b, pair.poseB, contactMargin, cache, manifold);
        benchmark::DoNotOptimize(manifold);
    }
    state.counters["points"] = manifold.pointCount;
}

/// The separating-axis test alone, for the share of the manifold in the total.
void separate(benchmark::State& state, HullPair (*makePair)())
{
    const HullPair pair = makePair();
    SeparatingAxisCache cache;
    for (auto _ : state) {
        SeparatingAxis axis =
            findSeparatingAxis(*pair.a, pair.poseA, *pair.b, pair.poseB, contactMargin, cache);
        benchmark::DoNotOptimize(axis);
    }
}

/// The separating-axis test of a pair in contact that moved too far since its
/// last search for its cached axis to stand: the full search, with last
/// step's axis to prefer, as most pairs of a settling pile take it.
void separateSearched(benchmark::State& state, HullPair (*makePair)())
{
    const HullPair pair = makePair();
    SeparatingAxisCache warm;
    findSeparatingAxis(*pair.a, pair.poseA, *pair.b, pair.poseB, contactMargin, warm);
    warm.searched = false;
    for (auto _ : state) {
        SeparatingAxisCache cache = warm;
        SeparatingAxis axis =
            findSeparatingAxis(*pair.a, pair.poseA, *pair.b, pair.poseB, contactMargin, cache);
        benchmark::DoNotOptimize(axis);
    }
}

/// A pair met for the first time, or moved too far since its last search for
/// its cached axis to stand: the full search.
void collideFresh(benchmark::State& state, HullPair (*makePair)())
{
    const HullPair pair = makePair();
    ContactManifold manifold;
    for (auto _ : state) {
        SeparatingAxisCache cache;
        collideHulls(*pair.a, pair.poseA, *pair.b, pair.poseB, contactMargin, cache, manifold);
        benchmark::DoNotOptimize(manifold);
    }
}

/// Ground like the terrain scene's: a grid of squares of side 1, each two
/// triangles facing up, with gentle bumps of a few tenths over a few units,
/// so that its edges are ridges and valleys rather than flat seams.
const TriangleMesh& bumpyGround()
{
    static const TriangleMesh mesh = [] {
        constexpr int n = 16;
        std::vector<Vector3> vertices;
        std::vector<TriangleIndices> triangles;
        for (int i = 0; i <= n; ++i)
            for (int j = 0; j <= n; ++j) {
                const float x = static_cast<float>(i - n / 2);
                const float z = static_cast<float>(j - n / 2);
                vertices.push_back({x, 0.3f * std::sin(0.9f * x) * std::cos(0.7f * z), z});
            }
        const auto at = [](int i, int j) { return static_cast<std::int32_t>(i * (n + 1) + j); };
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                triangles.push_back({at(i, j), at(i, j + 1), at(i + 1, j + 1)});
                triangles.push_back({at(i, j), at(i + 1, j + 1), at(i + 1, j)});
            }
        return *buildTriangleMesh(vertices, triangles);
    }();
    return mesh;
}

/// A block lying turned and tilted on the bumpy ground, its lowest corner a
/// millimetre into the ground's plane there: the call a step makes for every
/// block on terrain that moved, with last step's keys and normal to keep.
void cubeOnBumpyGround(benchmark::State& state)
{
    static const ConvexHull& cube = hullOf("SimpleCube.ac");
    const TriangleMesh& ground = bumpyGround();
    const Quaternion q =
        Tolvane::Math::fromAxisAngle(Tolvane::Math::normalized({0.3f, 1, 0.2f}), 25.0f * degree);
    const HullPose groundPose = posed({});
    HullPose block = posed({0.3f, 2.0f, -0.4f}, q);
    ContactManifold manifolds[maxMeshManifolds];
    // Lowered until it meets the ground, then kept there.
    KeptKeys kept;
    while (collideHullMesh(cube, block, ground, groundPose, contactMargin, kept, manifolds) == 0)
        block.position.y -= 0.001f;
    int count = collideHullMesh(cube, block, ground, groundPose, contactMargin, kept, manifolds);
    for (int m = 0; m < count; ++m) {
        kept.addNormal(manifolds[m].normal);
        for (int p = 0; p < manifolds[m].pointCount; ++p)
            kept.add(manifolds[m].points[p].key);
    }
    for (auto _ : state) {
        count = collideHullMesh(cube, block, ground, groundPose, contactMargin, kept, manifolds);
        benchmark::DoNotOptimize(manifolds);
    }
    int points = 0;
    for (int m = 0; m < count; ++m)
        points += manifolds[m].pointCount;
    state.counters["manifolds"] = count;
    state.counters["points"] = points;
}

} // namespace

BENCHMARK_CAPTURE(collide, cube_on_floor, cubeOnFloor);
BENCHMARK_CAPTURE(collide, cube_on_cube_turned_10_degrees, cubeOnCubeTurned);
BENCHMARK_CAPTURE(collide, cube_on_cube_tilted_axis, cubeOnCubeTilted);
BENCHMARK_CAPTURE(collide, cubes_far_apart_cached, cubesFarApart);
BENCHMARK_CAPTURE(collide, cube_on_triangle, cubeOnTriangle);
BENCHMARK_CAPTURE(collideFresh, cubes_far_apart_first_meeting, cubesFarApart);
BENCHMARK_CAPTURE(collideFresh, cube_on_cube_tilted_axis_searched, cubeOnCubeTilted);
BENCHMARK_CAPTURE(collideFresh, cube_on_triangle_searched, cubeOnTriangle);
BENCHMARK(cubeOnBumpyGround);
BENCHMARK_CAPTURE(separate, cube_on_cube_turned_10_degrees, cubeOnCubeTurned);
BENCHMARK_CAPTURE(separate, cube_on_cube_tilted_axis, cubeOnCubeTilted);
BENCHMARK_CAPTURE(separateSearched, cube_on_cube_turned_10_degrees, cubeOnCubeTurned);
BENCHMARK_CAPTURE(separateSearched, cube_on_cube_tilted_axis, cubeOnCubeTilted);
