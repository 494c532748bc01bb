// A pose: position, orientation and a lazily rebuilt rotation matrix.
#pragma once

#include "math/Matrix4.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace Tolvane::Math {

/// Invariant: whenever dirty is false, rotation equals toMatrix(orientation).
/// Whoever writes orientation directly must set dirty.
struct Transform {
    Vector3 position;
    Quaternion orientation;
    bool dirty = false;
    Matrix4 rotation;

    Transform() = default;
    /// Copies both; the rotation cache is stale until the first refresh.
    Transform(const Vector3& position, const Quaternion& orientation)
        : position(position), orientation(orientation), dirty(true)
    {
    }

    /// Rebuilds rotation from orientation if dirty.
    void refresh()
    {
        if (dirty) {
            rotation = toMatrix(orientation);
            dirty = false;
        }
    }

    /// v rotated by the orientation (no translation).
    Vector3 rotate(const Vector3& v)
    {
        refresh();
        return transformPoint(rotation, v);
    }

    /// The three columns of the rotation matrix, each normalized.
    Axes axes();

    /// Turns the orientation by the rotation vector r about world axes.
    void rotateWorld(const Vector3& r)
    {
        orientation = fromRotationVector(r) * orientation;
        dirty = true;
    }

    /// Turns the orientation by the rotation vector r about the transform's own axes.
    void rotateLocal(const Vector3& r)
    {
        orientation = orientation * fromRotationVector(r);
        dirty = true;
    }
};

inline Axes Transform::axes()
{
    refresh();
    Axes a;
    a.xAxis = normalized({rotation[0], rotation[1], rotation[2]});
    a.yAxis = normalized({rotation[4], rotation[5], rotation[6]});
    a.zAxis = normalized({rotation[8], rotation[9], rotation[10]});
    return a;
}

} // namespace Tolvane::Math
