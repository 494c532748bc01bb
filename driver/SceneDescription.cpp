// Lattice geometry, the program's jitter and the built-in scene.
#include "driver/SceneDescription.h"

#include <cstdlib>
#include <filesystem>

namespace Tolvane {

namespace {

std::string modelPath(const std::string& folder, const char* file)
{
    if (folder.empty())
        return file;
    return (std::filesystem::path(folder) / file).string();
}

} // namespace

Math::Vector3 LatticeDescription::point(int index) const
{
    const int layer = index % counts[1];
    const int column = (index / counts[1]) % counts[0];
    const int row = index / (counts[1] * counts[0]);
    return {origin.x + static_cast<float>(column) * spacing.x,
            origin.y + static_cast<float>(layer) * spacing.y, origin.z + static_cast<float>(row) * spacing.z};
}

std::size_t SceneDescription::bodyCount() const
{
    std::size_t count = bodies.size();
    for (const LatticeDescription& lattice : lattices)
        count += static_cast<std::size_t>(lattice.bodyCount());
    return count;
}

float latticeJitter(int randomValue)
{
    // The quotient is rounded to float first; the scaling runs in double.
    const float unit = static_cast<float>(randomValue / static_cast<double>(RAND_MAX));
    return static_cast<float>(unit * 0.2 - 0.1);
}

SceneDescription builtInScene(const std::string& modelFolder, int latticeSize)
{
    SceneDescription scene;
    scene.source = "built-in scene";
    scene.models = {{"block", modelPath(modelFolder, "SimpleCube.ac"), nullptr},
                    {"floor", modelPath(modelFolder, "Floor.ac"), nullptr}};

    BodyDescription floor;
    floor.name = "floor";
    floor.model = 1;
    floor.position = {0.0f, -7.0f, 0.0f};
    floor.mass = fixedBodyMass;
    floor.fixed = true;
    scene.bodies.push_back(floor);

    LatticeDescription blocks;
    blocks.name = "block";
    blocks.model = 0;
    blocks.counts = {{latticeSize, latticeSize, latticeSize}};
    blocks.origin = {0.0f, 2.5f, 0.0f};
    blocks.spacing = {2.5f, 2.5f, 2.5f};
    blocks.jitter = LatticeJitter::unseeded;
    scene.lattices.push_back(blocks);
    return scene;
}

} // namespace Tolvane
