// Andrew's monotone chain over at most a few dozen points: sorted once, each
// half of the outline kept turning left.
#include "geometry/PointOutline.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

PointOutline::PointOutline(const Vector3& origin, const Vector3& u, const Vector3& v)
    : origin_(origin), u_(u), v_(v)
{
}

PointOutline::Flat PointOutline::flatten(const Vector3& point) const
{
    const Vector3 d = point - origin_;
    return {dot(d, u_), dot(d, v_)};
}

void PointOutline::add(const Vector3& point)
{
    if (count_ < most)
        points_[count_++] = flatten(point);
}

namespace {

/// Twice the signed area of o, a, b: positive when they turn left.
float turn(const PointOutline::Flat& o, const PointOutline::Flat& a, const PointOutline::Flat& b);

} // namespace

void PointOutline::close()
{
    std::sort(points_, points_ + count_,
              [](const Flat& a, const Flat& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
    // The lower half left to right, then the upper half back, each corner
    // dropped again when the next point does not turn left from it; the
    // chain ends on its first point, which is not kept twice.
    Flat chain[2 * most];
    int length = 0;
    for (int i = 0; i < count_; ++i) {
        while (length >= 2 && turn(chain[length - 2], chain[length - 1], points_[i]) <= 0.0f)
            --length;
        chain[length++] = points_[i];
    }
    const int lower = length + 1;
    for (int i = count_ - 2; i >= 0; --i) {
        while (length >= lower && turn(chain[length - 2], chain[length - 1], points_[i]) <= 0.0f)
            --length;
        chain[length++] = points_[i];
    }
    cornerCount_ = std::max(0, length - 1);
    std::copy(chain, chain + cornerCount_, corners_);
}

bool PointOutline::contains(const Vector3& point, float tolerance) const
{
    if (cornerCount_ < 3)
        return false;
    const Flat p = flatten(point);
    for (int k = 0; k < cornerCount_; ++k) {
        const Flat& from = corners_[k];
        const Flat& to = corners_[(k + 1) % cornerCount_];
        const float side = std::sqrt((to.x - from.x) * (to.x - from.x) + (to.y - from.y) * (to.y - from.y));
        // turn is the distance beyond the side times its length.
        if (turn(from, to, p) < -tolerance * side)
            return false;
    }
    return true;
}

namespace {

float turn(const PointOutline::Flat& o, const PointOutline::Flat& a, const PointOutline::Flat& b)
{
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

} // namespace

} // namespace Tolvane::Physics::Collision
