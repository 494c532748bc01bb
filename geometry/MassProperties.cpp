// Mass properties of a convex hull by tetrahedra from an inner point.
#include "geometry/MassProperties.h"

#include "geometry/ConvexHull.h"
#include "geometry/PointScaling.h"

namespace Tolvane::Physics::Collision {

using Math::Matrix3;
using Math::Vector3;

Matrix3 parallelAxisShift(const Vector3& d)
{
    return Matrix3::diagonal(1.0f, 1.0f, 1.0f) * dot(d, d) - Math::outer(d, d);
}

// For a tetrahedron from the origin to a, b, c with det = a . (b x c) (six times
// its volume), the integral of x x^T over it is det / 120 times
// (a a^T + b b^T + c c^T + s s^T) with s = a + b + c, and its first moment is
// det / 24 times s (Blow and Binstock, "How to find the inertia tensor (or
// other mass properties) of a 3D solid body represented by a triangle mesh").
// The sums are taken about the vertices' mean, which lies inside the hull, so
// every tetrahedron counts positively and nothing cancels.
MassProperties hullMassProperties(const ConvexHull& hull, const PointScaling& frame)
{
    MassProperties result;
    if (hull.vertices.empty())
        return result;
    std::vector<Vector3> scaled(hull.vertices.size());
    Vector3 mean;
    for (std::size_t i = 0; i < scaled.size(); ++i) {
        scaled[i] = frame.toScaled(hull.vertices[i]);
        mean += scaled[i];
    }
    mean = mean / static_cast<float>(scaled.size());
    result.centroid = mean;
    if (hull.isFlat())
        return result;

    float sixVolume = 0.0f;
    Vector3 moment;
    Matrix3 covariance = Matrix3::zero();
    for (const HullFace& face : hull.faces) {
        const std::int32_t* loop = &hull.loopVertices[face.firstLoop];
        const Vector3 a = scaled[loop[0]] - mean;
        for (std::int32_t i = 1; i + 1 < face.loopSize; ++i) {
            const Vector3 b = scaled[loop[i]] - mean;
            const Vector3 c = scaled[loop[i + 1]] - mean;
            const float det = dot(a, cross(b, c));
            const Vector3 s = a + b + c;
            sixVolume += det;
            moment += s * det;
            covariance =
                covariance +
                (Math::outer(a, a) + Math::outer(b, b) + Math::outer(c, c) + Math::outer(s, s)) * det;
        }
    }
    if (!(sixVolume > 0.0f))
        return result;
    const float volume = sixVolume / 6.0f;
    const Vector3 offset = moment / (4.0f * sixVolume);
    // Second moment about the vertices' mean, then about the centroid.
    const Matrix3 aboutMean = covariance * (1.0f / 120.0f);
    const Matrix3 aboutCentroid = aboutMean - Math::outer(offset, offset) * volume;
    const float trace = aboutCentroid(0, 0) + aboutCentroid(1, 1) + aboutCentroid(2, 2);
    result.volume = volume;
    result.centroid = mean + offset;
    result.inertia = Matrix3::diagonal(trace, trace, trace) - aboutCentroid;
    return result;
}

} // namespace Tolvane::Physics::Collision
