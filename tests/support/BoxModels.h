// Small physical models built in code for the body, shape and solver tests.
#pragma once

#include "physics/body/PhysicalModel.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Tolvane::Physics::Testing {

/// A part of the given vertices and counter-clockwise triangles, each
/// triangle's surface with its unit normal, as the reader makes them.
template <std::size_t N>
inline std::shared_ptr<PhysicalModel> trianglePart(const std::vector<Math::Vector3>& vertices,
                                                   const std::uint16_t (&triangles)[N][3],
                                                   const Math::Vector3& location = Math::Vector3())
{
    std::vector<ModelSurface> surfaces;
    for (const auto& t : triangles) {
        ModelSurface s;
        s.vertexIndex = {t[0], t[1], t[2]};
        s.normal = Math::normalized(cross(vertices[t[1]] - vertices[t[0]], vertices[t[2]] - vertices[t[0]]));
        surfaces.push_back(s);
    }
    return std::make_shared<PhysicalModel>(vertices, surfaces, location);
}

/// A box part spanning minCorner..maxCorner in its own coordinates: 8 vertices and
/// 12 counter-clockwise triangles with outward unit normals, as the reader makes them.
inline std::shared_ptr<PhysicalModel> boxPart(const Math::Vector3& minCorner, const Math::Vector3& maxCorner,
                                              const Math::Vector3& location = Math::Vector3(),
                                              const std::vector<std::shared_ptr<PhysicalModel>>& kids = {})
{
    const Math::Vector3& a = minCorner;
    const Math::Vector3& b = maxCorner;
    const std::vector<Math::Vector3> vertices{{a.x, a.y, a.z}, {b.x, a.y, a.z}, {b.x, b.y, a.z},
                                              {a.x, b.y, a.z}, {a.x, a.y, b.z}, {b.x, a.y, b.z},
                                              {b.x, b.y, b.z}, {a.x, b.y, b.z}};
    const std::uint16_t triangles[12][3] = {{4, 5, 6}, {4, 6, 7}, {0, 2, 1}, {0, 3, 2}, {1, 2, 6}, {1, 6, 5},
                                            {0, 4, 7}, {0, 7, 3}, {3, 7, 6}, {3, 6, 2}, {0, 1, 5}, {0, 5, 4}};
    auto part = trianglePart(vertices, triangles, location);
    part->setKids(kids);
    return part;
}

/// The unit cube part: vertices at ±1 on every axis.
inline std::shared_ptr<PhysicalModel> cubePart(const Math::Vector3& location = Math::Vector3())
{
    return boxPart({-1.0f, -1.0f, -1.0f}, {1.0f, 1.0f, 1.0f}, location);
}

/// A part without vertices (an AC3D group) holding the given kids.
inline std::shared_ptr<PhysicalModel> groupPart(const std::vector<std::shared_ptr<PhysicalModel>>& kids,
                                                const Math::Vector3& location = Math::Vector3())
{
    auto group =
        std::make_shared<PhysicalModel>(std::vector<Math::Vector3>{}, std::vector<ModelSurface>{}, location);
    group->setKids(kids);
    return group;
}

} // namespace Tolvane::Physics::Testing
