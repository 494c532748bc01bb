// The contact solver's fixed tuning values, in one place, each with what it is for.
// The values a scene may change (friction, restitution, iterations, allowed
// penetration, sleeping) are in ContactSettings.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Tolvane::Physics {

/// Stiffness of a contact between two movable bodies, in hertz: the position
/// error of a pressed contact decays like a spring of this frequency. Stiffer
/// contacts ring at the solver's substep rate; softer ones sag under a stack.
constexpr float contactHertz = 30.0f;
/// No contact is made stiffer than this share of the substep rate. Stiffer
/// contacts are no longer damped by the solver's passes: a light block under a
/// heavy one on the floor then jitters for ever, and at 0.25 of the rate (what
/// Box2D allows its two-point contacts) it still does for four-point faces.
constexpr float maxContactHertzPerSubstepRate = 0.1875f;
/// Contacts with a fixed body are twice as stiff, within the same bound: the
/// floor carries the whole pile and should let the bottom layer sink least.
constexpr float fixedContactHertzFactor = 2.0f;
/// Damping ratio of the contact spring: far above critical, so that pushing
/// out an overlap never makes the bodies bounce apart.
constexpr float contactDampingRatio = 10.0f;
/// Fastest speed (units per second) at which an overlap is pushed out, so that
/// a deep overlap separates calmly instead of launching the bodies.
constexpr float maxPushOutSpeed = 3.0f;
/// Contacts are kept for pairs this close (units) beyond what their motion can
/// close in a step: resting and slowly approaching pairs keep theirs from step
/// to step, which warm starting needs.
constexpr float speculativeDistance = 0.02f;
/// A hull that has moved against a fixed mesh by less than this (units, at
/// any of its points, added up step after step) since the narrow phase last
/// collided them keeps its manifolds, its points moved along with it. A
/// hull resting on a mesh meets half a dozen triangles, each collided on its
/// own; while its island is still settling it barely moves, and a contact it
/// could newly make within this distance lies beyond the speculative one.
constexpr float meshReuseDrift = 1e-3f;
/// Sweeps over one manifold's points in each pass, for the normal impulses and
/// again for friction. Several points landing at once share the impulse evenly
/// only after a few sweeps; after one, the first point's share tilts or twists
/// the body, and friction turns the tilt into a sideways push.
constexpr int manifoldSweeps = 4;
/// A sweep that changes no impulse of a manifold by more than this share of
/// its largest impulse ends the sweeps early: the manifold is settled.
constexpr float settledSweepShare = 0.01f;
/// Passes of the restitution solve after the step, each the rebound and then
/// the friction of every bouncing manifold: friction at a face's corners tips
/// the body, which the rebound then evens out. With 4 passes a cube landing at
/// 13.7 units/s while sliding at 1.5 still leaves rolling at 0.12; with 8 at 0.02.
constexpr int restitutionPasses = 8;

/// Bodies closing or parting slower than this (units per second) rest on each
/// other: their contact's carried impulses measure the load it bears, not an
/// impact.
constexpr float loadedContactSpeed = 1.0f;
/// The share of the way a pair's remembered load moves each step towards what
/// its carried impulses show: it takes up a lasting load within a second or
/// two (50 steps of 0.025 s), and a blow lasting a step or two barely moves it.
constexpr float loadFollowRate = 0.02f;
/// The most substeps a heavily loaded group takes, as a multiple of the
/// settings' substeps.
constexpr int largestSubstepScale = 8;
/// The heaviest load, in its lighter body's weights, a contact carries at the
/// settings' substeps: a column of 15 cubes needs contacts of about 20 Hz,
/// two thirds of the 30 Hz they have, a margin for columns not quite straight.
constexpr float loadAtBaseSubsteps = 15.0f;
/// Contacts bearing up to this many times their lighter body's weight leave
/// the whole allowed penetration alone; heavier loaded ones proportionally less.
constexpr float fullAllowanceLoad = 4.0f;
/// A pair steps down to fewer substeps once what it needs is below this share
/// of the lower scale. The load already follows its samples slowly, so a small
/// margin is enough to keep a boundary load from switching back and forth; a
/// wide one kept a settled 20-high pile (loads of 21 weights, which need twice
/// the substeps) at four times them for good after its landing's blows had
/// raised its loads to 28 weights for a few steps.
constexpr float substepScaleDownShare = 0.9f;
/// A pair whose contacts have sunk deeper than this many times the allowed
/// penetration takes twice the settings' substeps, until they are back within
/// half that depth. A blow passes down a chain of bodies one contact per pass:
/// when a tumbling block lands on one resting on the ground, the lower block
/// is driven in before the passes have carried the blow to the ground, and
/// shorter substeps carry it there sooner.
constexpr float sunkContactAllowances = 3.0f;
/// Depths shallower than this (units) never count as sunk, whatever the
/// allowed penetration: with none allowed every resting contact would.
constexpr float leastSunkDepth = 0.01f;
/// How fast the contact frequency a column needs grows with its height:
/// towers of 10, 20 and 40 cubes first bend over on contacts of 10.7, 31.0 and
/// 88.8 Hz.
constexpr float columnFrequencyExponent = 1.53f;

