// What a joint reads off its bodies as they stand: its anchors in the world,
// a hinge's angle, a slider's travel, a distance joint's length.
#pragma once

#include "physics/joint/Joint.h"

namespace Tolvane::Physics {

/// The joined point of each body in the world (for a distance joint, the
/// point on each body). They part only as far as the joint gives.
Math::Vector3 worldAnchorA(const Joint& joint);
Math::Vector3 worldAnchorB(const Joint& joint);

/// A hinge's angle: the first body's turn about the axis relative to the
/// second since the joint was made, in radians from -π to π (what its limits hold).
float hingeAngle(const Joint& joint);

/// A slider's travel: how far the first body's anchor has moved along the
/// axis from the second's since the joint was made (what its limits hold).
float sliderTravel(const Joint& joint);

/// A distance joint's length: how far apart its two points are.
float anchorDistance(const Joint& joint);

} // namespace Tolvane::Physics
