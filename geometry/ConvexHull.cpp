// The hull builder: scaling and snapping, the first tetrahedron or the flat
// outline, and the hull's faces, edges, bounds and mass.
#include "geometry/ConvexHull.h"

#include "geometry/HullFaceMerge.h"
#include "geometry/HullTolerances.h"
#include "geometry/HullTriangulation.h"
#include "geometry/PointScaling.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace Tolvane::Physics::Collision {

namespace {

using Math::Vector3;
using Loops = std::vector<std::vector<std::int32_t>>;

/// The input points and their working copies: scaled to about unit size, and
/// snapped to the integer grid on which every decision is exact.
struct PointSet {
    const std::vector<Vector3>& model;
    PointScaling frame;
    std::vector<Vector3> scaled;
    std::vector<GridPoint> grid;
    /// hullPlaneTolerance in scaled units.
    float tolerance = 0.0f;
};

bool usable(const Vector3& p)
{
    return std::fabs(p.x) <= largestHullCoordinate && std::fabs(p.y) <= largestHullCoordinate &&
           std::fabs(p.z) <= largestHullCoordinate;
}

std::int32_t snapCoordinate(float scaled)
{
    constexpr float limit = static_cast<float>(1 << hullGridBits);
    const float g = std::nearbyint(std::ldexp(scaled, hullGridBits));
    return static_cast<std::int32_t>(std::clamp(g, -limit, limit));
}

std::int64_t gridComponent(const GridPoint& g, int axis)
{
    return axis == 0 ? g.x : (axis == 1 ? g.y : g.z);
}

bool gridCollinear(const GridPoint& a, const GridPoint& b, const GridPoint& c)
{
    const std::int64_t ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const std::int64_t vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    return uy * vz - uz * vy == 0 && uz * vx - ux * vz == 0 && ux * vy - uy * vx == 0;
}

/// v scaled to unit length, or (0,0,0) when it has no length at all (Vector3's
/// normalize refuses the short but usable vectors of small faces).
Vector3 unitOrZero(const Vector3& v)
{
    const float squared = v.squaredLength();
    if (!(squared > 0.0f))
        return {};
    return v / std::sqrt(squared);
}

enum class StartKind { None, Flat, Solid };

struct Start {
    StartKind kind = StartKind::None;
    std::int32_t index[4]{0, 0, 0, 0};
    /// Normal of the plane through the first three points (scaled frame).
    Vector3 planeNormal;
};

// The two farthest apart of the six axis-extreme points, the point farthest
// from their line and the point farthest from the plane of the three. The
// distances decide (against the tolerance) whether the set is a point, a line,
// flat or solid; among points at such distances the farthest one that is also
// exactly off the line or plane on the grid is taken, so the exact hull starts
// from a tetrahedron that really has volume.
Start chooseStart(const PointSet& set)
{
    const std::vector<Vector3>& s = set.scaled;
    const std::int32_t count = static_cast<std::int32_t>(s.size());
    std::int32_t extremes[6] = {0, 0, 0, 0, 0, 0};
    for (std::int32_t i = 1; i < count; ++i) {
        const Vector3& p = s[i];
        if (p.x < s[extremes[0]].x)
            extremes[0] = i;
        if (p.x > s[extremes[1]].x)
            extremes[1] = i;
        if (p.y < s[extremes[2]].y)
            extremes[2] = i;
        if (p.y > s[extremes[3]].y)
            extremes[3] = i;
        if (p.z < s[extremes[4]].z)
            extremes[4] = i;
        if (p.z > s[extremes[5]].z)
            extremes[5] = i;
    }
    Start start;
    float widest = -1.0f;
    for (int a = 0; a < 6; ++a)
        for (int b = a + 1; b < 6; ++b) {
            const float d = (s[extremes[a]] - s[extremes[b]]).squaredLength();
            if (d > widest) {
                widest = d;
                start.index[0] = extremes[a];
                start.index[1] = extremes[b];
            }
        }
    const float tolerance = set.tolerance;
    if (!(widest > tolerance * tolerance))
        return start;

    const std::int32_t i0 = start.index[0];
    const std::int32_t i1 = start.index[1];
    const Vector3 p0 = s[i0];
    const Vector3 axis = unitOrZero(s[i1] - p0);
    float farthestFromLine = 0.0f;
    float chosenDistance = -1.0f;
    std::int32_t i2 = -1;
    for (std::int32_t i = 0; i < count; ++i) {
        const float d = cross(axis, s[i] - p0).squaredLength();
        farthestFromLine = std::max(farthestFromLine, d);
        if (d > chosenDistance && !gridCollinear(set.grid[i0], set.grid[i1], set.grid[i])) {
            chosenDistance = d;
            i2 = i;
        }
    }
    if (!(farthestFromLine > tolerance * tolerance) || i2 < 0)
        return start;
    start.index[2] = i2;

    const Vector3 normal = unitOrZero(cross(s[i1] - p0, s[i2] - p0));
    start.planeNormal = normal;
    float farthestFromPlane = 0.0f;
    float chosenHeight = -1.0f;
    std::int32_t i3 = -1;
    for (std::int32_t i = 0; i < count; ++i) {
        const float h = std::fabs(dot(normal, s[i] - p0));
        farthestFromPlane = std::max(farthestFromPlane, h);
        if (h > chosenHeight && orientation(set.grid[i0], set.grid[i1], set.grid[i2], set.grid[i]) != 0) {
            chosenHeight = h;
            i3 = i;
        }
    }
    if (!(farthestFromPlane > tolerance) || i3 < 0) {
        start.kind = StartKind::Flat;
        return start;
    }
    start.index[3] = i3;
    start.kind = StartKind::Solid;
    return start;
}

// The outline of a flat set: the points projected along the plane normal's
// largest axis k onto the other two, and their exact convex hull on the grid
// (Andrew's monotone chain). The projection keeps the turning sense seen from
// +k, so the loop is counter-clockwise about the normal whose k part is positive.
std::vector<std::int32_t> flatOutline(const PointSet& set, const Vector3& normal)
{
    const float n[3] = {std::fabs(normal.x), std::fabs(normal.y), std::fabs(normal.z)};
    const int k = n[0] >= n[1] && n[0] >= n[2] ? 0 : (n[1] >= n[2] ? 1 : 2);
    const int u = (k + 1) % 3;
    const int v = (k + 2) % 3;
    const std::vector<GridPoint>& g = set.grid;
    std::vector<std::int32_t> order(g.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        const std::int64_t au = gridComponent(g[a], u), bu = gridComponent(g[b], u);
        if (au != bu)
            return au < bu;
        const std::int64_t av = gridComponent(g[a], v), bv = gridComponent(g[b], v);
        return av != bv ? av < bv : a < b;
    });
    auto turn = [&](std::int32_t o, std::int32_t a, std::int32_t b) {
        const std::int64_t ou = gridComponent(g[o], u), ov = gridComponent(g[o], v);
        return (gridComponent(g[a], u) - ou) * (gridComponent(g[b], v) - ov) -
               (gridComponent(g[a], v) - ov) * (gridComponent(g[b], u) - ou);
    };
    std::vector<std::int32_t> distinct;
    for (std::int32_t i : order)
        if (distinct.empty() || gridComponent(g[distinct.back()], u) != gridComponent(g[i], u) ||
            gridComponent(g[distinct.back()], v) != gridComponent(g[i], v))
            distinct.push_back(i);
    if (distinct.size() < 3)
        return {};
    std::vector<std::int32_t> chain;
    for (int pass = 0; pass < 2; ++pass) {
        const std::size_t floor = chain.size();
        for (std::size_t j = 0; j < distinct.size(); ++j) {
            const std::int32_t p = pass == 0 ? distinct[j] : distinct[distinct.size() - 1 - j];
            while (chain.size() >= floor + 2 && turn(chain[chain.size() - 2], chain.back(), p) <= 0)
                chain.pop_back();
            chain.push_back(p);
        }
        chain.pop_back();
    }
    if (chain.size() < 3)
        return {};
    return chain;
}

