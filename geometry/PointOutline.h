// The convex outline of a few points lying in a plane, to ask whether another
// point of that plane lies within it.
#pragma once

#include "math/Vector3.h"

namespace Tolvane::Physics::Collision {

/// The convex outline of up to `most` points, seen along the normal of the
/// plane through origin spanned by the unit directions u and v (points off
/// the plane are seen where they fall on it). Add the points, then close.
class PointOutline {
  public:
    static constexpr int most = 32;
    /// A point in the plane's coordinates.
    struct Flat {
        float x;
        float y;
    };

    PointOutline(const Math::Vector3& origin, const Math::Vector3& u, const Math::Vector3& v);

    /// Adds a point; those past the first `most` are left out.
    void add(const Math::Vector3& point);
    /// Works out the outline of the points added.
    void close();
    /// Whether point lies within the outline, or no farther outside it than
    /// tolerance. False for every point when the points span no area.
    bool contains(const Math::Vector3& point, float tolerance) const;

  private:
    Flat flatten(const Math::Vector3& point) const;

    Math::Vector3 origin_;
    Math::Vector3 u_;
    Math::Vector3 v_;
    Flat points_[most];
    int count_ = 0;
    /// The outline's corners, anticlockwise, after close.
    Flat corners_[most];
    int cornerCount_ = 0;
};

} // namespace Tolvane::Physics::Collision
