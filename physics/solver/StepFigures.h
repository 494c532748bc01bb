// The figures of the solver response's steps: the time of each stage and
// what each step did, which a quiet step repeats.
#pragma once

#include "physics/solver/ContactStepStatistics.h"
#include "physics/solver/PhaseClock.h"

namespace Tolvane::Physics {

/// Keeps between steps: the figures of the last step that did something,
/// which a quiet step (everything asleep, nothing disturbed) repeats.
class StepFigures {
  public:
    /// A step starts: its figures are zero and its clock runs.
    void start()
    {
        statistics_ = ContactStepStatistics();
        clock_.restart();
    }
    /// The time since the last lap into one stage's time.
    void lap(double PhaseTimes::*phase) { clock_.lap(statistics_.time.*phase); }
    /// The time since the last lap, which the batches spent, split between
    /// integration and the solver: integrationShare of it moved bodies.
    void splitSolveTime(double integrationShare);
    /// A quiet step: nothing moved and no pair changed, so the last step's
    /// figures hold, but for its time, its awake bodies and its pairs tested.
    void repeatLast();
    /// The step did something: its figures are the ones a quiet step repeats.
    void finish() { lastStatistics_ = statistics_; }
    /// Forgets this step's figures.
    void clear() { statistics_ = ContactStepStatistics(); }

    ContactStepStatistics& statistics() { return statistics_; }
    const ContactStepStatistics& statistics() const { return statistics_; }

  private:
    ContactStepStatistics statistics_;
    ContactStepStatistics lastStatistics_;
    /// Splits the step's time between its stages.
    PhaseClock clock_;
};

} // namespace Tolvane::Physics
