// Contact manifolds between two convex hulls: up to four points with one
// normal, each named by the features that make it.
#pragma once

#include "geometry/ConvexHull.h"
#include "geometry/HullPose.h"
#include "geometry/HullSeparation.h"
#include "geometry/HullTolerances.h"
#include "math/Vector3.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Tolvane::Physics::Collision {

/// One contact point of a manifold.
struct ContactPoint {
    /// World position midway between the two hulls' surfaces.
    Math::Vector3 position;
    /// Distance between the surfaces along the manifold's normal, model units:
    /// negative where they overlap.
    float separation = 0.0f;
    /// The features that make the point (see contactKey below): the same
    /// contact keeps its key from step to step while the bodies move a little.
    std::uint64_t key = 0;
};

/// The contact between two hulls A and B.
struct ContactManifold {
    /// Unit world normal pointing from A to B, shared by every point.
    Math::Vector3 normal;
    ContactPoint points[maxManifoldPoints];
    int pointCount = 0;
    /// The axis the manifold was built on.
    SeparatingAxis axis;
};

/// What made a point of a face contact.
enum class ContactFeature : std::uint8_t {
    /// A corner of the incident face inside the reference face.
    IncidentVertex = 0,
    /// An edge of the incident face cut by a side of the reference face.
    IncidentEdgeOnSide = 1,
    /// Two sides of the reference face meeting inside the incident face.
    ReferenceCorner = 2,
};

/// The key layout: bits 62-63 the axis kind (FaceA: A holds the reference face;
/// FaceB: B does; EdgePair). For face contacts bits 60-61 the ContactFeature,
/// bits 42-59 the reference face, bits 21-41 and 0-20 the two features: the
/// incident vertex (and 0), the incident edge and the reference side's edge, or
/// the two reference sides' edges in clipping order. For an edge pair bits
/// 31-61 A's edge and 0-30 B's edge. Indices wider than their field wrap, which
/// only hulls far beyond 65535 vertices could reach.
constexpr std::uint64_t contactKey(AxisKind kind, ContactFeature feature, std::int32_t referenceFace,
                                   std::int32_t first, std::int32_t second)
{
    return static_cast<std::uint64_t>(kind) << 62 | static_cast<std::uint64_t>(feature) << 60 |
           (static_cast<std::uint64_t>(referenceFace) & 0x3FFFFu) << 42 |
           (static_cast<std::uint64_t>(first) & 0x1FFFFFu) << 21 |
           (static_cast<std::uint64_t>(second) & 0x1FFFFFu);
}
constexpr std::uint64_t edgePairKey(std::int32_t edgeA, std::int32_t edgeB)
{
    return static_cast<std::uint64_t>(AxisKind::EdgePair) << 62 |
           (static_cast<std::uint64_t>(edgeA) & 0x7FFFFFFFu) << 31 |
           (static_cast<std::uint64_t>(edgeB) & 0x7FFFFFFFu);
}

/// While one lives, face contacts on its thread with the given hull as the
/// incident one turn its face into the reference frame once and take it
/// again while the face and the pose stay the same: for a caller colliding
/// one hull with many faces in one frame, such as the triangles of a mesh.
/// That hull must not change meanwhile. One at a time per thread.
class IncidentFaceReuse {
  public:
    explicit IncidentFaceReuse(const ConvexHull& incident);
    ~IncidentFaceReuse();
    IncidentFaceReuse(const IncidentFaceReuse&) = delete;
    IncidentFaceReuse& operator=(const IncidentFaceReuse&) = delete;
};

/// Collides hull a at poseA with hull b at poseB. Finds the axis with
/// findSeparatingAxis (updating cache); when the hulls are apart by more than
/// margin, returns false with no points. For a face axis the incident face is
/// the other hull's face most opposed to the reference face; it is clipped to
/// the reference face's sides (Sutherland-Hodgman), its points no more than
/// margin above the reference plane are kept, and more than four are reduced
/// to the deepest, the one farthest from it and the two that span the largest
/// area. For an edge pair one point midway between the edges' closest points.
/// Returns whether out holds any points. Never throws.
bool collideHulls(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const HullPose& poseB,
                  float margin, SeparatingAxisCache& cache, ContactManifold& out);

/// The manifold of the axis already in out.axis (found by findSeparatingAxis
/// for these hulls at these poses), as collideHulls builds it: for a caller
/// that looks at the axis before it wants the points.
bool collideOnAxis(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const HullPose& poseB,
                   float margin, ContactManifold& out);

/// Of more than four points on a plane with the given normal, the four that
/// hold the contact best into chosen: the deepest, the point farthest from
/// it, the point making the largest triangle with those two, and the point
/// adding the most area outside that triangle (none when every other point
/// lies inside it). Ties go to the point met first. Returns how many it chose.
std::size_t reduceToFour(const std::vector<ContactPoint>& points, const Math::Vector3& normal,
                         ContactPoint chosen[4]);
/// reduceToFour led by points[first] instead of the deepest point.
std::size_t reduceToFourFrom(const std::vector<ContactPoint>& points, const Math::Vector3& normal,
                             std::size_t first, ContactPoint chosen[4]);

/// The contact of hull a against face faceOfB of hull b as the reference
/// face, whatever axis separates them best: a's face most opposed to it is
/// clipped to its sides, as for a face axis. For contacts where only that face
/// may push, such as a triangle of a mesh whose edges there are flat or
/// hollow. Returns whether out holds any points. Never throws.
bool collideWithFace(const ConvexHull& a, const HullPose& poseA, const ConvexHull& b, const HullPose& poseB,
                     std::int32_t faceOfB, float margin, ContactManifold& out);

/// The same, with A's pose in B's frame (relativePose(poseB, poseA)) given:
/// for a caller that meets many faces of one posed hull b, such as the
/// triangles of a mesh, and turns a into b's frame once for all of them.
bool collideWithFace(const ConvexHull& a, const RelativePose& aInB, const ConvexHull& b,
                     const HullPose& poseB, std::int32_t faceOfB, float margin, ContactManifold& out);

} // namespace Tolvane::Physics::Collision
