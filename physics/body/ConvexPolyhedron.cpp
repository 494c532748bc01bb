// A body's world-space polyhedron tree and its per-stamp caches.
#include "physics/body/ConvexPolyhedron.h"

#include <cassert>
#include <mutex>

namespace Tolvane::Physics {

namespace {
/// What a node reports before it is first placed.
const std::vector<Math::Vector3> noVertices;
const std::vector<PolyhedronFace> noFaces;
const Math::Vector3 noOffset;
const std::vector<std::shared_ptr<ConvexPolyhedron>> noKids;
} // namespace

ConvexPolyhedron::ConvexPolyhedron(const Math::Vector3& parentOffset, std::shared_ptr<PhysicalModel> model)
    : model_(std::move(model))
{
    assert(model_);
    offset_ = parentOffset + model_->location();
}

const std::vector<std::shared_ptr<ConvexPolyhedron>>& ConvexPolyhedron::kids() const
{
    if (kidsMade_.load(std::memory_order_acquire))
        return kids_ ? *kids_ : noKids;
    // Rare (once a node), so one lock serves every node. A throw (out of
    // memory) leaves the kids unmade for the next call to try again.
    static std::mutex making;
    const std::lock_guard<std::mutex> hold(making);
    if (!kidsMade_.load(std::memory_order_relaxed)) {
        const std::vector<std::shared_ptr<PhysicalModel>>& modelKids = model_->kids();
        std::vector<std::shared_ptr<ConvexPolyhedron>> made;
        made.reserve(modelKids.size());
        for (const auto& kid : modelKids)
            made.push_back(std::make_shared<ConvexPolyhedron>(offset_, kid));
        if (!made.empty())
            kids_ = std::make_unique<const std::vector<std::shared_ptr<ConvexPolyhedron>>>(std::move(made));
        kidsMade_.store(true, std::memory_order_release);
    }
    return kids_ ? *kids_ : noKids;
}

// Only the designed response places a body's tree: a body it never tests,
// as every body of the solver response, holds no world state.
ConvexPolyhedron::Placement& ConvexPolyhedron::placement()
{
    if (!placement_)
        placement_ = std::make_unique<Placement>(*model_->boundingBox());
    return *placement_;
}

const std::vector<Math::Vector3>& ConvexPolyhedron::worldVertices() const
{
    return placement_ ? placement_->worldVertices : noVertices;
}

const std::vector<PolyhedronFace>& ConvexPolyhedron::faces() const
{
    return placement_ ? placement_->faces : noFaces;
}

const Math::Vector3& ConvexPolyhedron::worldOffset() const
{
    return placement_ ? placement_->worldOffset : noOffset;
}

void ConvexPolyhedron::makeWorldGeometry(Placement& placed) const
{
    const std::vector<Math::Vector3>& vertices = model_->vertices();
    placed.worldVertices.assign(vertices.size(), Math::Vector3());
    const std::vector<ModelSurface>& surfaces = model_->surfaces();
    // Begun afresh should an earlier attempt have run out of memory.
    placed.faces.clear();
    placed.faces.reserve(surfaces.size());
    for (const ModelSurface& surface : surfaces) {
        PolyhedronFace face;
        for (int i = 0; i < 3; ++i) {
            face.vertexIndex[i] = surface.vertexIndex[i];
            assert(static_cast<std::size_t>(face.vertexIndex[i]) < vertices.size());
        }
        placed.faces.push_back(face);
    }
    placed.geometryMade = true;
}

void ConvexPolyhedron::refreshWorldOffset(Placement& placed, Math::Transform& bodyTransform,
                                          std::int32_t stamp) const
{
    if (stamp == placed.offsetStamp)
        return;
    placed.worldOffset = bodyTransform.rotate(offset_);
    placed.offsetStamp = stamp;
}

void ConvexPolyhedron::refreshBox(Math::Transform& bodyTransform, std::int32_t stamp)
{
    Placement& placed = placement();
    if (stamp == placed.boxStamp)
        return;
    refreshWorldOffset(placed, bodyTransform, stamp);
    // For a box centred on the part's origin the two offsets are equal and the
    // world offset already holds the rotation; only an off-centre box costs a
    // second rotation.
    // The model box need not be centred on the part's origin; the world box is
    // placed at its true centre so that it really contains the part.
    const Math::Vector3 centreOffset = boxCentreOffset();
    const Math::Vector3 worldBoxOffset =
        centreOffset == offset_ ? placed.worldOffset : bodyTransform.rotate(centreOffset);
    Math::Transform& boxTransform = placed.box.transform;
    boxTransform.position = bodyTransform.position + worldBoxOffset;
    boxTransform.orientation = bodyTransform.orientation;
    boxTransform.dirty = true;
    placed.frameCurrent = false;
    placed.boxStamp = stamp;
}

const BoxFrame& ConvexPolyhedron::boxFrame()
{
    Placement& placed = placement();
    if (!placed.frameCurrent) {
        placed.boxFrame = readBoxFrame(placed.box);
        placed.frameCurrent = true;
    }
    return placed.boxFrame;
}

void ConvexPolyhedron::refreshGeometry(Math::Transform& bodyTransform, std::int32_t stamp)
{
    Placement& placed = placement();
    // Made before the stamp is looked at: a new node is current for stamp 0,
    // with its vertices and normals all zero.
    if (!placed.geometryMade)
        makeWorldGeometry(placed);
    if (stamp == placed.geometryStamp)
        return;
    refreshWorldOffset(placed, bodyTransform, stamp);
    const std::vector<Math::Vector3>& vertices = model_->vertices();
    for (std::size_t i = 0; i < vertices.size(); ++i)
        placed.worldVertices[i] = bodyTransform.rotate(vertices[i] + offset_) + bodyTransform.position;
    for (PolyhedronFace& face : placed.faces) {
        const Math::Vector3& a = placed.worldVertices[face.vertexIndex[0]];
        const Math::Vector3& b = placed.worldVertices[face.vertexIndex[1]];
        const Math::Vector3& c = placed.worldVertices[face.vertexIndex[2]];
        face.normal = cross(b - a, c - a);
    }
    placed.geometryStamp = stamp;
}

} // namespace Tolvane::Physics
