// Incremental convex hull with outside sets (quickhull's point order) and exact
// 64-bit orientation tests on grid points.
#include "geometry/HullTriangulation.h"

#include <utility>

namespace Tolvane::Physics::Collision {

namespace {

/// A triangle's plane, exactly: normal = (b - a) x (c - a), offset = normal . a.
/// With grid coordinates within ±2^19 the normal's components stay within 2^41
/// and every height below within 1.5 * 2^62.
struct ExactPlane {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t z = 0;
    std::int64_t offset = 0;
};

ExactPlane planeThrough(const GridPoint& a, const GridPoint& b, const GridPoint& c)
{
    const std::int64_t ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const std::int64_t vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    ExactPlane plane;
    plane.x = uy * vz - uz * vy;
    plane.y = uz * vx - ux * vz;
    plane.z = ux * vy - uy * vx;
    plane.offset = plane.x * a.x + plane.y * a.y + plane.z * a.z;
    return plane;
}

/// Positive when p lies above the plane, zero on it; six times a signed volume.
std::int64_t height(const ExactPlane& plane, const GridPoint& p)
{
    return plane.x * p.x + plane.y * p.y + plane.z * p.z - plane.offset;
}

/// A side of the visible region: from corner `from` to corner `to` as the
/// visible triangle runs it, with the hidden triangle beyond it.
struct HorizonSide {
    std::int32_t from = 0;
    std::int32_t to = 0;
    std::int32_t beyond = 0;
};

// The growing hull. Each point still outside sits in the outside set of one
// triangle it lies above (a linked list through nextOutside); each step takes a
// triangle's farthest outside point, removes every triangle that point lies
// above (a connected region, found by a walk over neighbours), closes the hole
// with a fan of triangles from the point to the region's rim, and hands the
// removed triangles' outside points to the first new triangle they lie above.
class HullGrower {
  public:
    explicit HullGrower(const std::vector<GridPoint>& points)
        : points_(points), nextOutside_(points.size(), -1), rimStamp_(points.size(), 0),
          rimSide_(points.size(), 0)
    {
    }

    bool run(const std::int32_t start[4], std::vector<HullTriangle>& out);

  private:
    std::int32_t addTriangle(std::int32_t a, std::int32_t b, std::int32_t c);
    void addToOutsideSet(std::int32_t triangle, std::int32_t point);
    bool step(std::int32_t triangle);
    bool orderRim(std::vector<std::int32_t>& order);