/// Islands are solved in batches of at least this many contacts (or of
/// every island left): enough for the solver's lanes to be full.
constexpr std::size_t batchConstraints = 128;
/// On several threads the last batches shrink to a share of the contacts
/// left, this many shares per thread, but keep at least tailBatchConstraints
/// contacts: fewer would leave the lanes too empty.
constexpr std::size_t tailBatchesPerThread = 2;
constexpr std::size_t tailBatchConstraints = 32;
/// An island with more contacts than this (and than its share of the threads)
/// is solved alone, its passes spread over the threads; smaller islands are
/// solved side by side, each on one thread.
constexpr std::size_t bigGroupConstraints = 256;
/// Pairs one thread collides at a time in the narrow phase.
constexpr std::size_t pairsPerTask = 16;
/// Bundles of eight contacts one thread solves at a time: fewer cost more in
/// handing out than they save.
constexpr std::size_t bundlesPerTask = 4;
/// Grown boxes the broad phase looks up again on one thread, at the most:
/// more are shared out over the grid's ranges.
constexpr std::int64_t grownPerRange = 32;

/// Awake bodies from which the solve's plan numbers the pairs on one thread
/// and the bodies on another: fewer cost less than handing the work over.
constexpr std::size_t bodiesNumberedApart = 2048;

/// Grown boxes look for each other in the grid they were hashed into before
/// growing, each looking that much farther, while no box grew by more than
/// this share of a cell: past it, the lookups would meet many more cells
/// than a grid of the grown boxes costs.
constexpr float grownReachPerCell = 0.25f;

/// The broad phase's cells are this many times the median box size: most
/// boxes then lie in one to eight cells.
constexpr float cellsPerMedianBox = 2.0f;
/// A box over more cells than this along any axis (a floor under a pile of
/// blocks) is tried against every box instead of filling the grid.
constexpr std::int32_t largestCellSpan = 4;
/// Boxes the cell size is worked out from: enough for a fair median.
constexpr std::size_t sizeSamples = 128;
/// The grid's boxes one thread fills buckets for, at the least: fewer are
/// hashed on one thread, as handing them over would cost more.
constexpr std::size_t boxesPerRange = 128;
/// The grid's buckets per box: a box takes one to eight cells, and each cell
/// is shared by several boxes, so two leave most cells a bucket of their own
/// while the walks over every bucket stay short.
constexpr std::size_t bucketsPerBox = 2;
/// Candidate pairs at which their sort by key is split between two threads.
constexpr std::size_t sortedCandidatesPerTask = 256;
/// Bodies one thread moves at a time in a big island.
constexpr std::size_t bodiesPerTask = 64;

/// A body slower than this (units per second) and turning slower than
/// sleepAngularSpeed counts as still. Half the at-rest speeds of the runner's
/// figures, so that a body that sleeps is at rest by them too.
constexpr float sleepLinearSpeed = 0.05f;
/// Radians per second.
constexpr float sleepAngularSpeed = 0.05f;
/// Seconds every body of an island must stay still before the island sleeps.
constexpr float timeToSleep = 0.5f;

/// Stiffness of a joint's position correction, in hertz. A joint carrying a
/// load stretches by about the load's acceleration over (2π f)²: at 45 Hz
/// the top joint of a hanging chain of 30 cubes stretches by about 0.007.
constexpr float jointHertz = 45.0f;
/// Damping ratio of that correction: far above critical, so that a joint
/// pulled apart closes without ringing.
constexpr float jointDampingRatio = 10.0f;
/// No joint is made stiffer than this share of the substep rate (48 Hz at
/// the default 4 substeps of 0.025 s; a scene with fewer, longer substeps
/// gets softer joints). A chain of joints rings, then flies apart, once
/// 2π f h nears 2 (about 0.32 of the rate: a chain of 30 cubes does at 50 Hz
/// and more).
constexpr float maxJointHertzPerSubstepRate = 0.3f;
/// A joint carrying more than this many weights of its lighter body takes
/// its group to more substeps, as loaded contacts do: the square root of its
/// load over this, rounded up to a power of two. A joint's stretch under its
/// load depends on its frequency alone, but a long chain, or a heavy weight
/// on one, bounces on its joints for many seconds at the settings' substeps;
/// with more it hangs still within a second (a mass of 100 on a chain of 30
/// cubes: 8 times the substeps).
constexpr float jointLoadAtBaseSubsteps = 10.0f;

} // namespace Tolvane::Physics
