// The separating-axis test between two convex hulls, with the pair's previous
// axis kept from step to step.
#pragma once

#include "geometry/ConvexHull.h"
#include "geometry/HullPose.h"
#include "math/Vector3.h"

#include <cstdint>

namespace Tolvane::Physics::Collision {

/// What an axis of the separating-axis test is built from.
enum class AxisKind : std::uint8_t { None, FaceA, FaceB, EdgePair };

/// An axis of the separating-axis test and the hulls' separation along it.
struct SeparatingAxis {
    AxisKind kind = AxisKind::None;
    /// The face of A (FaceA) or the edge of A (EdgePair); -1 otherwise.
    std::int32_t indexA = -1;
    /// The face of B (FaceB) or the edge of B (EdgePair); -1 otherwise.
    std::int32_t indexB = -1;
    /// Signed distance along the axis in model units: positive apart, negative
    /// overlapping by that depth.
    float separation = 0.0f;
};

/// The axis a pair of hulls ended with last time. One per pair of hulls (the
/// indices belong to those two hulls), starting empty; the test reads and
/// updates it.
struct SeparatingAxisCache {
    AxisKind kind = AxisKind::None;
    std::int32_t indexA = -1;
    std::int32_t indexB = -1;
    /// B's pose in A's frame when the axis was last chosen by a full search:
    /// while the hulls stay this close to it, the axis is kept without one.
    RelativePose searchedPose;
    bool searched = false;
};

/// The separating-axis test of hulls a and b at their poses (Ericson, Real-Time
/// Collision Detection, 5.2.1; edge pairs pruned on the normal sphere as in
/// Gregorius, "The Separating Axis Test between Convex Polyhedra", GDC 2013).
/// Returns at once with the first axis that separates them by more than margin,
/// trying the cached axis first. Otherwise returns the least overlapping axis,
/// keeping the cached face or edge pair and its kind, and a face axis over an
/// edge pair, unless the other is better by the switch tolerance of
/// HullTolerances.h. Stores the returned axis in cache. While B has moved
/// against A by less than coherentDrift since the axis was chosen, the cached
/// axis is kept without searching again. A hull with a box (ConvexHull::box)
/// is projected by its half extents, and its edges are taken by their three
/// directions: nine edge axes for two boxes, three per edge of the other hull
/// when A is a box. Never throws.
SeparatingAxis findSeparatingAxis(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b,
                                  const HullPose& poseB, float margin, SeparatingAxisCache& cache);

/// The same test with B's pose given in A's frame.
SeparatingAxis findSeparatingAxis(const ConvexHull& a, const ConvexHull& b, const RelativePose& bInA,
                                  float margin, SeparatingAxisCache& cache);

/// The unit axis across edge edgeA of a and edge edgeB of b, in A's frame and
/// pointing out of A on A's side of the edge; false when the edges are parallel.
bool edgePairAxis(const ConvexHull& a, std::int32_t edgeA, const ConvexHull& b, std::int32_t edgeB,
                  const RelativePose& bInA, Math::Vector3& axis);

} // namespace Tolvane::Physics::Collision
