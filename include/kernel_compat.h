/*
 * Definitions that the WDK has and mingw-w64's DDK headers lack. Included by
 * driver code after <ntddk.h>; each name is defined only where missing.
 */
#pragma once

#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#endif
#ifndef RTL_QUERY_REGISTRY_TYPECHECK_SHIFT
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

/* Every pool block of both drivers carries this tag ("Wdm " in memory). */
#define MPS_POOL_TAG ((ULONG)0x206D6457)
