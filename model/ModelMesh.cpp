// Mesh construction and the radius widening shared by both model trees.
#include "model/ModelMesh.h"

#include <cmath>

namespace Tolvane {

ModelMesh::ModelMesh(const std::vector<Math::Vector3>& vertices, const std::vector<ModelSurface>& surfaces,
                     const Math::Vector3& location)
    : vertices_(vertices), surfaces_(surfaces), location_(location)
{
    float largestSquared = 0.0f;
    for (const Math::Vector3& v : vertices_) {
        const float squared = v.squaredLength();
        if (squared > largestSquared)
            largestSquared = squared;
    }
    radius_ = std::sqrt(largestSquared);
}

void ModelMesh::widenRadius(const ModelMesh& kid)
{
    const float reach = kid.location().length() + kid.radius();
    if (radius_ < reach)
        radius_ = reach;
}

} // namespace Tolvane
