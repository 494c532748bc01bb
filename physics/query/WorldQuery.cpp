// The world query view: keeping up with the sets, and the queries themselves.
#include "physics/query/WorldQuery.h"

#include "geometry/ShapeOverlaps.h"
#include "math/Matrix3.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_set>

namespace Tolvane::Physics {

using Collision::RayLine;
using Collision::ShapeRayHit;
using Math::Vector3;

namespace {

bool isFinite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

float largestComponent(const Vector3& v)
{
    return std::max(std::fabs(v.x), std::max(std::fabs(v.y), std::fabs(v.z)));
}

/// v scaled to unit length, or nullopt for a zero or non-finite v. Scaled by
/// its largest component first, so that neither a tiny nor a huge vector
/// under- or overflows on the way.
std::optional<Vector3> unitOf(const Vector3& v)
{
    const float largest = largestComponent(v);
    if (!(largest > 0.0f) || !std::isfinite(largest))
        return std::nullopt;
    const Vector3 scaled = v / largest;
    return scaled / scaled.length();
}

RayLine checkedRay(const Ray& ray)
{
    if (!isFinite(ray.origin))
        throw std::invalid_argument("The ray's origin is not finite");
    const std::optional<Vector3> direction = unitOf(ray.direction);
    if (!direction)
        throw std::invalid_argument("The ray's direction is zero or not finite");
    if (!(ray.maxDistance >= 0.0f))
        throw std::invalid_argument("The ray's maximum distance is negative or not a number");
    return {ray.origin, *direction};
}

/// The half size along world axes of a box of half size half turned by r.
Vector3 turnedHalfSize(const Math::Matrix3& r, const Vector3& half)
{
    return {std::fabs(r(0, 0)) * half.x + std::fabs(r(0, 1)) * half.y + std::fabs(r(0, 2)) * half.z,
            std::fabs(r(1, 0)) * half.x + std::fabs(r(1, 1)) * half.y + std::fabs(r(1, 2)) * half.z,
            std::fabs(r(2, 0)) * half.x + std::fabs(r(2, 1)) * half.y + std::fabs(r(2, 2)) * half.z};
}

/// pose of a shape seen from the frame of frame.
Collision::HullPose poseIn(const Collision::HullPose& frame, const Collision::HullPose& pose)
{
    const Collision::RelativePose relative = Collision::relativePose(frame, pose);
    return {relative.translation, relative.rotation};
}

} // namespace

void WorldQuery::look(Entry& entry)
{
    const PhysicalObject& body = *entry.body;
    entry.model = body.model;
    entry.hulls = entry.model ? &entry.model->hulls() : nullptr;
    entry.position = body.transform.position;
    entry.orientation = body.transform.orientation;
    entry.fixed = body.fixed;
    entry.kinematic = body.kinematic;
    entry.pose = {entry.position, Math::toMatrix3(entry.orientation)};
}

bool WorldQuery::moved(const Entry& entry)
{
    const PhysicalObject& body = *entry.body;
    return body.transform.position != entry.position || !(body.transform.orientation == entry.orientation) ||
           body.model != entry.model || body.fixed != entry.fixed || body.kinematic != entry.kinematic;
}

// An update that throws half way would leave entries that do not match the
// tree, or hulls of a model no longer held: the view is emptied instead.
void WorldQuery::update(const std::vector<std::shared_ptr<CollisionSet>>& sets)
{
    try {
        refresh(sets);
    } catch (...) {
        clear();
        throw;
    }
}

void WorldQuery::refresh(const std::vector<std::shared_ptr<CollisionSet>>& sets)
{
    listing_.clear();
    for (const std::shared_ptr<CollisionSet>& set : sets)
        if (set)
            for (const std::shared_ptr<PhysicalObject>& body : set->bodies)
                listing_.push_back(body.get());

    if (listing_ != listed_) {
        entries_.clear();
        std::unordered_set<const PhysicalObject*> seen;
        for (const std::shared_ptr<CollisionSet>& set : sets)
            if (set)
                for (const std::shared_ptr<PhysicalObject>& body : set->bodies)
                    if (body && seen.insert(body.get()).second) {
                        entries_.push_back({});
                        entries_.back().body = body;
                        look(entries_.back());
                    }
        listed_.swap(listing_);
        buildTree();
        return;
    }
    bool changed = false;
    for (Entry& entry : entries_)
        if (moved(entry)) {
            look(entry);
            changed = true;
        }
    if (changed)
        buildTree();
}

void WorldQuery::clear()
{
    listed_.clear();
    listing_.clear();
    entries_.clear();
    treeEntries_.clear();
    treeBoxes_.clear();
    tree_ = Collision::TriangleTree();
}

// The tree is built anew from the boxes rather than refitted: a median split
// of a few thousand boxes takes well under a millisecond, and a fresh tree
// stays tight however far the bodies have moved.
void WorldQuery::buildTree()
{
    treeEntries_.clear();
    treeBoxes_.clear();
    for (std::size_t e = 0; e < entries_.size(); ++e) {
        const Entry& entry = entries_[e];
        if (!entry.hulls || entry.hulls->hulls.empty())
            continue;
        const Vector3 localMiddle = (entry.hulls->boxMin + entry.hulls->boxMax) * 0.5f;
        const Vector3 half =
            turnedHalfSize(entry.pose.rotation, (entry.hulls->boxMax - entry.hulls->boxMin) * 0.5f);
        const Vector3 middle = entry.pose.position + entry.pose.rotation * localMiddle;
        const WorldBox box{middle - half, middle + half};
        if (!isFinite(box.min) || !isFinite(box.max) || !isFinite(entry.pose.rotation.column[0]) ||
            !isFinite(entry.pose.rotation.column[1]) || !isFinite(entry.pose.rotation.column[2]))
            continue;
        treeEntries_.push_back(static_cast<std::int32_t>(e));
        treeBoxes_.push_back(box);
    }
    tree_ = Collision::buildTriangleTree(treeBoxes_);
}

const Collision::TriangleMesh* WorldQuery::meshOf(const Entry& entry, std::size_t h)
{
    return entry.fixed || entry.kinematic ? entry.hulls->meshOfHull(h) : nullptr;
}

std::optional<ShapeRayHit> WorldQuery::castAt(const Entry& entry, const RayLine& ray, float limit)
{
    const Collision::HullPose& pose = entry.pose;
    const RayLine local{transposeTimes(pose.rotation, ray.origin - pose.position),
                        transposeTimes(pose.rotation, ray.direction)};
    std::optional<ShapeRayHit> nearest;
    const std::vector<Collision::ConvexHull>& hulls = entry.hulls->hulls;
    for (std::size_t h = 0; h < hulls.size(); ++h) {
        const Collision::TriangleMesh* mesh = meshOf(entry, h);
        const std::optional<ShapeRayHit> hit = mesh ? Collision::castRayAtMesh(*mesh, local, limit)
                                                    : Collision::castRayAtHull(hulls[h], local, limit);
        if (hit && (!nearest || hit->distance < nearest->distance)) {
            nearest = hit;
            limit = hit->distance;
        }
    }
    return nearest;
}

RayHit WorldQuery::worldHit(const Entry& entry, const RayLine& ray, const ShapeRayHit& hit)
{
    const Vector3 normal = hit.fromInside ? -ray.direction : entry.pose.rotation * hit.normal;
    return {entry.body, ray.origin + ray.direction * hit.distance, normal, hit.distance};
}

std::optional<RayHit> WorldQuery::castRay(const Ray& ray, const QueryFilter& filter) const
{
    const RayLine line = checkedRay(ray);
    float limit = ray.maxDistance;
    std::int32_t nearestEntry = -1;
    ShapeRayHit nearest;
    Collision::walkTreeAlongRay(tree_, line, limit, [&](std::int32_t item, float& reach) {
        const Entry& entry = entries_[treeEntries_[item]];
        if (!filter.passes(*entry.body))
            return;
        const std::optional<ShapeRayHit> hit = castAt(entry, line, reach);
        if (hit && (nearestEntry < 0 || hit->distance < nearest.distance)) {
            nearestEntry = treeEntries_[item];
            nearest = *hit;
            reach = hit->distance;
        }
    });
    if (nearestEntry < 0)
        return std::nullopt;
    return worldHit(entries_[nearestEntry], line, nearest);
}

std::vector<RayHit> WorldQuery::castRayAll(const Ray& ray, const QueryFilter& filter) const
{
    const RayLine line = checkedRay(ray);
    float limit = ray.maxDistance;
    std::vector<std::pair<std::int32_t, ShapeRayHit>> found;
    Collision::walkTreeAlongRay(tree_, line, limit, [&](std::int32_t item, float& reach) {
        const Entry& entry = entries_[treeEntries_[item]];
        if (!filter.passes(*entry.body))
            return;
        if (const std::optional<ShapeRayHit> hit = castAt(entry, line, reach))
            found.emplace_back(treeEntries_[item], *hit);
    });
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.second.distance != b.second.distance ? a.second.distance < b.second.distance
                                                      : a.first < b.first;
    });
    std::vector<RayHit> hits;
    hits.reserve(found.size());
    for (const auto& [e, hit] : found)
        hits.push_back(worldHit(entries_[e], line, hit));
    return hits;
}

