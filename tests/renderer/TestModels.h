// Visible model trees built in code for the renderer tests.
#pragma once

#include "math/Vector3.h"
#include "model/VisibleModel.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Tolvane::Renderer::Testing {

inline ModelSurface makeSurface(std::uint16_t a, std::uint16_t b, std::uint16_t c,
                                const Math::Vector3& normal)
{
    ModelSurface surface;
    surface.vertexIndex = {{a, b, c}};
    surface.normal = normal;
    return surface;
}

/// An axis-aligned cube of the given half size about its origin: 12 outward triangles.
inline std::shared_ptr<VisibleModel> makeCube(float half)
{
    std::vector<Math::Vector3> v;
    for (int i = 0; i < 8; ++i)
        v.push_back({(i & 1) ? half : -half, (i & 2) ? half : -half, (i & 4) ? half : -half});
    // Corner i has +x when bit 0 is set, +y for bit 1, +z for bit 2.
    const std::vector<ModelSurface> surfaces = {
        makeSurface(1, 3, 7, {1, 0, 0}),  makeSurface(1, 7, 5, {1, 0, 0}),  makeSurface(0, 4, 6, {-1, 0, 0}),
        makeSurface(0, 6, 2, {-1, 0, 0}), makeSurface(2, 6, 7, {0, 1, 0}),  makeSurface(2, 7, 3, {0, 1, 0}),
        makeSurface(0, 1, 5, {0, -1, 0}), makeSurface(0, 5, 4, {0, -1, 0}), makeSurface(4, 5, 7, {0, 0, 1}),
        makeSurface(4, 7, 6, {0, 0, 1}),  makeSurface(0, 2, 3, {0, 0, -1}), makeSurface(0, 3, 1, {0, 0, -1}),
    };
    auto cube = std::make_shared<VisibleModel>(v, surfaces, Math::Vector3());
    cube->setKids({});
    return cube;
}

/// A square of the given half size in the plane z = 0, facing -z (towards the test camera).
inline std::shared_ptr<VisibleModel> makeSquare(float half, const Math::Vector3& location = {},
                                                const std::vector<std::shared_ptr<VisibleModel>>& kids = {})
{
    const std::vector<Math::Vector3> v = {
        {-half, -half, 0}, {half, -half, 0}, {half, half, 0}, {-half, half, 0}};
    const std::vector<ModelSurface> surfaces = {makeSurface(0, 2, 1, {0, 0, -1}),
                                                makeSurface(0, 3, 2, {0, 0, -1})};
    auto square = std::make_shared<VisibleModel>(v, surfaces, location);
    square->setKids(kids);
    return square;
}

/// A part without geometry that only places its kids.
inline std::shared_ptr<VisibleModel> makeGroup(const Math::Vector3& location,
                                               const std::vector<std::shared_ptr<VisibleModel>>& kids)
{
    auto group =
        std::make_shared<VisibleModel>(std::vector<Math::Vector3>{}, std::vector<ModelSurface>{}, location);
    group->setKids(kids);
    return group;
}

} // namespace Tolvane::Renderer::Testing
