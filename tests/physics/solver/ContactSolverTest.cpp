// The contact solver on cubes resting on a fixed body: warm starting, the
// friction circle, the restitution threshold, and constraints solved alike
// however they are grouped and set.
#include "physics/solver/ContactSolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace Tolvane::Physics {
namespace {

using Math::Vector3;

constexpr float mass = 1.0f;
constexpr float gravity = 9.81f;
constexpr float substep = 0.025f / 4.0f;
constexpr float friction = 0.5f;

/// A cube of side 2 and mass 1 with its centre at the origin, above a fixed floor.
SolverBody cube(const Vector3& velocity)
{
    SolverBody body;
    body.linearVelocity = velocity;
    body.inverseMass = 1.0f / mass;
    body.inverseInertia = Math::Matrix3::diagonal(1.5f, 1.5f, 1.5f);
    return body;
}

/// The cube's four bottom corners touching the floor, each with the given carried normal impulse.
ContactSolver solverUnderCube(const std::vector<SolverBody>& bodies, float carried, float restitution = 0.5f)
{
    std::vector<ContactPointInput> corners;
    for (float x : {-1.0f, 1.0f})
        for (float z : {-1.0f, 1.0f})
            corners.push_back({{x, -1.0f, z}, 0.0f, carried, Vector3()});
    ContactSolver solver;
    // The floor is A, the cube B: the normal points from the floor up into the cube.
    solver.add({noSolverBody, 0, {0.0f, 1.0f, 0.0f}, corners.data(), 4});
    ContactSolverSettings settings;
    settings.friction = friction;
    settings.restitution = restitution;
    settings.substep = substep;
    settings.softness = makeSoftness(30.0f, 10.0f, substep);
    settings.fixedSoftness = makeSoftness(60.0f, 10.0f, substep);
    solver.prepare(bodies, settings);
    return solver;
}

TEST(ContactSolver, CarriedImpulsesAloneHoldARestingCube)
{
    // One substep of gravity is what each substep's contact impulse takes back.
    const float perCorner = mass * gravity * substep / 4.0f;
    std::vector<SolverBody> bodies{cube(Vector3())};
    ContactSolver solver = solverUnderCube(bodies, perCorner);
    bodies[0].linearVelocity.y -= gravity * substep;
    solver.warmStart(bodies);
    EXPECT_NEAR(bodies[0].linearVelocity.y, 0.0f, 1e-6f);
    EXPECT_NEAR(bodies[0].angularVelocity.length(), 0.0f, 1e-6f);
    // A rigid pass finds nothing left to do: the impulses carry on unchanged.
    solver.solve(bodies, false);
    for (int j = 0; j < 4; ++j)
        EXPECT_NEAR(solver.result(0, j).normalImpulse, perCorner, 0.01f * perCorner);

    // Without them the first pass has to find the whole impulse itself.
    std::vector<SolverBody> cold{cube(Vector3(0.0f, -gravity * substep, 0.0f))};
    ContactSolver fresh = solverUnderCube(cold, 0.0f);
    fresh.warmStart(cold);
    EXPECT_NEAR(cold[0].linearVelocity.y, -gravity * substep, 1e-6f);
}

TEST(ContactSolver, FrictionOpposesTheSlideWithinItsCircle)
{
    // Sliding along a diagonal: the friction impulse is as large as the circle
    // allows and points straight against the motion (a box would turn it).
    const float perCorner = mass * gravity * substep / 4.0f;
    std::vector<SolverBody> bodies{cube(Vector3(3.0f, 0.0f, 4.0f))};
    ContactSolver solver = solverUnderCube(bodies, perCorner);
    bodies[0].linearVelocity.y -= gravity * substep;
    solver.warmStart(bodies);
    solver.solve(bodies, false);
    Vector3 total;
    for (int j = 0; j < 4; ++j) {
        const ContactPointResult r = solver.result(0, j);
        EXPECT_LE(r.tangentImpulse.length(), friction * r.normalImpulse * 1.0001f);
        total += r.tangentImpulse;
    }
    const Vector3 slide = Vector3(3.0f, 0.0f, 4.0f) * 0.2f;
    EXPECT_NEAR(Math::dot(total, slide) / total.length(), -1.0f, 1e-4f);
    EXPECT_NEAR(total.length(), friction * mass * gravity * substep,
                0.02f * friction * mass * gravity * substep);
}

TEST(ContactSolver, RestitutionOnlyAboveTheThresholdSpeed)
{
    for (const float approach : {0.5f, 5.0f}) {
        std::vector<SolverBody> bodies{cube(Vector3(0.0f, -approach, 0.0f))};
        ContactSolver solver = solverUnderCube(bodies, 0.0f);
        solver.solve(bodies, false);
        solver.applyRestitution(bodies);
        const float expected = approach > 1.0f ? 0.5f * approach : 0.0f;
        EXPECT_NEAR(bodies[0].linearVelocity.y, expected, 0.01f * approach) << "approach " << approach;
        // The sweeps share the landing among the corners to within a percent.
        EXPECT_NEAR(bodies[0].angularVelocity.length(), 0.0f, 0.002f * approach);
    }
}

TEST(ContactSolver, ContactsWithAFixedBodyTakeTheFixedSoftness)
{
    // A cube sunk 0.1 into what it rests on is pushed out as softly as its kind
    // of contact says: against a fixed body by fixedSoftness alone, against a
    // movable one by softness alone. Each setting is changed in turn and only
    // the one that belongs to the contact may change the push.
    const Softness soft = makeSoftness(30.0f, 10.0f, substep);
    const Softness stiff = makeSoftness(60.0f, 10.0f, substep);
    const auto pushOut = [](bool onFixed, const Softness& softness, const Softness& fixedSoftness) {
        std::vector<SolverBody> bodies{cube(Vector3())};
        if (!onFixed) {
            // A body far heavier than the cube, below it.
            SolverBody below = cube(Vector3());
            below.inverseMass = 1e-6f;
            below.inverseInertia = Math::Matrix3::diagonal(1e-6f, 1e-6f, 1e-6f);
            below.centre = {0.0f, -2.0f, 0.0f};
            bodies.push_back(below);
        }
        std::vector<ContactPointInput> corners;
        for (float x : {-1.0f, 1.0f})
            for (float z : {-1.0f, 1.0f})
                corners.push_back({{x, -1.0f, z}, -0.1f, 0.0f, Vector3()});
        ContactSolver solver;
        solver.add({onFixed ? noSolverBody : 1, 0, {0.0f, 1.0f, 0.0f}, corners.data(), 4});
        ContactSolverSettings settings;
        settings.substep = substep;
        settings.softness = softness;
        settings.fixedSoftness = fixedSoftness;
        solver.prepare(bodies, settings);
        solver.solve(bodies, true);
        return bodies[0].linearVelocity.y;
    };
    for (const bool onFixed : {true, false}) {
        SCOPED_TRACE(onFixed ? "on a fixed body" : "on a movable body");
        const float both = pushOut(onFixed, soft, stiff);
        EXPECT_GT(both, 0.0f);
        const float otherChanged = onFixed ? pushOut(onFixed, stiff, stiff) : pushOut(onFixed, soft, soft);
        const float ownChanged = onFixed ? pushOut(onFixed, soft, soft) : pushOut(onFixed, stiff, stiff);
        EXPECT_EQ(otherChanged, both);
        EXPECT_NE(ownChanged, both);
    }
}

TEST(ContactSolver, ConstraintsSetOutOfOrderSolveAsIfAddedInOrder)
{
    // Two stacks of two cubes, each its own group: constraints filled side by
    // side at counted places must give the very same impulses and velocities,
    // also when the groups are laid out before any constraint is set and each
    // group is then ordered and prepared on its own (by a solver whose buffers
    // a smaller problem sized first), and when the solver reads the points
    // from the caller's manifolds rather than keeping copies.
    const auto corners = [](float y, float carried) {
        std::vector<ContactPointInput> points;
        for (float x : {-1.0f, 1.0f})
            for (float z : {-1.0f, 1.0f})
                points.push_back({{x, y, z}, -0.01f, carried, Vector3(0.001f, 0.0f, 0.0f)});
        return points;
    };
    struct Manifold {
        std::int32_t a, b, group;
        std::vector<ContactPointInput> points;
    };
    const std::vector<Manifold> manifolds{{noSolverBody, 0, 0, corners(-1.0f, 0.02f)},
                                          {0, 1, 0, corners(1.0f, 0.01f)},
                                          {noSolverBody, 2, 1, corners(-1.0f, 0.0f)},
                                          {2, 3, 1, corners(1.0f, 0.03f)}};
    ContactSolverSettings settings;
    settings.substep = substep;
    settings.softness = makeSoftness(30.0f, 10.0f, substep);
    settings.fixedSoftness = makeSoftness(60.0f, 10.0f, substep);
    const Vector3 up(0.0f, 1.0f, 0.0f);

    ContactSolver added;
    for (const Manifold& m : manifolds)
        added.add({m.a, m.b, up, m.points.data(), 4, m.group, static_cast<float>(m.b)});
    ContactSolver set;
    set.resize(manifolds.size(), 4 * manifolds.size());
    for (std::size_t k = manifolds.size(); k-- > 0;) {
        const Manifold& m = manifolds[k];
        set.set(k, 4 * k, {m.a, m.b, up, m.points.data(), 4, m.group, static_cast<float>(m.b)});
    }

    struct ManifoldPoints final : ContactPointSource {
        const std::vector<Manifold>* manifolds = nullptr;
        void readPoints(std::size_t index, std::int32_t group, ContactPointInput* points) const override
        {
            EXPECT_EQ((*manifolds)[index].group, group);
            std::copy((*manifolds)[index].points.begin(), (*manifolds)[index].points.end(), points);
        }
    } source;
    source.manifolds = &manifolds;
    ContactSolver read;
    read.readPointsFrom(&source);
    read.resize(manifolds.size(), 4 * manifolds.size());
    for (std::size_t k = manifolds.size(); k-- > 0;) {
        const Manifold& m = manifolds[k];
        read.set(k, 4 * k, {m.a, m.b, up, nullptr, 4, m.group, static_cast<float>(m.b)});
    }

    ContactSolver laidOut;
    std::vector<SolverBody> single{cube({0.0f, -1.0f, 0.0f})};
    laidOut.add({noSolverBody, 0, up, manifolds[0].points.data(), 4});
    laidOut.prepare(single, settings);
    laidOut.resize(manifolds.size(), 4 * manifolds.size());
    laidOut.layOutGroups(settings, 4, {0, 2, 4});
    for (std::size_t k = manifolds.size(); k-- > 0;) {
        const Manifold& m = manifolds[k];
        laidOut.set(k, 4 * k, {m.a, m.b, up, m.points.data(), 4, m.group, static_cast<float>(m.b)});
    }

    std::vector<std::vector<SolverBody>> bodies;
    for (ContactSolver* solver : {&added, &set, &laidOut, &read}) {
        bodies.push_back({cube({0.0f, -1.0f, 0.5f}), cube({0.2f, -2.0f, 0.0f}), cube({0.0f, -3.0f, 0.0f}),
                          cube({-0.3f, -0.5f, 0.0f})});
        if (solver != &laidOut)
            solver->prepare(bodies.back(), settings, 2);
        for (std::size_t group = 0; group < 2; ++group) {
            if (solver == &laidOut) {
                solver->orderGroup(group);
                solver->prepareGroup(bodies.back(), group, false);
            }
            solver->warmStart(bodies.back(), group);
            solver->solve(bodies.back(), true, group);
            solver->solve(bodies.back(), false, group);
        }
    }
    for (std::size_t other = 1; other < bodies.size(); ++other)
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(bodies[0][i].linearVelocity, bodies[other][i].linearVelocity)
                << other << ", body " << i;
            EXPECT_EQ(bodies[0][i].angularVelocity, bodies[other][i].angularVelocity)
                << other << ", body " << i;
        }
    for (const ContactSolver* other : {&set, &laidOut, &read})
        for (std::size_t k = 0; k < manifolds.size(); ++k)
            for (int j = 0; j < 4; ++j) {
                EXPECT_EQ(added.result(k, j).normalImpulse, other->result(k, j).normalImpulse);
                EXPECT_EQ(added.result(k, j).tangentImpulse, other->result(k, j).tangentImpulse);
            }
    EXPECT_GT(added.result(1, 0).normalImpulse, 0.0f);
}

