// Every tolerance of the convex hull builder, the hull separating-axis test,
// the contact manifolds and the triangle meshes, in one place, each with what
// it guards.
#pragma once

namespace Tolvane::Physics::Collision {

// --- Hull building. Lengths here are fractions of the point set's half-size
// (its largest half-extent), so a model behaves the same at any scale.

/// Points closer than this to a plane count as lying on it: a point set this
/// thin is flat, this close to a line is collinear, and neighbouring triangles
/// whose corners all lie this close to one plane merge into one polygon face.
/// About a hundred float roundings of a coordinate near the half-size: far above
/// the noise of a turned or re-exported model, far below any real feature.
constexpr float hullPlaneTolerance = 1e-5f;
/// Points are snapped to an integer grid of 2^19 steps per half-size, on which
/// the orientation tests are exact in 64-bit integers (coordinate differences
/// fit in 20 bits, so every product of three stays below 2^62). One step, about
/// 2e-6 of the half-size, is well inside hullPlaneTolerance.
constexpr int hullGridBits = 19;
/// Coordinates beyond this give no hull: squared distances and plane offsets of
/// such points would leave the float range in the hull's own computations.
constexpr float largestHullCoordinate = 1e18f;
/// A polygon face whose float normal (Newell's sums over its corners, twice its
/// area at unit size) is shorter than this has too few digits left for a
/// direction; its normal is then taken exactly from the grid instead.
constexpr float smallestFloatFaceArea = 1e-10f;
/// A hull's bounding-sphere radius is widened by this fraction so that the
/// rounding of the radius and of the scaling back to model units cannot leave a
/// vertex just outside it.
constexpr float sphereRadiusAllowance = 1e-6f;

/// A hull is taken for a box only if its opposite face normals and the axes
/// at right angles meet to within this in their dot products, and every
/// corner lies within this fraction of its largest half extent of a corner
/// of the box: the box's projections then stand for the corners' far inside
/// every contact tolerance.
constexpr float boxShapeTolerance = 1e-5f;

// --- Body mass properties.

/// A body whose hulls enclose less than this fraction of the cube over its
/// largest extent has no usable volume (a flat or degenerate model); its mass is
/// then spread over a solid box over its bounds instead.
constexpr float solidVolumeFraction = 1e-6f;
/// Inertia per unit mass (length squared) is kept within these bounds, so both it
/// and its inverse stay finite and positive for the solver.
constexpr float smallestInertiaPerMass = 1e-20f;
constexpr float largestInertiaPerMass = 1e20f;

// --- Separating axes.

/// A candidate axis takes over from the standing one (the previous step's axis,
/// and a face axis against an edge axis) only if its separation is larger by more
/// than axisSwitchRelative * |standing separation| + axisSwitchAbsolute. Without
/// this margin, rounding alone would flip the reference face and the feature
/// keys between steps for a body resting on a face, and warm starting would be
/// lost. The absolute part is in model units: 1 mm for a 2-unit block.
constexpr float axisSwitchRelative = 0.05f;
constexpr float axisSwitchAbsolute = 0.001f;
/// The cached axis is kept without a new search while no point of B has moved
/// against A by more than this (model units) since the axis was chosen: a
/// quarter of the absolute switch tolerance, so that no other axis can have
/// become better by that tolerance in between.
constexpr float coherentDrift = 0.25f * axisSwitchAbsolute;
/// Edges whose directions make a sine below this (about 0.06 degrees) are
/// parallel: their cross product has no reliable direction, and the face axes
/// already cover such a pair.
constexpr float parallelEdgeSine = 1e-3f;
/// Face normals of an edge whose dot product is below this are opposite: the
/// edge is the rim of a flat hull, whose arc on the normal sphere is a half
/// circle through the rim's outward direction rather than the short arc.
constexpr float oppositeNormalsDot = -0.999999f;

// --- Contact manifolds.

/// Points of a face contact are kept up to this share of the incident face's
/// radius beyond the margin: within a step, an impulse at one point can turn the
/// body enough to bring the others down, and without them the solver would let
/// them sink in. Points farther up (the top side of a cube standing on an edge)
/// are still left out.
constexpr float incidentFaceReach = 0.25f;
/// An edge pair whose axis is within this cosine (about 15 degrees) of a face
/// beside one of the edges gets that face's clipped contact instead of one
/// point: the edge is lying down on the other hull and its face comes next.
constexpr float edgeOnFaceCosine = 0.966f;
/// That face's contact is taken only if its deepest point lies no deeper than
/// this (model units) beyond the edge pair's separation. A face can be close
/// to the axis in direction while the other hull is not over it at all (an
/// edge of a tumbling block passing the side of another): its clipped points
/// would then report an overlap of hulls that are apart.
constexpr float edgeOnFaceDepthAllowance = 0.01f;
/// The most points a manifold keeps: four span any resting face contact.
constexpr int maxManifoldPoints = 4;
/// A corner of the incident face this far outside a side of the reference face
/// (model units) is kept where it is instead of being cut back to the side. Two
/// blocks stacked flush have corners exactly on those sides; without this
/// allowance rounding would cut them or not from step to step and change their
/// keys. Edges from farther out are still cut at the side itself.
constexpr float sideClipSlop = 0.005f;

// --- Triangle meshes.

/// A shared edge is active only if its two faces' normals differ by more than
/// about 1.5 degrees (their dot product is below this). Flatter seams are where
/// a modeller split one flat or gently rounded surface into triangles; a body
/// sliding across them must not catch on an edge normal that is not there.
constexpr float activeEdgeCosine = 0.99966f;
/// A closed part counts as its own convex hull while no edge is a valley
/// deeper than this fraction of its half-size (the largest half-extent of its
/// box): the hull stands at most that little proud of the dent it covers,
/// and rounding in a re-exported model never makes a convex part concave.
constexpr float convexPartTolerance = 1e-3f;
/// ... and while the part fills its hull's volume to within this fraction: a
/// part in two pieces apart, whose hull would also fill the space between
/// them, does not.
constexpr float convexPartVolumeShare = 1e-3f;

} // namespace Tolvane::Physics::Collision
