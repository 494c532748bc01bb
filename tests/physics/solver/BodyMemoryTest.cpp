// What each body of a pile holds: its model's data shared with every body of
// the model, and no world copy of its triangles unless the triangle tests of
// the designed response need one.
#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace Tolvane {
namespace {

using Physics::ConvexPolyhedron;
using Physics::PhysicalUniverse;

/// The world vertices held by a polyhedron tree, all of its nodes together.
std::size_t worldVerticesHeld(const ConvexPolyhedron& node)
{
    std::size_t held = node.worldVertices().size();
    for (const auto& kid : node.kids())
        held += worldVerticesHeld(*kid);
    return held;
}

TEST(BodyMemory, BlocksShareTheirModelAndOnlyTriangleTestsPlaceTheirTrees)
{
    PhysicalUniverse::reset();
    std::srand(1);
    PhysicsTestScene scene(TOLVANE_DATA_DIR);
    PhysicalUniverse::setThreads(1);
    for (int step = 0; step < 60; ++step)
        PhysicalUniverse::step();
    ASSERT_GT(PhysicalUniverse::contactStatistics().contactPoints, 0) << "the blocks must have landed";

    const auto& bodies = scene.bodies();
    const auto& block = bodies[1];
    for (std::size_t i = 1; i < bodies.size(); ++i) {
        // One model, read once, with its hulls built once: a body holds only its own state.
        EXPECT_EQ(bodies[i]->model, block->model);
        EXPECT_EQ(&bodies[i]->model->hulls(), &block->model->hulls());
        ASSERT_TRUE(bodies[i]->shape);
        EXPECT_EQ(worldVerticesHeld(*bodies[i]->shape), 0u) << "block " << i;
    }
    EXPECT_EQ(worldVerticesHeld(*bodies[0]->shape), 0u) << "floor";

    // The designed response's triangle tests do place the trees of the
    // blocks resting on the floor.
    PhysicalUniverse::contactSettings.response = Physics::ResponseKind::designed;
    PhysicalUniverse::step();
    EXPECT_GT(worldVerticesHeld(*bodies[0]->shape), 0u);
    PhysicalUniverse::reset();
    PhysicalUniverse::setThreads(0);
}

} // namespace
} // namespace Tolvane
