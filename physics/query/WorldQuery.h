// A read-only view of the bodies of some collision sets at their current poses,
// with a tree over their world boxes, that answers ray casts and overlap
// queries against the shapes the contact solver collides.
#pragma once

#include "geometry/BodyHulls.h"
#include "geometry/HullPose.h"
#include "geometry/RayCasts.h"
#include "geometry/TriangleTree.h"
#include "geometry/WorldBox.h"
#include "physics/body/CollisionSet.h"
#include "physics/body/PhysicalObject.h"
#include "physics/query/QueryFilter.h"
#include "physics/query/QueryShapes.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace Tolvane::Physics {

/// Bodies are met where the contact solver would meet them: each part of a
/// body's model as its convex hull (a solid), except the concave parts of a
/// fixed or kinematic body, met by their triangles (a surface, from either
/// side), as bodies that contacts never move collide by them. A body without
/// a model, without hulls or with a pose that is not finite is never met.
///
/// update() brings the view up to date with the sets: the bodies added or
/// removed, and every body moved, turned, fixed, freed, made kinematic or not,
/// or given another model since the last update, by a step or by code. The
/// queries read the view as update() left it and change nothing, so any
/// number of threads may query one view at once, but not while it is updated.
///
/// The queries reject a ray, sphere or box that is not finite, that has a zero
/// direction or orientation, or a negative size, with std::invalid_argument.
class WorldQuery {
  public:
    /// Takes in every body of sets (a body in several sets, or listed twice,
    /// counts once), in the order of the sets and of their bodies. Builds the
    /// tree again when any body came, went or moved; otherwise only compares
    /// each body's pose and model with the ones it has. When it throws (a
    /// model whose hulls cannot be built, memory running out) the view is
    /// left empty, so that no query reads a view half brought up to date.
    void update(const std::vector<std::shared_ptr<CollisionSet>>& sets);

    /// The nearest point within the ray's reach of a body that filter passes.
    /// A ray that starts inside a body's hull meets it at distance 0, at the
    /// ray's origin, with the normal opposite to the ray's direction. Of two
    /// bodies met at the very same distance, the one found first is reported.
    std::optional<RayHit> castRay(const Ray& ray, const QueryFilter& filter = {}) const;

    /// Every body filter passes that the ray meets within its reach, each
    /// once at the nearest point it meets it, nearest first (equal distances
    /// in the order of the sets).
    std::vector<RayHit> castRayAll(const Ray& ray, const QueryFilter& filter = {}) const;

    /// Every body filter passes that the sphere meets (touching counts), in
    /// the order of the sets. A hull is a solid: a sphere inside it meets it.
    std::vector<std::shared_ptr<PhysicalObject>> overlapSphere(const QuerySphere& sphere,
                                                               const QueryFilter& filter = {}) const;

    /// Every body filter passes that the box meets (touching counts), in the
    /// order of the sets, by the separating-axis test of the box against each
    /// hull (or each triangle of a concave part met by its triangles).
    std::vector<std::shared_ptr<PhysicalObject>> overlapBox(const QueryBox& box,
                                                            const QueryFilter& filter = {}) const;

    /// The bodies taken in by the last update.
    std::size_t bodyCount() const { return entries_.size(); }

    /// Lets go of every body.
    void clear();

  private:
    /// One body as the view last saw it. The model is held so that its hulls
    /// outlive a change of the body's model until the next update.
    struct Entry {
        std::shared_ptr<PhysicalObject> body;
        std::shared_ptr<PhysicalModel> model;
        const Collision::BodyHulls* hulls = nullptr;
        Math::Vector3 position;
        Math::Quaternion orientation;
        bool fixed = false;
        bool kinematic = false;
        Collision::HullPose pose;
    };

    /// update() without its clean-up.
    void refresh(const std::vector<std::shared_ptr<CollisionSet>>& sets);
    /// Reads the body's pose, model and hulls into entry.
    static void look(Entry& entry);
    static bool moved(const Entry& entry);
    /// The mesh hull h of the entry is met by (the concave parts of fixed and
    /// kinematic bodies), or null.
    static const Collision::TriangleMesh* meshOf(const Entry& entry, std::size_t h);
    void buildTree();
    /// The nearest point where ray (world) meets the entry's shapes within limit.
    static std::optional<Collision::ShapeRayHit> castAt(const Entry& entry, const Collision::RayLine& ray,
                                                        float limit);
    static RayHit worldHit(const Entry& entry, const Collision::RayLine& ray,
                           const Collision::ShapeRayHit& hit);
    /// The entries whose tree boxes meet box and that filter passes, in order.
    std::vector<std::int32_t> candidates(const WorldBox& box, const QueryFilter& filter) const;

    /// Every body of the sets as last listed, duplicates and nulls included,
    /// to tell cheaply that the sets still hold the same bodies; each is held
    /// by an entry, so no address can be reused by another body meanwhile.
    std::vector<const PhysicalObject*> listed_;
    std::vector<const PhysicalObject*> listing_;
    std::vector<Entry> entries_;
    /// The entries in the tree (those with hulls and a finite box), by the
    /// tree's item numbers.
    std::vector<std::int32_t> treeEntries_;
    std::vector<WorldBox> treeBoxes_;
    Collision::TriangleTree tree_;
};

} // namespace Tolvane::Physics
