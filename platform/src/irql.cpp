/*
 * IRQL per thread. Real threads run driver code here, so each keeps its own
 * level, starting at PASSIVE_LEVEL as a system worker thread does.
 */
#include "internal.h"

#include <string>

namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;

std::string Levels(KIRQL from, KIRQL to)
{
    return "from " + std::to_string(from) + " to " + std::to_string(to);
}

}  // namespace

namespace hk {

KIRQL CurrentIrql() { return currentIrql; }
void SetCurrentIrql(KIRQL irql) { currentIrql = irql; }

}  // namespace hk

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) { return currentIrql; }

// A raise that would lower the level (or the reverse) leaves the level as it
// was: the checked HAL bug-checks there, the host records it and carries on.
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    const KIRQL old = currentIrql;
    if (NewIrql < old) {
        hk::ReportViolation("IRQL_MISMATCH", HK_CALLER_IMAGE(), "KfRaiseIrql " + Levels(old, NewIrql));
        return old;
    }
    currentIrql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    const KIRQL old = currentIrql;
    if (NewIrql > old) {
        hk::ReportViolation("IRQL_MISMATCH", HK_CALLER_IMAGE(), "KfLowerIrql " + Levels(old, NewIrql));
        return;
    }
    currentIrql = NewIrql;
}

}  // extern "C"