// Drops outline corners that lie within tolerance of a straight run of the
// outline, as the solid hull drops corners on the line where two faces meet.
// Starting from the longest side not yet in a run, a run takes in the corners
// after and before it while they stay within tolerance of that side's line;
// the corners inside a run go. The line stays the seed side's, so no dropped
// corner ends more than about twice the tolerance outside the outline, and any
// subset of a convex polygon's corners is still convex.
std::vector<std::int32_t> straightenOutline(const PointSet& set, const std::vector<std::int32_t>& outline)
{
    const std::size_t n = outline.size();
    auto corner = [&](std::size_t i) -> const Vector3& { return set.scaled[outline[i % n]]; };
    std::vector<float> lengths(n);
    for (std::size_t i = 0; i < n; ++i)
        lengths[i] = (corner(i + 1) - corner(i)).squaredLength();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return lengths[a] != lengths[b] ? lengths[a] > lengths[b] : a < b;
    });
    std::vector<std::uint8_t> sideInRun(n, 0);
    std::vector<std::uint8_t> dropped(n, 0);
    std::size_t remaining = n;
    for (std::size_t seed : order) {
        if (sideInRun[seed])
            continue;
        sideInRun[seed] = 1;
        const Vector3 origin = corner(seed);
        const Vector3 direction = unitOrZero(corner(seed + 1) - origin);
        auto offLine = [&](std::size_t i) {
            return cross(direction, corner(i) - origin).length() > set.tolerance;
        };
        std::size_t end = (seed + 1) % n;
        while (remaining > 3 && !sideInRun[end] && !offLine(end + 1)) {
            sideInRun[end] = 1;
            dropped[end] = 1;
            --remaining;
            end = (end + 1) % n;
        }
        std::size_t start = seed;
        while (remaining > 3 && !sideInRun[(start + n - 1) % n] && !offLine(start + n - 1)) {
            start = (start + n - 1) % n;
            sideInRun[start] = 1;
            dropped[(start + 1) % n] = 1;
            --remaining;
        }
    }
    std::vector<std::int32_t> kept;
    for (std::size_t i = 0; i < n; ++i)
        if (!dropped[i])
            kept.push_back(outline[i]);
    return kept;
}

