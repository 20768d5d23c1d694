/*
 * The filter's pool allocator: every block carries the drivers' tag and is
 * counted until it is given back, so that unload can tell whether one was
 * lost. Blocks that other drivers hand over are freed with ExFreePool and
 * never enter the count.
 */
#include "mpsfilt.h"

/* Plain increments suffice: the count changes only in load, unload and the
   PnP manager's requests, which come one at a time. */
LONG gExAllocCount = 0;

PVOID MP_ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    PVOID block = ExAllocatePoolWithTag(PoolType, NumberOfBytes, MPS_POOL_TAG);
    if (block != NULL) ++gExAllocCount;
    MP_DbgPrint(3, "MP_ExAllocatePool(%08x, %ld bytes) gExAllocCount = %d\n", (ULONG)(ULONG_PTR)block,
                (ULONG)NumberOfBytes, gExAllocCount);
    return block;
}

VOID MP_ExFreePool(PVOID P)
{
    --gExAllocCount;
    MP_DbgPrint(3, "MP_ExFreePool(%08x) gExAllocCount = %d\n", (ULONG)(ULONG_PTR)P, gExAllocCount);
    ExFreePool(P);
}
