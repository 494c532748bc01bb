// The joint solver: each batch's joints solved with its contacts, in the same
// substeps, with soft position correction and warm starting.
#pragma once

#include "math/Quaternion.h"
#include "physics/joint/JointList.h"
#include "physics/solver/BodyTable.h"
#include "physics/solver/ContactSolver.h"
#include "physics/solver/JointLink.h"
#include "physics/solver/SolveBatches.h"

#include <cstdint>
#include <vector>

namespace Tolvane::Physics {

/// One body of a joint as the step sees it: a solver body, a kinematic
/// body moving at its own velocities, or a body that does not move this
/// step (fixed, or the world).
struct JointSide {
    std::int32_t index = noSolverBody;
    bool kinematic = false;
    /// For a solver or kinematic body: the anchor in its frame from its
    /// centre of mass; otherwise the anchor in the world.
    Math::Vector3 anchor;
    /// The orientation of a body that is not a solver body, as the step begins.
    Math::Quaternion orientation;
    /// A kinematic body's centre of mass as the step begins, and its velocities.
    Math::Vector3 centre;
    Math::Vector3 velocity;
    Math::Vector3 angularVelocity;
};

/// Keeps between steps only its buffers: the joints and their carried
/// impulses live in the JointList. A batch's joints are solved in list order
/// on the thread that solves the batch, so the results do not depend on the
/// number of threads.
class JointSolver {
  public:
    /// The joints and the step's links between them and the body table.
    JointSolver(JointList& joints, const std::vector<JointLink>& links) : joints_(joints), links_(links) {}

    /// Makes room for every joint's step state, before the batches run.
    void start() { states_.resize(joints_.size()); }

    /// The joints first to last (indices into the list) of a batch whose
    /// substeps are h long, scale times shorter than the settings' ones:
    /// their frames taken from the bodies as the step begins and their
    /// carried impulses scaled to the substep.
    void prepare(const std::int32_t* first, const std::int32_t* last, const BodyTable& table,
                 const SolveBatches& batches, float h, int scale);
    /// Applies the carried impulses again (once per substep). elapsed is the
    /// time since the step began, where moving kinematic bodies stand.
    void warmStart(const std::int32_t* first, const std::int32_t* last, std::vector<SolverBody>& bodies,
                   const std::vector<Math::Quaternion>& orientations, float elapsed) const;
    /// One pass over the joints, at the bodies' current poses. With useBias
    /// the position errors are corrected softly; without, only the velocities
    /// that break the joints are removed (the relax pass). Limits still apart
    /// may close exactly their gap in a substep, either way; motors and
    /// springs act in both passes.
    void solve(const std::int32_t* first, const std::int32_t* last, std::vector<SolverBody>& bodies,
               const std::vector<Math::Quaternion>& orientations, bool useBias, float elapsed);
    /// Keeps the impulses for the next step, as impulses of the settings' substeps.
    void store(const std::int32_t* first, const std::int32_t* last, int scale);

  private:
    using Side = JointSide;

    /// A joint's step: its two sides, softness and impulses.
    struct State {
        Side a;
        Side b;
        float h = 0.0f;
        Softness softness;
        Softness springSoftness;
        JointImpulses impulses;
    };

    Side sideOf(std::int32_t tableIndex, const Math::Vector3& localAnchor, const BodyTable& table,
                const SolveBatches& batches) const;
    void solveJoint(const Joint& joint, State& state, std::vector<SolverBody>& bodies,
                    const std::vector<Math::Quaternion>& orientations, bool useBias, float elapsed) const;

    JointList& joints_;
    const std::vector<JointLink>& links_;
    std::vector<State> states_;
};

} // namespace Tolvane::Physics
