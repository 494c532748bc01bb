// A body's own world-space instance of a physical model tree, refreshed lazily per step.
#pragma once

#include "math/Transform.h"
#include "math/Vector3.h"
#include "physics/body/OrientedBoundingBox.h"
#include "physics/body/PhysicalModel.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace Tolvane::Physics {

struct PolyhedronFace {
    /// Indices into the owning node's worldVertices.
    std::array<std::int32_t, 3> vertexIndex{{0, 0, 0}};
    /// (B - A) x (C - A) of the world vertices: outward for counter-clockwise faces,
    /// not normalized (twice the face's area long).
    Math::Vector3 normal;
};

/// World vertices, face normals and a world box of one part, recomputed only
/// when the stamp passed in differs from the one they were last computed for.
/// The node's world state is made by its first refresh (or first request for
/// its box), and its kids by the first request for them: a body whose tree
/// is never placed, as every body of the solver response, holds only its
/// root node. The vertices and faces are made by the first refreshGeometry.
class ConvexPolyhedron {
  public:
    /// Builds the whole tree at once; parentOffset is (0,0,0) for a body's root.
    ConvexPolyhedron(const Math::Vector3& parentOffset, std::shared_ptr<PhysicalModel> model);

    /// Places this node's box for the body pose (this node only, never the kids).
    void refreshBox(Math::Transform& bodyTransform, std::int32_t stamp);
    /// Recomputes world vertices and face normals for the body pose (this node only).
    void refreshGeometry(Math::Transform& bodyTransform, std::int32_t stamp);

    const std::shared_ptr<PhysicalModel>& model() const { return model_; }
    /// The node's own copy of the model's box, placed by refreshBox.
    OrientedBoundingBox& boundingBox() { return placement().box; }
    /// The same; the model's box itself while the node has never been placed.
    const OrientedBoundingBox& boundingBox() const
    {
        return placement_ ? placement_->box : *model_->boundingBox();
    }
    /// The box's frame as refreshBox last placed it, read from the box on the
    /// first call after each placement: every later pair test of the step takes
    /// it from here instead of normalizing the box axes again.
    const BoxFrame& boxFrame();
    /// Empty until the first refreshGeometry.
    const std::vector<Math::Vector3>& worldVertices() const;
    /// The model's triangles with their world normals; empty until the first refreshGeometry.
    const std::vector<PolyhedronFace>& faces() const;
    /// A node for each of the model part's kids, made on the first call
    /// (from the kids the part has then), once even when several threads ask.
    const std::vector<std::shared_ptr<ConvexPolyhedron>>& kids() const;
    /// The part's origin in body coordinates.
    const Math::Vector3& offset() const { return offset_; }
    /// offset rotated into world orientation at the last stamp (zero before the first).
    const Math::Vector3& worldOffset() const;

  private:
    /// What a node holds once placed in the world.
    struct Placement {
        explicit Placement(const OrientedBoundingBox& modelBox) : box(modelBox) {}
        OrientedBoundingBox box;
        BoxFrame boxFrame;
        std::vector<Math::Vector3> worldVertices;
        std::vector<PolyhedronFace> faces;
        Math::Vector3 worldOffset;
        std::int32_t offsetStamp = 0;
        std::int32_t boxStamp = 0;
        std::int32_t geometryStamp = 0;
        /// False from construction and each placement of the box until boxFrame reads it.
        bool frameCurrent = false;
        bool geometryMade = false;
    };

    Placement& placement();
    void makeWorldGeometry(Placement& placed) const;
    void refreshWorldOffset(Placement& placed, Math::Transform& bodyTransform, std::int32_t stamp) const;

    /// The model box's centre in body coordinates: offset plus the box's own centre.
    Math::Vector3 boxCentreOffset() const { return offset_ + model_->box().transform.position; }

    std::shared_ptr<PhysicalModel> model_;
    /// The kids once made; null for a node without any, which most bodies'
    /// roots are: a pointer keeps every node smaller than a list would.
    mutable std::unique_ptr<const std::vector<std::shared_ptr<ConvexPolyhedron>>> kids_;
    Math::Vector3 offset_;
    std::unique_ptr<Placement> placement_;
    /// Whether kids_ holds the kids yet.
    mutable std::atomic<bool> kidsMade_{false};
};

} // namespace Tolvane::Physics
