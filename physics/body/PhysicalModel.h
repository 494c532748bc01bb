// The collision model tree: mesh, child parts and a bounding box per part.
#pragma once

#include "model/ModelMesh.h"
#include "physics/body/OrientedBoundingBox.h"

#include <atomic>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Tolvane::Physics {

namespace Collision {
struct BodyHulls;
}

/// A shared, immutable template of one part; bodies instance it as a ConvexPolyhedron.
class PhysicalModel : public ModelMesh {
  public:
    /// Builds the mesh and the part's own box around its vertex bounds
    /// (a zero-size box at the origin for a part without vertices).
    PhysicalModel(const std::vector<Math::Vector3>& vertices, const std::vector<ModelSurface>& surfaces,
                  const Math::Vector3& location);
    ~PhysicalModel();

    const std::vector<std::shared_ptr<PhysicalModel>>& kids() const { return kids_; }
    /// The box in the part's coordinates; after setKids it encloses the part and all descendants.
    std::shared_ptr<OrientedBoundingBox> boundingBox() const { return boundingBox_; }
    /// The same box, read without sharing it.
    const OrientedBoundingBox& box() const { return *boundingBox_; }

    /// Stores the kids, widens the radius and replaces the box by one over the part and its kids.
    void setKids(const std::vector<std::shared_ptr<PhysicalModel>>& kids);

    /// The convex hulls of this part and its descendants, placed as a body built
    /// on this part places them, with the body's mass properties per unit mass
    /// (see buildBodyHulls). Built on the first call, exactly once even when
    /// several threads ask at the same time, from the kids set at that time.
    const Collision::BodyHulls& hulls() const;

    /// The part's name in its model file (empty when it has none).
    const std::string& name() const { return name_; }
    /// The file the model tree was read from, on its root part (empty for
    /// parts and models built in code).
    const std::string& sourcePath() const { return sourcePath_; }
    void setName(const std::string& name) { name_ = name; }
    void setSourcePath(const std::string& path) { sourcePath_ = path; }

    /// Says on err, the first time only, of each part that is not its own
    /// convex hull that a movable body on this model collides with it as that
    /// hull, naming the model file and the part.
    void reportHullStandIns(std::ostream& err) const;

  private:
    mutable std::atomic<bool> reportedHullStandIns_{false};
    std::string name_;
    std::string sourcePath_;
    std::vector<std::shared_ptr<PhysicalModel>> kids_;
    std::shared_ptr<OrientedBoundingBox> boundingBox_;
    /// The hulls once built. Built under the lock by the first caller; a
    /// build that throws (out of memory) leaves them unbuilt for the next call
    /// to try again. std::call_once would do, but after a throwing call some
    /// platforms and ThreadSanitizer's runtime hang the next caller.
    mutable std::mutex hullsLock_;
    mutable std::atomic<const Collision::BodyHulls*> builtHulls_{nullptr};
    mutable std::unique_ptr<const Collision::BodyHulls> hulls_;
};

/// Reads the AC3D file at path anew and builds its physical tree; reader errors propagate.
std::shared_ptr<PhysicalModel> loadPhysicalModel(const std::string& path);

} // namespace Tolvane::Physics
