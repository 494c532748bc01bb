// Every tolerance of the narrow phase, in one place, each with what it guards.
#pragma once

#include "math/Vector3.h"

namespace Tolvane::Physics::Collision {

/// Added to the step length as the initial best contact time, so any contact
/// within the step (and a hair after it) is earlier.
constexpr float contactTimeSlack = 0.0001f;
/// Contacts whose times differ by no more than this are taken as simultaneous
/// and gathered together; also how far a pair's first contact may lie past the
/// best time known before the pair test gives up on it.
constexpr float simultaneousContactTime = 0.0001f;
/// A pair meeting later than the best time by more than this is not recorded.
constexpr float laterContactTolerance = 0.000001f;
/// Entry times of one triangle pair on different axes that differ by no more
/// than this are the same time up to rounding; the axis that reached it first
/// keeps deciding which features meet.
constexpr float tiedAxisTime = 0.000001f;
/// Contact points closer than this in every coordinate are the same point.
constexpr float samePointTolerance = 0.000001f;
/// Faces whose normals are parallel to within this (in |nA.nB| - |nA||nB|) are
/// treated as parallel and yield no contact time of their own.
constexpr float parallelFacesTolerance = 0.000001f;
/// Sine of about 5 degrees: edges closer to parallel than this give no edge-edge point.
constexpr float parallelEdgesSine = 0.08725f;
/// Box axes whose cosine exceeds this are parallel; the edge-cross axes are then skipped.
constexpr float parallelAxesCosine = 0.999999f;
/// Plane distances of an edge's two ends closer than this give no crossing point.
constexpr float edgePlaneTolerance = 0.00001f;
/// Half the length of an intersection segment below which its start point is used.
constexpr float shortSegmentHalfLength = 0.0001f;
/// Squared length below which a vector has no usable direction (the math guard).
constexpr float zeroSquaredLength = Math::zeroSquaredLength;
/// Time preset of a triangle pair's contact state: later than any real contact.
constexpr float noContactTime = 100000.0f;
/// Start of the contact points' bounding box: beyond any world coordinate.
constexpr float pointBoundsLimit = 1e13f;
/// A contact point within this distance, along its normal, of the plane through
/// body A's origin does not show which side A lies on: the rounding of the
/// point's coordinates (about 1e-6 at the scene's sizes) would decide.
constexpr float levelWithOriginDistance = 0.0001f;

} // namespace Tolvane::Physics::Collision