std::vector<std::int32_t> WorldQuery::candidates(const WorldBox& box, const QueryFilter& filter) const
{
    std::vector<std::int32_t> items;
    if (!tree_.nodes.empty())
        tree_.query(box, items);
    std::vector<std::int32_t> found;
    found.reserve(items.size());
    for (const std::int32_t item : items)
        found.push_back(treeEntries_[item]);
    std::sort(found.begin(), found.end());
    found.erase(std::remove_if(found.begin(), found.end(),
                               [&](std::int32_t e) { return !filter.passes(*entries_[e].body); }),
                found.end());
    return found;
}

std::vector<std::shared_ptr<PhysicalObject>> WorldQuery::overlapSphere(const QuerySphere& sphere,
                                                                       const QueryFilter& filter) const
{
    if (!isFinite(sphere.centre))
        throw std::invalid_argument("The sphere's centre is not finite");
    if (!(sphere.radius >= 0.0f) || !std::isfinite(sphere.radius))
        throw std::invalid_argument("The sphere's radius is negative or not finite");
    const Vector3 reach(sphere.radius, sphere.radius, sphere.radius);
    const float radiusSquared = sphere.radius * sphere.radius;
    std::vector<std::shared_ptr<PhysicalObject>> met;
    for (const std::int32_t e : candidates({sphere.centre - reach, sphere.centre + reach}, filter)) {
        const Entry& entry = entries_[e];
        const Vector3 centre = transposeTimes(entry.pose.rotation, sphere.centre - entry.pose.position);
        const std::vector<Collision::ConvexHull>& hulls = entry.hulls->hulls;
        for (std::size_t h = 0; h < hulls.size(); ++h) {
            const Collision::TriangleMesh* mesh = meshOf(entry, h);
            if (mesh ? Collision::sphereMeetsMesh(*mesh, centre, sphere.radius)
                     : Collision::squaredDistanceToHull(hulls[h], centre) <= radiusSquared) {
                met.push_back(entry.body);
                break;
            }
        }
    }
    return met;
}