/// The exact normal of a loop from its grid corners (Newell's sums in 64-bit
/// integers: with at most 2^16 corners of 20-bit differences they cannot overflow).
Vector3 gridNormal(const PointSet& set, const std::vector<std::int32_t>& loop)
{
    std::int64_t x = 0, y = 0, z = 0;
    const std::size_t size = loop.size();
    for (std::size_t i = 0; i < size; ++i) {
        const GridPoint& p = set.grid[loop[i]];
        const GridPoint& q = set.grid[loop[(i + 1) % size]];
        x += static_cast<std::int64_t>(p.y - q.y) * (p.z + q.z);
        y += static_cast<std::int64_t>(p.z - q.z) * (p.x + q.x);
        z += static_cast<std::int64_t>(p.x - q.x) * (p.y + q.y);
    }
    return unitOrZero({static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)});
}

// A polygon's normal from its scaled corners is accurate to float rounding; a
// triangle's, which may be a sliver a few grid steps wide, is taken exactly
// from the grid instead.
Vector3 faceNormal(const PointSet& set, const std::vector<std::int32_t>& loop)
{
    if (loop.size() > 3) {
        const Vector3 n = newellNormal(set.scaled, loop.data(), loop.size());
        if (n.length() > smallestFloatFaceArea)
            return unitOrZero(n);
    }
    return gridNormal(set, loop);
}

void placeBounds(const PointSet& set, const std::vector<std::int32_t>& original, ConvexHull& hull)
{
    hull.boxMin = hull.boxMax = hull.vertices[0];
    for (const Vector3& v : hull.vertices) {
        hull.boxMin = {std::min(hull.boxMin.x, v.x), std::min(hull.boxMin.y, v.y),
                       std::min(hull.boxMin.z, v.z)};
        hull.boxMax = {std::max(hull.boxMax.x, v.x), std::max(hull.boxMax.y, v.y),
                       std::max(hull.boxMax.z, v.z)};
    }
    hull.sphereCentre = hull.boxMin * 0.5f + hull.boxMax * 0.5f;
    const Vector3 scaledCentre = set.frame.toScaled(hull.sphereCentre);
    float farthest = 0.0f;
    for (std::int32_t i : original)
        farthest = std::max(farthest, (set.scaled[i] - scaledCentre).squaredLength());
    hull.sphereRadius = set.frame.toModel(std::sqrt(farthest), 1) * (1.0f + sphereRadiusAllowance);
}

