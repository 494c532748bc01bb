// Lattice geometry and the program's jitter.
#include "scene/SceneDescription.h"

#include <cstdlib>

namespace Tolvane {

Math::Vector3 LatticeDescription::point(int index) const
{
    const int layer = index % counts[1];
    const int column = (index / counts[1]) % counts[0];
    const int row = index / (counts[1] * counts[0]);
    return {origin.x + static_cast<float>(column) * spacing.x,
            origin.y + static_cast<float>(layer) * spacing.y, origin.z + static_cast<float>(row) * spacing.z};
}

std::string LatticeDescription::bodyName(int index) const
{
    return name.empty() ? std::string() : name + "[" + std::to_string(index) + "]";
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

} // namespace Tolvane
