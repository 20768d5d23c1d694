/*
 * One fresh kernel between tests. Images go first (nothing of a driver may
 * run while its objects are freed), violations last (the resets themselves
 * report nothing worth keeping).
 */
#include "internal.h"

namespace hk {

void ResetKernel()
{
    JoinPowerWorkers();
    internal::ResetImages();
    internal::ResetObjects();
    internal::ResetPool();
    internal::ResetRegistry();
    internal::ResetIoSpace();
    internal::ResetMappings();
    internal::ResetSync();
    internal::ResetDiagnostics();
    ResetFaults();
    internal::ResetWdmVersion();
    internal::ResetWorkCounts();
    internal::ResetViolations();
}

}  // namespace hk