void placeMass(const PointSet& set, ConvexHull& hull)
{
    const MassProperties scaled = hullMassProperties(hull, set.frame);
    hull.mass.volume = set.frame.toModel(scaled.volume, 3);
    hull.mass.centroid = set.frame.toModelPoint(scaled.centroid);
    for (int c = 0; c < 3; ++c)
        hull.mass.inertia.column[c] = set.frame.toModelVector(scaled.inertia.column[c], 5);
}

/// Takes the points the loops use into the hull, in index order: newIndex
/// maps a point to its hull vertex; returns the point of each hull vertex.
std::vector<std::int32_t> takeCorners(const PointSet& set, const Loops& loops,
                                      std::vector<std::int32_t>& newIndex, ConvexHull& hull)
{
    constexpr std::int32_t used = -2;
    newIndex.assign(set.model.size(), -1);
    for (const auto& loop : loops)
        for (std::int32_t c : loop)
            newIndex[c] = used;
    std::vector<std::int32_t> original;
    for (std::size_t i = 0; i < newIndex.size(); ++i) {
        if (newIndex[i] != used)
            continue;
        newIndex[i] = static_cast<std::int32_t>(original.size());
        original.push_back(static_cast<std::int32_t>(i));
        hull.vertices.push_back(set.model[i]);
    }
    return original;
}

/// One face per loop with its normal and plane; false when a loop has fewer
/// than three corners, passes a corner twice or has no normal. A flat hull's
/// two faces get exactly opposite planes through the mean of the outline's
/// corners.
bool addFaces(const PointSet& set, const Loops& loops, bool flat, const std::vector<std::int32_t>& newIndex,
              ConvexHull& hull)
{
    std::vector<std::int32_t> inFace(hull.vertices.size(), -1);
    for (std::size_t f = 0; f < loops.size(); ++f) {
        const std::vector<std::int32_t>& loop = loops[f];
        if (loop.size() < 3)
            return false;
        HullFace face;
        face.firstLoop = static_cast<std::int32_t>(hull.loopVertices.size());
        face.loopSize = static_cast<std::int32_t>(loop.size());
        face.normal = flat && f == 1 ? -hull.faces[0].normal : faceNormal(set, loop);
        if (face.normal.squaredLength() == 0.0f)
            return false;
        float lowest = 0.0f, highest = 0.0f, sum = 0.0f;
        for (std::size_t k = 0; k < loop.size(); ++k) {
            const std::int32_t v = newIndex[loop[k]];
            if (inFace[v] == static_cast<std::int32_t>(f))
                return false;
            inFace[v] = static_cast<std::int32_t>(f);
            hull.loopVertices.push_back(v);
            const float d = dot(face.normal, hull.vertices[v]);
            highest = k == 0 ? d : std::max(highest, d);
            lowest = k == 0 ? d : std::min(lowest, d);
            sum += d;
        }
        face.offset =
            flat ? (f == 0 ? sum / static_cast<float>(loop.size()) : -hull.faces[0].offset) : highest;
        hull.faces.push_back(face);
    }
    return true;
}

