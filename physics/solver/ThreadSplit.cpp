// The time of the solve's batches and free bodies, split between moving the
// bodies and solving the contacts as they spent it.
#include "physics/solver/ThreadSplit.h"

namespace Tolvane::Physics {

double ThreadSplit::integrationShare() const
{
    double integration = 0.0;
    double total = 0.0;
    for (const double time : freeChunkTime_) {
        integration += time;
        total += time;
    }
    for (std::size_t b = 0; b < batchTotal_.size(); ++b) {
        integration += batchIntegration_[b];
        total += batchTotal_[b];
    }
    return total > 0.0 ? integration / total : 0.0;
}

} // namespace Tolvane::Physics
