// How the universe turns contacts into motion: which response runs and the
// settings of the contact solver, each with its default and why.
#pragma once

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics {

/// How a pair of bodies' own friction or restitution values make the pair's.
enum class CombineRule {
    /// √(a b): a frictionless body makes a frictionless pair.
    geometricMean,
    /// (a + b) / 2.
    mean,
    min,
    max,
    /// a b.
    product,
};

/// The pair's value from the two bodies' values by rule.
inline float combine(CombineRule rule, float a, float b)
{
    switch (rule) {
    case CombineRule::geometricMean:
        return std::sqrt(a * b);
    case CombineRule::mean:
        return (a + b) * 0.5f;
    case CombineRule::min:
        return std::min(a, b);
    case CombineRule::max:
        return std::max(a, b);
    case CombineRule::product:
        return a * b;
    }
    return a;
}

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
    /// Coulomb friction coefficient of a body that has none of its own.
    float friction = 0.5f;
    /// Share of the approach speed a contact gives back, for a body that has
    /// none of its own.
    float restitution = 0.5f;
    /// How two bodies' friction and restitution make their contacts': most
    /// engines take the geometric mean of the frictions, so that ice on
    /// anything stays slippery, and the larger restitution, so that a ball
    /// bounces off any floor. A pair of bodies neither of which has its own
    /// value takes the world's value as it is, whatever the rule.
    CombineRule frictionCombine = CombineRule::geometricMean;
    CombineRule restitutionCombine = CombineRule::max;
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
