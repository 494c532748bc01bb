// What one step of the solver response did, for figures: the time of each
// stage, the bodies awake and asleep, the pairs and contact points.
#pragma once

namespace Tolvane::Physics {

/// What one step of the solver response did, for figures.
/// Microseconds one step spent in each stage.
struct PhaseTimes {
    /// Finding the pairs whose boxes overlap.
    double broadPhase = 0.0;
    /// Separating axes and manifolds of those pairs, and matching them to last step's.
    double narrowPhase = 0.0;
    /// Preparing and solving the contacts, warm starting and restitution.
    double solver = 0.0;
    /// Moving the bodies: velocities and positions in every substep, poses back to the bodies.
    double integration = 0.0;
    /// Gathering the bodies, islands, waking and sleeping.
    double other = 0.0;
};

struct ContactStepStatistics {
    PhaseTimes time;
    int awakeBodies = 0;
    int sleepingBodies = 0;
    int testedPairs = 0;
    /// Pairs pressing on each other (or asleep on each other) after the step.
    int touchingPairs = 0;
    int manifolds = 0;
    int contactPoints = 0;
    /// The most negative separation of any point between two movable bodies
    /// at the step's start (0 when none overlaps).
    float deepestPairSeparation = 0.0f;
    /// The same between a movable body and a fixed one: how far bodies sink
    /// into a floor or a terrain, whatever its shape.
    float deepestFixedSeparation = 0.0f;
};

} // namespace Tolvane::Physics
