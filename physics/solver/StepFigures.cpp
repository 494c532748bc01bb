// The figures of the solver response's steps.
#include "physics/solver/StepFigures.h"

namespace Tolvane::Physics {

void StepFigures::splitSolveTime(double integrationShare)
{
    double batchesTime = 0.0;
    clock_.lap(batchesTime);
    statistics_.time.integration += batchesTime * integrationShare;
    statistics_.time.solver += batchesTime * (1.0 - integrationShare);
}

void StepFigures::repeatLast()
{
    statistics_ = lastStatistics_;
    statistics_.time = PhaseTimes();
    statistics_.awakeBodies = 0;
    statistics_.testedPairs = 0;
}

} // namespace Tolvane::Physics
