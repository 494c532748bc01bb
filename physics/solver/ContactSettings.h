// How the universe turns contacts into motion: which response runs and the
// settings of the contact solver, each with its default and why.
#pragma once

namespace Tolvane::Physics {

/// The two collision responses a universe can run.
enum class ResponseKind {
    /// One contact point and one impulse per pair, each body's impulses summed;
    /// kept exactly as first built, with its results bit for bit.
    designed,
    /// Contact manifolds from the convex hulls, all contacts of a step solved
    /// together with friction, warm starting and sleeping.
    solver,
};

/// Settings of the contact solver. The designed response reads none of them.
struct ContactSettings {
    ResponseKind response = ResponseKind::solver;
    /// Coulomb friction coefficient of every contact.
    float friction = 0.5f;
    /// Share of the approach speed a contact gives back.
    float restitution = 0.5f;
    /// Contacts approaching slower than this (units per second) do not bounce:
    /// resting contacts would otherwise jitter with every step's gravity.
    float restitutionThreshold = 1.0f;
    /// Substeps of the contact solve per step; each integrates the velocities,
    /// solves every contact once with the push-out and once without, and moves
    /// the bodies. More substeps give stiffer stacks at a proportional cost.
    int solverIterations = 4;
    /// Penetration left alone (units): pushing out the last bit of every
    /// resting contact would make it flicker between touching and not.
    float allowedPenetration = 0.005f;
    /// Whether islands that stay still for a while stop being simulated.
    bool sleeping = true;
};

} // namespace Tolvane::Physics