TEST(ContactSolver, CubesSolvedTogetherMoveAsEachSolvedAlone)
{
    // Twenty-one cubes landing on the floor, each on a manifold of its own
    // with one to four points, some overlapping, some still apart, sliding
    // and turning: their contacts touch no body twice, so in one group they
    // fill three bundles of one colour, which the passes take side by side.
    // Each cube must move exactly as when its manifold is a group alone,
    // through the warm start, both passes and the restitution.
    constexpr int cubes = 21;
    std::vector<std::vector<ContactPointInput>> points(cubes);
    for (int i = 0; i < cubes; ++i)
        for (int j = 0; j <= i % 4; ++j) {
            const float x = j % 2 == 0 ? -1.0f : 1.0f;
            const float z = j < 2 ? -1.0f : 1.0f;
            const float gap = 0.01f * static_cast<float>(i % 5 - 2);
            points[i].push_back({{3.0f * static_cast<float>(i) + x, -1.0f, z},
                                 gap,
                                 0.001f * static_cast<float>(i % 3),
                                 Vector3(0.0005f * static_cast<float>(j), 0.0f, 0.0f)});
        }
    const auto start = [&] {
        std::vector<SolverBody> bodies;
        for (int i = 0; i < cubes; ++i) {
            const auto f = static_cast<float>(i);
            SolverBody body = cube({std::sin(f), -0.5f - 0.4f * f, std::cos(f)});
            body.angularVelocity = {0.1f * std::cos(f), 0.2f, -0.1f * std::sin(f)};
            body.centre = {3.0f * f, 0.0f, 0.0f};
            bodies.push_back(body);
        }
        return bodies;
    };
    ContactSolverSettings settings;
    settings.friction = friction;
    settings.substep = substep;
    settings.softness = makeSoftness(30.0f, 10.0f, substep);
    settings.fixedSoftness = makeSoftness(60.0f, 10.0f, substep);
    const Vector3 up(0.0f, 1.0f, 0.0f);

    std::vector<std::vector<SolverBody>> bodies;
    std::vector<ContactSolver> solvers(2);
    for (int alone = 0; alone < 2; ++alone) {
        ContactSolver& solver = solvers[alone];
        for (int i = 0; i < cubes; ++i)
            solver.add(
                {noSolverBody, i, up, points[i].data(), static_cast<int>(points[i].size()), alone ? i : 0});
        bodies.push_back(start());
        const std::size_t groups = alone ? cubes : 1;
        solver.prepare(bodies.back(), settings, groups);
        for (std::size_t group = 0; group < groups; ++group) {
            solver.warmStart(bodies.back(), group);
            solver.solve(bodies.back(), true, group);
            solver.solve(bodies.back(), false, group, false, substep);
            solver.applyRestitution(bodies.back(), group);
        }
    }
    for (int i = 0; i < cubes; ++i) {
        EXPECT_EQ(bodies[0][i].linearVelocity, bodies[1][i].linearVelocity) << "cube " << i;
        EXPECT_EQ(bodies[0][i].angularVelocity, bodies[1][i].angularVelocity) << "cube " << i;
        for (int j = 0; j < static_cast<int>(points[i].size()); ++j) {
            EXPECT_EQ(solvers[0].result(i, j).normalImpulse, solvers[1].result(i, j).normalImpulse);
            EXPECT_EQ(solvers[0].result(i, j).tangentImpulse, solvers[1].result(i, j).tangentImpulse);
        }
    }
    // The landing pressed the cubes, and bounced a fast one landing flat on four points.
    constexpr int flat = 19;
    EXPECT_GT(solvers[0].result(flat, 0).normalImpulse, 0.0f);
    EXPECT_GT(bodies[0][flat].linearVelocity.y, 0.0f);
}

} // namespace
} // namespace Tolvane::Physics
