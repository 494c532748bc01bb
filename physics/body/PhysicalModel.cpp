// Physical model parts, their bounding boxes and the physical loader.
#include "physics/body/PhysicalModel.h"

#include "geometry/BodyHulls.h"
#include "model/AC3DReader.h"
#include "model/ModelTree.h"

#include <ostream>

namespace Tolvane::Physics {

namespace {
// Starting bounds of the vertex scan: any vertex inside ±1e6 on an axis
// replaces them, so ordinary models get their exact vertex bounds.
constexpr float initialBound = 1000000.0f;

// Raises maxCorner and lowers minCorner, per axis, to take in the point range [low, high].
void widenBounds(Math::Vector3& maxCorner, Math::Vector3& minCorner, const Math::Vector3& high,
                 const Math::Vector3& low)
{
    if (high.x > maxCorner.x)
        maxCorner.x = high.x;
    if (high.y > maxCorner.y)
        maxCorner.y = high.y;
    if (high.z > maxCorner.z)
        maxCorner.z = high.z;
    if (low.x < minCorner.x)
        minCorner.x = low.x;
    if (low.y < minCorner.y)
        minCorner.y = low.y;
    if (low.z < minCorner.z)
        minCorner.z = low.z;
}
} // namespace

PhysicalModel::PhysicalModel(const std::vector<Math::Vector3>& vertices,
                             const std::vector<ModelSurface>& surfaces, const Math::Vector3& location)
    : ModelMesh(vertices, surfaces, location)
{
    if (vertices.empty()) {
        boundingBox_ = std::make_shared<OrientedBoundingBox>(Math::Vector3(), Math::Vector3());
        return;
    }
    Math::Vector3 maxCorner(-initialBound, -initialBound, -initialBound);
    Math::Vector3 minCorner(initialBound, initialBound, initialBound);
    for (const Math::Vector3& v : vertices)
        widenBounds(maxCorner, minCorner, v, v);
    boundingBox_ = std::make_shared<OrientedBoundingBox>(maxCorner, minCorner);
}

PhysicalModel::~PhysicalModel() = default;

// The bounds start from the part's own box where it actually is (its centre
// need not be the part's origin), so the final box holds the part's own
// geometry as well as every kid's box placed at the kid's location.
void PhysicalModel::setKids(const std::vector<std::shared_ptr<PhysicalModel>>& kids)
{
    kids_ = kids;
    const Math::Vector3 ownCentre = boundingBox_->transform.position;
    const Math::Vector3 ownHalfExtents = boundingBox_->halfExtents;
    Math::Vector3 maxCorner = ownCentre + ownHalfExtents;
    Math::Vector3 minCorner = ownCentre - ownHalfExtents;
    for (const auto& kid : kids_) {
        widenRadius(*kid);
        const OrientedBoundingBox& kidBox = *kid->boundingBox_;
        const Math::Vector3 kidCentre = kidBox.transform.position + kid->location();
        widenBounds(maxCorner, minCorner, kidCentre + kidBox.halfExtents, kidCentre - kidBox.halfExtents);
    }
    boundingBox_ = std::make_shared<OrientedBoundingBox>(maxCorner, minCorner);
}

namespace {

/// Every part of the tree under model, in tree order, as hullParts lists them.
std::vector<const PhysicalModel*> partsInTreeOrder(const PhysicalModel& model)
{
    std::vector<const PhysicalModel*> parts;
    std::vector<const PhysicalModel*> pending{&model};
    while (!pending.empty()) {
        const PhysicalModel* part = pending.back();
        pending.pop_back();
        parts.push_back(part);
        const auto& kids = part->kids();
        for (auto kid = kids.rbegin(); kid != kids.rend(); ++kid)
            pending.push_back(kid->get());
    }
    return parts;
}

/// Every part of the tree under model, in tree order (a part before its kids,
/// kids in order), each placed as a body built on model places it
/// (ConvexPolyhedron: the parent's offset plus the part's location, model
/// itself at its own location).
std::vector<Collision::HullPart> hullParts(const PhysicalModel& model)
{
    std::vector<Collision::HullPart> parts;
    // Depth first with an explicit stack, so a deep tree cannot exhaust the call stack.
    std::vector<std::pair<const PhysicalModel*, Math::Vector3>> pending{{&model, Math::Vector3()}};
    while (!pending.empty()) {
        const auto [part, parentOffset] = pending.back();
        pending.pop_back();
        const Math::Vector3 offset = parentOffset + part->location();
        std::vector<Collision::TriangleIndices> triangles;
        triangles.reserve(part->surfaces().size());
        for (const ModelSurface& surface : part->surfaces())
            triangles.push_back({surface.vertexIndex[0], surface.vertexIndex[1], surface.vertexIndex[2]});
        parts.push_back({&part->vertices(), offset, std::move(triangles)});
        const auto& kids = part->kids();
        for (auto kid = kids.rbegin(); kid != kids.rend(); ++kid)
            pending.emplace_back(kid->get(), offset);
    }
    return parts;
}

} // namespace

const Collision::BodyHulls& PhysicalModel::hulls() const
{
    if (const Collision::BodyHulls* built = builtHulls_.load(std::memory_order_acquire))
        return *built;
    const std::lock_guard<std::mutex> lock(hullsLock_);
    if (!hulls_) {
        hulls_ = std::make_unique<const Collision::BodyHulls>(
            Collision::buildBodyHulls(hullParts(*this), radius(), location()));
        builtHulls_.store(hulls_.get(), std::memory_order_release);
    }
    return *hulls_;
}

void PhysicalModel::reportHullStandIns(std::ostream& err) const
{
    const Collision::BodyHulls& built = hulls();
    if (built.concaveParts.empty() || reportedHullStandIns_.exchange(true))
        return;
    const std::vector<const PhysicalModel*> parts = partsInTreeOrder(*this);
    const std::string file = sourcePath_.empty() ? std::string("a model built in code") : sourcePath_;
    for (const std::int32_t index : built.concaveParts) {
        const std::string& part = parts[static_cast<std::size_t>(index)]->name();
        err << file << ": part \"" << part
            << "\" collides as its convex hull; split it into convex parts for an exact shape\n";
    }
}

namespace {

/// Gives each part of model the name of its object in the file: the tree was
/// built from info, so the two have the same shape.
void nameParts(PhysicalModel& model, const ModelInfo& info)
{
    // The file writes names in quotes; the part's name is what they enclose.
    const std::string& name = info.name;
    const bool quoted = name.size() >= 2 && name.front() == '"' && name.back() == '"';
    model.setName(quoted ? name.substr(1, name.size() - 2) : name);
    for (std::size_t k = 0; k < model.kids().size() && k < info.kids.size(); ++k)
        nameParts(*model.kids()[k], *info.kids[k]);
}

} // namespace

std::shared_ptr<PhysicalModel> loadPhysicalModel(const std::string& path)
{
    const std::shared_ptr<ModelInfo> info = readAC3DFile(path);
    std::shared_ptr<PhysicalModel> model = buildModelTree<PhysicalModel>(*info);
    nameParts(*model, *info);
    model->setSourcePath(path);
    return model;
}

} // namespace Tolvane::Physics
