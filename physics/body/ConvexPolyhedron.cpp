// A body's world-space polyhedron tree and its per-stamp caches.
#include "physics/body/ConvexPolyhedron.h"

#include <cassert>

namespace Tolvane::Physics {

ConvexPolyhedron::ConvexPolyhedron(const Math::Vector3& parentOffset, std::shared_ptr<PhysicalModel> model)
    : model_(std::move(model)), boundingBox_(*model_->boundingBox())
{
    const OrientedBoundingBox& modelBox = *model_->boundingBox();

    offset_ = parentOffset + model_->location();
    // The model box need not be centred on the part's origin; the world box is
    // placed at its true centre so that it really contains the part.
    boxCentreOffset_ = offset_ + modelBox.transform.position;

    const std::vector<std::shared_ptr<PhysicalModel>>& modelKids = model_->kids();
    kids_.reserve(modelKids.size());
    for (const auto& kid : modelKids)
        kids_.push_back(std::make_shared<ConvexPolyhedron>(offset_, kid));
}

// Only the designed response asks for a body's world geometry: a body it
// never tests, as every body of the solver response, holds none.
void ConvexPolyhedron::makeWorldGeometry()
{
    const std::vector<Math::Vector3>& vertices = model_->vertices();
    worldVertices_.assign(vertices.size(), Math::Vector3());
    const std::vector<ModelSurface>& surfaces = model_->surfaces();
    // Begun afresh should an earlier attempt have run out of memory.
    faces_.clear();
    faces_.reserve(surfaces.size());
    for (const ModelSurface& surface : surfaces) {
        PolyhedronFace face;
        for (int i = 0; i < 3; ++i) {
            face.vertexIndex[i] = surface.vertexIndex[i];
            assert(static_cast<std::size_t>(face.vertexIndex[i]) < vertices.size());
        }
        faces_.push_back(face);
    }
    geometryMade_ = true;
}

void ConvexPolyhedron::refreshWorldOffset(Math::Transform& bodyTransform, std::int32_t stamp)
{
    if (stamp == offsetStamp_)
        return;
    worldOffset_ = bodyTransform.rotate(offset_);
    offsetStamp_ = stamp;
}

void ConvexPolyhedron::refreshBox(Math::Transform& bodyTransform, std::int32_t stamp)
{
    if (stamp == boxStamp_)
        return;
    refreshWorldOffset(bodyTransform, stamp);
    // For a box centred on the part's origin the two offsets are equal and the
    // world offset already holds the rotation; only an off-centre box costs a
    // second rotation.
    const Math::Vector3 worldBoxOffset =
        boxCentreOffset_ == offset_ ? worldOffset_ : bodyTransform.rotate(boxCentreOffset_);
    Math::Transform& boxTransform = boundingBox_.transform;
    boxTransform.position = bodyTransform.position + worldBoxOffset;
    boxTransform.orientation = bodyTransform.orientation;
    boxTransform.dirty = true;
    frameCurrent_ = false;
    boxStamp_ = stamp;
}

const BoxFrame& ConvexPolyhedron::boxFrame()
{
    if (!frameCurrent_) {
        boxFrame_ = readBoxFrame(boundingBox_);
        frameCurrent_ = true;
    }
    return boxFrame_;
}

void ConvexPolyhedron::refreshGeometry(Math::Transform& bodyTransform, std::int32_t stamp)
{
    // Made before the stamp is looked at: a new node is current for stamp 0,
    // with its vertices and normals all zero.
    if (!geometryMade_)
        makeWorldGeometry();
    if (stamp == geometryStamp_)
        return;
    refreshWorldOffset(bodyTransform, stamp);
    const std::vector<Math::Vector3>& vertices = model_->vertices();
    for (std::size_t i = 0; i < vertices.size(); ++i)
        worldVertices_[i] = bodyTransform.rotate(vertices[i] + offset_) + bodyTransform.position;
    for (PolyhedronFace& face : faces_) {
        const Math::Vector3& a = worldVertices_[face.vertexIndex[0]];
        const Math::Vector3& b = worldVertices_[face.vertexIndex[1]];
        const Math::Vector3& c = worldVertices_[face.vertexIndex[2]];
        face.normal = cross(b - a, c - a);
    }
    geometryStamp_ = stamp;
}

} // namespace Tolvane::Physics