    const std::vector<GridPoint>& points_;
    std::vector<HullTriangle> triangles_;
    std::vector<ExactPlane> planes_;
    std::vector<std::int32_t> outsideHead_;
    std::vector<std::uint8_t> alive_;
    std::vector<std::int32_t> visibleStamp_;
    std::vector<std::int32_t> hiddenStamp_;
    std::vector<std::int32_t> freeSlots_;
    std::vector<std::int32_t> nextOutside_;
    std::vector<std::int32_t> rimStamp_;
    std::vector<std::int32_t> rimSide_;
    std::vector<std::int32_t> pending_;
    std::vector<std::int32_t> visible_;
    std::vector<std::int32_t> walk_;
    std::vector<HorizonSide> rim_;
    std::vector<std::int32_t> order_;
    std::vector<std::int32_t> fan_;
    std::int32_t stamp_ = 0;
};

std::int32_t HullGrower::addTriangle(std::int32_t a, std::int32_t b, std::int32_t c)
{
    std::int32_t index;
    if (!freeSlots_.empty()) {
        index = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        index = static_cast<std::int32_t>(triangles_.size());
        triangles_.emplace_back();
        planes_.emplace_back();
        outsideHead_.push_back(-1);
        alive_.push_back(0);
        visibleStamp_.push_back(0);
        hiddenStamp_.push_back(0);
    }
    HullTriangle& t = triangles_[index];
    t.corners[0] = a;
    t.corners[1] = b;
    t.corners[2] = c;
    planes_[index] = planeThrough(points_[a], points_[b], points_[c]);
    outsideHead_[index] = -1;
    alive_[index] = 1;
    return index;
}

void HullGrower::addToOutsideSet(std::int32_t triangle, std::int32_t point)
{
    nextOutside_[point] = outsideHead_[triangle];
    outsideHead_[triangle] = point;
}

// Chains the rim sides into one loop; each rim corner starts exactly one side
// when the visible region is a disc, which exact tests guarantee.
bool HullGrower::orderRim(std::vector<std::int32_t>& order)
{
    const std::int32_t count = static_cast<std::int32_t>(rim_.size());
    for (std::int32_t k = 0; k < count; ++k) {
        const std::int32_t from = rim_[k].from;
        if (rimStamp_[from] == stamp_)
            return false;
        rimStamp_[from] = stamp_;
        rimSide_[from] = k;
    }
    order.clear();
    std::int32_t k = 0;
    for (std::int32_t n = 0; n < count; ++n) {
        if (n > 0 && k == 0)
            return false;
        order.push_back(k);
        const std::int32_t to = rim_[k].to;
        if (rimStamp_[to] != stamp_)
            return false;
        k = rimSide_[to];
    }
    return k == 0;
}

bool HullGrower::step(std::int32_t triangle)
{
    std::int32_t eye = outsideHead_[triangle];
    std::int64_t farthest = height(planes_[triangle], points_[eye]);
    for (std::int32_t p = nextOutside_[eye]; p >= 0; p = nextOutside_[p]) {
        const std::int64_t h = height(planes_[triangle], points_[p]);
        if (h > farthest) {
            farthest = h;
            eye = p;
        }
    }

    ++stamp_;
    visible_.clear();
    rim_.clear();
    walk_.assign(1, triangle);
    visibleStamp_[triangle] = stamp_;
    while (!walk_.empty()) {
        const std::int32_t t = walk_.back();
        walk_.pop_back();
        visible_.push_back(t);
        for (int side = 0; side < 3; ++side) {
            const std::int32_t beyond = triangles_[t].neighbours[side];
            if (visibleStamp_[beyond] == stamp_)
                continue;
            if (hiddenStamp_[beyond] != stamp_ && height(planes_[beyond], points_[eye]) > 0) {
                visibleStamp_[beyond] = stamp_;
                walk_.push_back(beyond);
            } else {
                hiddenStamp_[beyond] = stamp_;
                rim_.push_back({triangles_[t].corners[side], triangles_[t].corners[(side + 1) % 3], beyond});
            }
        }
    }

    if (!orderRim(order_))
        return false;

    fan_.clear();
    for (std::int32_t k : order_) {
        const HorizonSide side = rim_[k];
        const std::int32_t added = addTriangle(side.from, side.to, eye);
        triangles_[added].neighbours[0] = side.beyond;
        HullTriangle& hidden = triangles_[side.beyond];
        for (int j = 0; j < 3; ++j)
            if (hidden.corners[j] == side.to && hidden.corners[(j + 1) % 3] == side.from)
                hidden.neighbours[j] = added;
        fan_.push_back(added);
    }
    const std::size_t fanSize = fan_.size();
    for (std::size_t k = 0; k < fanSize; ++k) {
        HullTriangle& t = triangles_[fan_[k]];
        t.neighbours[1] = fan_[(k + 1) % fanSize];
        t.neighbours[2] = fan_[(k + fanSize - 1) % fanSize];
    }

    for (std::int32_t t : visible_) {
        std::int32_t p = outsideHead_[t];
        while (p >= 0) {
            const std::int32_t following = nextOutside_[p];
            if (p != eye) {
                for (std::int32_t f : fan_) {
                    if (height(planes_[f], points_[p]) > 0) {
                        addToOutsideSet(f, p);
                        break;
                    }
                }
            }
            p = following;
        }
        outsideHead_[t] = -1;
        alive_[t] = 0;
        freeSlots_.push_back(t);
    }
    for (std::int32_t f : fan_)
        if (outsideHead_[f] >= 0)
            pending_.push_back(f);
    return true;
}

bool HullGrower::run(const std::int32_t start[4], std::vector<HullTriangle>& out)
{
    std::int32_t s[4] = {start[0], start[1], start[2], start[3]};
    const std::int64_t volume = orientation(points_[s[0]], points_[s[1]], points_[s[2]], points_[s[3]]);
    if (volume == 0)
        return false;
    // The first face must have the fourth point below it.
    if (volume > 0)
        std::swap(s[1], s[2]);
    const std::int32_t faces[4][3] = {
        {s[0], s[1], s[2]}, {s[0], s[3], s[1]}, {s[1], s[3], s[2]}, {s[2], s[3], s[0]}};
    for (const auto& f : faces)
        addTriangle(f[0], f[1], f[2]);
    for (int t = 0; t < 4; ++t)
        for (int side = 0; side < 3; ++side) {
            const std::int32_t from = triangles_[t].corners[side];
            const std::int32_t to = triangles_[t].corners[(side + 1) % 3];
            for (int u = 0; u < 4; ++u)
                for (int j = 0; j < 3; ++j)
                    if (triangles_[u].corners[j] == to && triangles_[u].corners[(j + 1) % 3] == from)
                        triangles_[t].neighbours[side] = u;
        }

    const std::int32_t count = static_cast<std::int32_t>(points_.size());
    for (std::int32_t p = 0; p < count; ++p) {
        if (p == s[0] || p == s[1] || p == s[2] || p == s[3])
            continue;
        for (std::int32_t t = 0; t < 4; ++t) {
            if (height(planes_[t], points_[p]) > 0) {
                addToOutsideSet(t, p);
                break;
            }
        }
    }
    for (std::int32_t t = 0; t < 4; ++t)
        if (outsideHead_[t] >= 0)
            pending_.push_back(t);

    // Each step takes its point out of every outside set for good, so there are
    // at most as many steps as points.
    std::int32_t steps = 0;
    while (!pending_.empty()) {
        const std::int32_t t = pending_.back();
        pending_.pop_back();
        if (!alive_[t] || outsideHead_[t] < 0)
            continue;
        if (++steps > count || !step(t))
            return false;
    }

    std::vector<std::int32_t> newIndex(triangles_.size(), -1);
    std::int32_t kept = 0;
    for (std::size_t t = 0; t < triangles_.size(); ++t)
        if (alive_[t])
            newIndex[t] = kept++;
    out.clear();
    out.reserve(static_cast<std::size_t>(kept));
    for (std::size_t t = 0; t < triangles_.size(); ++t) {
        if (!alive_[t])
            continue;
        HullTriangle copy = triangles_[t];
        for (std::int32_t& n : copy.neighbours) {
            n = newIndex[n];
            if (n < 0)
                return false;
        }
        out.push_back(copy);
    }
    return true;
}

} // namespace

std::int64_t orientation(const GridPoint& a, const GridPoint& b, const GridPoint& c, const GridPoint& d)
{
    return height(planeThrough(a, b, c), d);
}

bool triangulateHull(const std::vector<GridPoint>& points, const std::int32_t start[4],
                     std::vector<HullTriangle>& triangles)
{
    triangles.clear();
    HullGrower grower(points);
    if (grower.run(start, triangles))
        return true;
    triangles.clear();
    return false;
}

} // namespace Tolvane::Physics::Collision
