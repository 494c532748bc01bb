// The stopwatch that splits a step's time between its stages.
#pragma once

#include <chrono>

namespace Tolvane::Physics {

class PhaseClock {
  public:
    using Clock = std::chrono::steady_clock;

    /// Starts timing from now.
    void restart() { last_ = Clock::now(); }

    /// Adds the time since the last lap (or restart) to one of a step's phase times.
    void lap(double& phase)
    {
        const Clock::time_point now = Clock::now();
        phase += std::chrono::duration<double, std::micro>(now - last_).count();
        last_ = now;
    }

  private:
    Clock::time_point last_ = Clock::now();
};

} // namespace Tolvane::Physics
