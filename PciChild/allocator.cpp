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

/* A block's address prints whole, in lower-case hex digits: eight on x86,
   sixteen on x64. */
#define BLOCK_DIGITS ((int)(2 * sizeof(PVOID)))
#define BLOCK_ADDRESS(p) ((ULONGLONG)(ULONG_PTR)(p))

PVOID MP_ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    PVOID block = ExAllocatePoolWithTag(PoolType, NumberOfBytes, MPS_POOL_TAG);
    if (block != NULL) ++gExAllocCount;
    MP_DbgPrint(3, "MP_ExAllocatePool(%0*I64x, %ld bytes) gExAllocCount = %d\n", BLOCK_DIGITS, BLOCK_ADDRESS(block),
                (ULONG)NumberOfBytes, gExAllocCount);
    return block;
}

VOID MP_ExFreePool(PVOID P)
{
    --gExAllocCount;
    MP_DbgPrint(3, "MP_ExFreePool(%0*I64x) gExAllocCount = %d\n", BLOCK_DIGITS, BLOCK_ADDRESS(P), gExAllocCount);
    ExFreePool(P);
}