std::vector<std::shared_ptr<PhysicalObject>> WorldQuery::overlapBox(const QueryBox& box,
                                                                    const QueryFilter& filter) const
{
    if (!isFinite(box.centre))
        throw std::invalid_argument("The box's centre is not finite");
    if (!isFinite(box.halfExtents) || box.halfExtents.x < 0.0f || box.halfExtents.y < 0.0f ||
        box.halfExtents.z < 0.0f)
        throw std::invalid_argument("The box's half extents are negative or not finite");
    const Math::Quaternion& q = box.orientation;
    const float largest =
        std::max(std::max(std::fabs(q.w), std::fabs(q.x)), std::max(std::fabs(q.y), std::fabs(q.z)));
    if (!(largest > 0.0f) || !std::isfinite(largest))
        throw std::invalid_argument("The box's orientation is zero or not finite");
    Math::Quaternion unit(q.w / largest, q.x / largest, q.y / largest, q.z / largest);
    const float length = std::sqrt(unit.w * unit.w + unit.x * unit.x + unit.y * unit.y + unit.z * unit.z);
    unit = {unit.w / length, unit.x / length, unit.y / length, unit.z / length};

    const Collision::HullPose boxPose{box.centre, Math::toMatrix3(unit)};
    const Collision::ConvexHull boxHull = Collision::boxHull(box.halfExtents);
    const Vector3 half = turnedHalfSize(boxPose.rotation, box.halfExtents);
    std::vector<std::shared_ptr<PhysicalObject>> met;
    for (const std::int32_t e : candidates({box.centre - half, box.centre + half}, filter)) {
        const Entry& entry = entries_[e];
        const std::vector<Collision::ConvexHull>& hulls = entry.hulls->hulls;
        for (std::size_t h = 0; h < hulls.size(); ++h) {
            const Collision::TriangleMesh* mesh = meshOf(entry, h);
            if (mesh ? Collision::hullMeetsMesh(boxHull, poseIn(entry.pose, boxPose), *mesh)
                     : Collision::hullsMeet(boxHull, boxPose, hulls[h], entry.pose)) {
                met.push_back(entry.body);
                break;
            }
        }
    }
    return met;
}

} // namespace Tolvane::Physics