/// The edges, in order of first use, each with its two faces; false unless
/// every edge lies on exactly two faces that run it in opposite directions.
bool linkEdges(const PointSet& set, const std::vector<std::int32_t>& original, ConvexHull& hull)
{
    // Each corner lists the edges that start at it.
    std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> startingAt(original.size());
    hull.loopEdges.assign(hull.loopVertices.size(), -1);
    for (std::size_t f = 0; f < hull.faces.size(); ++f) {
        const HullFace& face = hull.faces[f];
        for (std::int32_t k = 0; k < face.loopSize; ++k) {
            const std::int32_t from = hull.loopVertices[face.firstLoop + k];
            const std::int32_t to = hull.loopVertices[face.firstLoop + (k + 1) % face.loopSize];
            std::int32_t edge = -1;
            for (const auto& [end, index] : startingAt[to])
                if (end == from)
                    edge = index;
            if (edge >= 0) {
                if (hull.edges[edge].faces[1] >= 0)
                    return false;
                hull.edges[edge].faces[1] = static_cast<std::int32_t>(f);
            } else {
                for (const auto& [end, index] : startingAt[from])
                    if (end == to)
                        return false;
                edge = static_cast<std::int32_t>(hull.edges.size());
                HullEdge e;
                e.vertices[0] = from;
                e.vertices[1] = to;
                e.faces[0] = static_cast<std::int32_t>(f);
                e.faces[1] = -1;
                e.direction = unitOrZero(set.scaled[original[to]] - set.scaled[original[from]]);
                hull.edges.push_back(e);
                startingAt[from].emplace_back(to, edge);
            }
            hull.loopEdges[face.firstLoop + k] = edge;
        }
    }
    for (const HullEdge& e : hull.edges)
        if (e.faces[1] < 0 || e.direction.squaredLength() == 0.0f)
            return false;
    return true;
}

// Builds the hull from face loops of point indices and checks it: every loop
// simple with at least three corners, every edge on exactly two faces running
// it in opposite directions, and V - E + F = 2.
std::optional<ConvexHull> assembleHull(const PointSet& set, const Loops& loops, bool flat)
{
    ConvexHull hull;
    std::vector<std::int32_t> newIndex;
    const std::vector<std::int32_t> original = takeCorners(set, loops, newIndex, hull);
    if (!addFaces(set, loops, flat, newIndex, hull) || !linkEdges(set, original, hull))
        return std::nullopt;
    const std::size_t vertexCount = hull.vertices.size();
    if (vertexCount + hull.faces.size() != hull.edges.size() + 2)
        return std::nullopt;

    placeBounds(set, original, hull);
    placeMass(set, hull);
    hull.box = findHullBox(hull);
    return hull;
}

} // namespace

std::optional<ConvexHull> buildConvexHull(const std::vector<Vector3>& points)
{
    if (points.empty())
        return std::nullopt;
    Vector3 low = points[0];
    Vector3 high = points[0];
    for (const Vector3& p : points) {
        if (!usable(p))
            return std::nullopt;
        low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
        high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
    }
    PointSet set{points, PointScaling::forBounds(low, high), {}, {}, 0.0f};
    if (!(set.frame.halfSize > 0.0f))
        return std::nullopt;
    set.tolerance = hullPlaneTolerance * set.frame.halfSize;
    set.scaled.reserve(points.size());
    set.grid.reserve(points.size());
    for (const Vector3& p : points) {
        const Vector3 s = set.frame.toScaled(p);
        set.scaled.push_back(s);
        set.grid.push_back({snapCoordinate(s.x), snapCoordinate(s.y), snapCoordinate(s.z)});
    }

    const Start start = chooseStart(set);
    if (start.kind == StartKind::None)
        return std::nullopt;
    if (start.kind == StartKind::Flat) {
        const std::vector<std::int32_t> outline = straightenOutline(set, flatOutline(set, start.planeNormal));
        if (outline.size() < 3)
            return std::nullopt;
        Loops loops{outline, std::vector<std::int32_t>(outline.rbegin(), outline.rend())};
        return assembleHull(set, loops, true);
    }

    std::vector<HullTriangle> triangles;
    if (!triangulateHull(set.grid, start.index, triangles))
        return std::nullopt;
    if (std::optional<ConvexHull> merged =
            assembleHull(set, mergeCoplanarTriangles(set.scaled, triangles, set.tolerance), false))
        return merged;
    // The merged faces failed a check; the exact triangles always make a valid hull.
    Loops loops;
    for (const HullTriangle& t : triangles)
        loops.emplace_back(std::begin(t.corners), std::end(t.corners));
    return assembleHull(set, loops, false);
}

} // namespace Tolvane::Physics::Collision
