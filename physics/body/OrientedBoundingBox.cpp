// Construction and copying of oriented bounding boxes.
#include "physics/body/OrientedBoundingBox.h"

namespace Tolvane::Physics {

OrientedBoundingBox::OrientedBoundingBox(const Math::Vector3& maxCorner, const Math::Vector3& minCorner)
{
    halfExtents = (maxCorner - minCorner) * 0.5f;
    transform.position = minCorner + halfExtents;
}

// The copy does not trust the source's cached matrix: it is marked dirty so the
// matrix is rebuilt from the copied orientation the first time it is needed.
OrientedBoundingBox::OrientedBoundingBox(const OrientedBoundingBox& other) : halfExtents(other.halfExtents)
{
    transform.position = other.transform.position;
    transform.orientation = other.transform.orientation;
    transform.dirty = true;
}

OrientedBoundingBox& OrientedBoundingBox::operator=(const OrientedBoundingBox& other)
{
    transform.position = other.transform.position;
    transform.orientation = other.transform.orientation;
    transform.dirty = true;
    transform.rotation = Math::Matrix4();
    halfExtents = other.halfExtents;
    return *this;
}

BoxFrame readBoxFrame(OrientedBoundingBox& box)
{
    const Math::Axes axes = box.transform.axes();
    return {box.transform.position,
            {axes.xAxis, axes.yAxis, axes.zAxis},
            {box.halfExtents.x, box.halfExtents.y, box.halfExtents.z}};
}

} // namespace Tolvane::Physics
