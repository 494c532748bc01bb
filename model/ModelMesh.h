// The geometry of one model part, shared by the visible and the physical model trees.
#pragma once

#include "math/Vector3.h"
#include "model/ModelSurface.h"

#include <vector>

namespace Tolvane {

/// Vertices and triangles of one part in the part's own coordinates, its origin
/// relative to its parent, and a bounding-sphere radius about that origin.
class ModelMesh {
  public:
    /// Copies the data; radius = the largest vertex distance from the origin (0 without vertices).
    ModelMesh(const std::vector<Math::Vector3>& vertices, const std::vector<ModelSurface>& surfaces,
              const Math::Vector3& location);

    const std::vector<Math::Vector3>& vertices() const { return vertices_; }
    const std::vector<ModelSurface>& surfaces() const { return surfaces_; }
    const Math::Vector3& location() const { return location_; }
    float radius() const { return radius_; }

  protected:
    /// Grows the radius so that the sphere encloses a kid's sphere placed at the kid's location.
    void widenRadius(const ModelMesh& kid);

  private:
    std::vector<Math::Vector3> vertices_;
    std::vector<ModelSurface> surfaces_;
    Math::Vector3 location_;
    float radius_ = 0.0f;
};

} // namespace Tolvane
