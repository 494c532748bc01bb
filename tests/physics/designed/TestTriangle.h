// A lone face over its own three world vertices, for the triangle-level tests.
#pragma once

#include "physics/body/ConvexPolyhedron.h"
#include "physics/designed/TrianglePairTests.h"

#include <vector>

namespace Tolvane::Physics::Collision::Testing {

/// One face over its own three vertices, normal as the polyhedron computes it.
struct Triangle {
    std::vector<Math::Vector3> vertices;
    PolyhedronFace face;

    Triangle(const Math::Vector3& v0, const Math::Vector3& v1, const Math::Vector3& v2) : vertices{v0, v1, v2}
    {
        face.vertexIndex = {0, 1, 2};
        face.normal = cross(v1 - v0, v2 - v0);
    }
    TriangleRef ref() const { return {face, vertices}; }
};

} // namespace Tolvane::Physics::Collision::Testing
