// Hulls of a model tree's parts and the body's centre of mass and inertia per unit mass.
#include "geometry/BodyHulls.h"

#include "geometry/HullTolerances.h"
#include "geometry/MassProperties.h"
#include "geometry/PointScaling.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace Tolvane::Physics::Collision {

namespace {

using Math::Matrix3;
using Math::Vector3;

bool finite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

/// Finite, positive definite to float precision, and with every diagonal
/// element within the bounds the solver can take.
bool usableInertia(const Matrix3& m)
{
    Matrix3 inverse;
    if (!invertSymmetricPositiveDefinite(m, inverse))
        return false;
    const Vector3 d = m.diagonalElements();
    const float low = std::min(d.x, std::min(d.y, d.z));
    const float high = std::max(d.x, std::max(d.y, d.z));
    return low >= smallestInertiaPerMass && high <= largestInertiaPerMass;
}

/// A tensor measured in frame units (length squared) back in model units.
Matrix3 toModelInertia(const PointScaling& frame, const Matrix3& scaled)
{
    return {frame.toModelVector(scaled.column[0], 2), frame.toModelVector(scaled.column[1], 2),
            frame.toModelVector(scaled.column[2], 2)};
}

// Sums the hulls' volumes and moments in the frame of the whole tree's bounds,
// where every value is near unit size whatever the model's scale, and returns
// false when they hold no usable volume.
bool massFromHulls(const std::vector<ConvexHull>& hulls, const PointScaling& frame, BodyHulls& body)
{
    std::vector<MassProperties> parts;
    float volume = 0.0f;
    Vector3 moment;
    for (const ConvexHull& hull : hulls) {
        parts.push_back(hullMassProperties(hull, frame));
        volume += parts.back().volume;
        moment += parts.back().centroid * parts.back().volume;
    }
    body.volume = frame.toModel(volume, 3);
    const float span = 2.0f * frame.halfSize;
    if (!(volume > solidVolumeFraction * span * span * span))
        return false;
    const Vector3 centre = moment / volume;
    Matrix3 inertia = Matrix3::zero();
    for (const MassProperties& part : parts)
        inertia = inertia + part.inertia + parallelAxisShift(part.centroid - centre) * part.volume;
    const Matrix3 perMass = toModelInertia(frame, inertia * (1.0f / volume));
    if (!usableInertia(perMass))
        return false;
    body.centreOfMass = frame.toModelPoint(centre);
    body.inertiaPerMass = perMass;
    body.massSource = MassSource::Hulls;
    return true;
}

// A solid box over the bounds: (b^2 + c^2) / 12 per unit mass about the axis
// along a, and so on; false when the box is a line or a point.
bool massFromBox(const Vector3& low, const Vector3& high, const PointScaling& frame, BodyHulls& body)
{
    const Vector3 size = frame.toScaled(high) - frame.toScaled(low);
    const float xx = size.x * size.x, yy = size.y * size.y, zz = size.z * size.z;
    const Matrix3 perMass =
        toModelInertia(frame, Matrix3::diagonal((yy + zz) / 12.0f, (xx + zz) / 12.0f, (xx + yy) / 12.0f));
    if (!usableInertia(perMass))
        return false;
    body.centreOfMass = low * 0.5f + high * 0.5f;
    body.inertiaPerMass = perMass;
    body.massSource = MassSource::Box;
    return true;
}

// A solid sphere, 2/5 r^2 per unit mass, clamped into the usable range so that
// even a model without any extent gets a finite, positive inertia.
void massFromSphere(float r, const Vector3& centre, BodyHulls& body)
{
    const float i = std::clamp(0.4f * r * r, smallestInertiaPerMass, largestInertiaPerMass);
    body.centreOfMass = centre;
    body.inertiaPerMass = Matrix3::diagonal(i, i, i);
    body.massSource = MassSource::Sphere;
}

} // namespace

namespace {

/// What the contact solver reads besides the hulls and the mass: the inverse
/// inertia, the box over the hulls and the reach of a turn about the centre of mass.
void describeExtent(BodyHulls& body)
{
    if (!invertSymmetricPositiveDefinite(body.inertiaPerMass, body.inverseInertiaPerMass))
        body.inverseInertiaPerMass = Math::Matrix3::zero();
    bool first = true;
    for (const ConvexHull& hull : body.hulls) {
        body.boxMin =
            first ? hull.boxMin
                  : Vector3(std::min(body.boxMin.x, hull.boxMin.x), std::min(body.boxMin.y, hull.boxMin.y),
                            std::min(body.boxMin.z, hull.boxMin.z));
        body.boxMax =
            first ? hull.boxMax
                  : Vector3(std::max(body.boxMax.x, hull.boxMax.x), std::max(body.boxMax.y, hull.boxMax.y),
                            std::max(body.boxMax.z, hull.boxMax.z));
        first = false;
        for (const Vector3& v : hull.vertices)
            body.radius = std::max(body.radius, (v - body.centreOfMass).length());
    }
}

BodyHulls buildHullsAndMass(const std::vector<HullPart>& parts, float radius, const Vector3& centre);

} // namespace

BodyHulls buildBodyHulls(const std::vector<HullPart>& parts, float radius, const Vector3& centre)
{
    BodyHulls body = buildHullsAndMass(parts, radius, centre);
    describeExtent(body);
    return body;
}

namespace {

/// Lists part (at place index among the parts) in concaveParts, with its
/// mesh, when its triangles are not its own convex hull.
void noteConcavePart(const HullPart& part, const std::vector<Vector3>& points, const ConvexHull& hull,
                     std::int32_t index, BodyHulls& body)
{
    if (part.triangles.empty())
        return;
    // Triangles that leave no mesh (all of them degenerate) say nothing about
    // the part's shape: its points and their hull are all there is.
    std::optional<TriangleMesh> mesh = buildTriangleMesh(points, part.triangles);
    if (!mesh || isConvexPart(*mesh, hull))
        return;
    body.concaveParts.push_back(index);
    body.concaveMeshes.push_back(std::move(*mesh));
    body.concaveHulls.push_back(static_cast<std::int32_t>(body.hulls.size()));
}

BodyHulls buildHullsAndMass(const std::vector<HullPart>& parts, float radius, const Vector3& centre)
{
    BodyHulls body;
    bool anyPoint = false;
    Vector3 low;
    Vector3 high;
    std::vector<Vector3> points;
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const HullPart& part = parts[index];
        if (part.vertices->empty())
            continue;
        points.clear();
        for (const Vector3& v : *part.vertices) {
            const Vector3 p = v + part.offset;
            points.push_back(p);
            if (!finite(p))
                continue;
            low = anyPoint ? Vector3(std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)) : p;
            high =
                anyPoint ? Vector3(std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)) : p;
            anyPoint = true;
        }
        if (std::optional<ConvexHull> hull = buildConvexHull(points)) {
            noteConcavePart(part, points, *hull, static_cast<std::int32_t>(index), body);
            body.hulls.push_back(std::move(*hull));
        }
    }

    if (anyPoint) {
        const PointScaling frame = PointScaling::forBounds(low, high);
        if (massFromHulls(body.hulls, frame, body) || massFromBox(low, high, frame, body))
            return body;
    }
    massFromSphere(radius, centre, body);
    return body;
}

} // namespace

} // namespace Tolvane::Physics::Collision
