#include "memory_window.h"

namespace sim {

ULONGLONG SequenceMemoryWindow(uint32_t seed)
{
    return kHighWindowRuns && seed % 2 == 1 ? kHighMemoryWindow : kMemoryMappedIoWindow;
}

}  // namespace sim
