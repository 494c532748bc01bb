// Contacts between a convex hull and a fixed triangle mesh: the triangles
// near the hull, each collided as a flat hull, their manifolds gathered by
// normal into a few.
#pragma once

#include "geometry/ContactManifold.h"
#include "geometry/ConvexHull.h"
#include "geometry/HullPose.h"
#include "geometry/TriangleMesh.h"

#include <cstdint>

namespace Tolvane::Physics::Collision {

/// The most manifolds a hull gets against one mesh: a block in a corner of a
/// room touches three planes, a fourth holds a slope's other side, and a
/// block over a curved stretch needs more than four points along one normal.
constexpr int maxMeshManifolds = 8;

/// What a hull and a mesh part had last step: the keys of their points (a
/// corner on a seam keeps the key it had), and their normals (a gathering
/// keeps the normal it had while its triangle is still met).
struct KeptKeys {
    static constexpr int most = maxMeshManifolds * maxManifoldPoints;
    std::uint64_t keys[most];
    int count = 0;
    /// Last step's manifold normals, from the hull to the mesh: a triangle
    /// still found with one of them gives its gathering that normal again.
    Math::Vector3 normals[maxMeshManifolds];
    int normalCount = 0;

    /// One bit for each key held, chosen by its top six bits: a key whose bit
    /// is clear is not held, without a search. The keys of mesh contacts mix
    /// in their triangle by a multiplication that spreads into those bits.
    std::uint64_t present = 0;

    void add(std::uint64_t key)
    {
        if (count < most) {
            keys[count++] = key;
            present |= presenceBit(key);
        }
    }
    void addNormal(const Math::Vector3& normal)
    {
        if (normalCount < maxMeshManifolds)
            normals[normalCount++] = normal;
    }
    static std::uint64_t presenceBit(std::uint64_t key) { return std::uint64_t{1} << (key >> 58); }
    bool holds(std::uint64_t key) const
    {
        if ((present & presenceBit(key)) == 0)
            return false;
        for (int k = 0; k < count; ++k)
            if (keys[k] == key)
                return true;
        return false;
    }
};

/// Collides hull a at poseA with mesh at meshPose (the mesh in the same
/// coordinates as the hulls of its body). Every triangle whose box meets the
/// hull's box grown by margin, and that the hull's centre lies in front of, is
/// collided as a flat hull with collideHulls. A triangle pushes along its own
/// normal, with only points over it, unless an edge pair across one of its
/// active edges (a rim or a ridge) separates them best: at flat seams and
/// valleys a body sees only the faces, so that it slides over them without
/// catching. The points' keys take in the triangle's index, so that each
/// keeps its own from step to step. The manifolds are gathered by normal
/// (within 5 degrees, last step's normals first) into at most
/// maxMeshManifolds, each of at most four points: a gathering of more than
/// four keeps the four that hold it best and, while there is room, gives the
/// others a second manifold; normals point from the hull to the mesh.
/// Returns how many were written to out. Never throws once warm (its scratch
/// is per thread).
int collideHullMesh(const ConvexHull& a, const HullPose& poseA, const TriangleMesh& mesh,
                    const HullPose& meshPose, float margin, const KeptKeys& kept,
                    ContactManifold (&out)[maxMeshManifolds]);

} // namespace Tolvane::Physics::Collision
