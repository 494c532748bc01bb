// A first program with Tolvane: drops three cubes on a floor, steps the world
// until they lie still and prints where each came to rest.
//
//   falling_cubes [MODEL_FOLDER]
//
// The folder holds SimpleCube.ac and Floor.ac; by default it is the one the
// engine was installed with.
#include "physics/PhysicalUniverse.h"
#include "physics/body/CollisionSet.h"
#include "physics/body/PhysicalModel.h"
#include "physics/body/PhysicalObject.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

using Tolvane::Physics::CollisionSet;
using Tolvane::Physics::loadPhysicalModel;
using Tolvane::Physics::PhysicalObject;
using Tolvane::Physics::PhysicalUniverse;

/// Ten simulated seconds are plenty; the cubes usually lie still after two.
constexpr int maxSteps = 400;

int main(int argc, char** argv)
{
    const std::string folder = argc > 1 ? argv[1] : TOLVANE_DATA_DIR;
    try {
        const auto cubeModel = loadPhysicalModel(folder + "/SimpleCube.ac");
        const auto floorModel = loadPhysicalModel(folder + "/Floor.ac");

        auto world = std::make_shared<CollisionSet>();

        // The floor never moves; its top face is at y = -7.
        auto floor = std::make_shared<PhysicalObject>(floorModel);
        floor->fixed = true;
        floor->transform.position = {0.0f, -7.0f, 0.0f};
        world->addBody(floor);

        // Cubes of mass 1 and side 2, side by side at different heights; the
        // last one starts tilted and lands on an edge.
        std::vector<std::shared_ptr<PhysicalObject>> cubes;
        for (int i = 0; i < 3; ++i) {
            auto cube = std::make_shared<PhysicalObject>(cubeModel);
            cube->transform.position = {-4.0f + 4.0f * i, 2.0f * i, 0.0f};
            cube->updateInertia();
            cubes.push_back(cube);
            world->addBody(cube);
        }
        cubes.back()->transform.rotateWorld({0.0f, 0.0f, 0.5f});

        PhysicalUniverse::gravity = {0.0f, -9.81f, 0.0f};
        PhysicalUniverse::addCollisionSet(world);

        // Bodies that stay still for a moment fall asleep: then they are at rest.
        const auto allAsleep = [&cubes] {
            for (const auto& cube : cubes)
                if (!cube->solverMemory.asleep)
                    return false;
            return true;
        };
        int steps = 0;
        while (!allAsleep()) {
            if (steps == maxSteps) {
                std::printf("The cubes still move after %d steps\n", maxSteps);
                return 1;
            }
            PhysicalUniverse::step();
            ++steps;
        }

        std::printf("%zu cubes at rest after %d steps (%.2f s)\n", cubes.size(), steps,
                    steps * PhysicalUniverse::timeStep);
        for (std::size_t i = 0; i < cubes.size(); ++i) {
            const auto position = cubes[i]->getPosition();
            std::printf("cube %zu rests at (%.3f, %.3f, %.3f)\n", i + 1, position.x, position.y, position.z);
        }
    } catch (const std::exception& error) {
        std::printf("falling_cubes: %s\n", error.what());
        return 1;
    }
    return 0;
}
