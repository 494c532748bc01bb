// The drawable model tree.
#pragma once

#include "model/ModelMesh.h"

#include <memory>
#include <string>
#include <vector>

namespace Tolvane::Renderer {

/// A part's mesh plus its child parts; immutable after setKids, shared by every
/// solid object drawn from the same file.
class VisibleModel : public ModelMesh {
  public:
    using ModelMesh::ModelMesh;

    const std::vector<std::shared_ptr<VisibleModel>>& kids() const { return kids_; }

    /// Replaces the kids and widens the radius over them.
    void setKids(const std::vector<std::shared_ptr<VisibleModel>>& kids);

  private:
    std::vector<std::shared_ptr<VisibleModel>> kids_;
};

/// Reads the AC3D file at path anew and builds its visible tree; reader errors propagate.
std::shared_ptr<VisibleModel> loadVisibleModel(const std::string& path);

} // namespace Tolvane::Renderer
