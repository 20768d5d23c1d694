/*
 * The nonpaged pool type a driver uses for all its nonpaged blocks, chosen
 * once at DriverEntry from the running Windows: NonPagedPoolNx from Windows 8
 * (6.2) on, where memory integrity and Driver Verifier's code integrity check
 * refuse executable pool, NonPagedPool before it, whose allocators know no
 * NX type. This is what ExInitializeDriverRuntime(DrvRtPoolNxOptIn) does,
 * without the export it needs, which Windows 2000 and XP lack.
 */
#pragma once

#include <ntddk.h>

inline POOL_TYPE NonPagedPoolOfRunningWindows()
{
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    /* RtlGetVersion returns STATUS_SUCCESS; were it ever to fail, the type
       every Windows accepts is the safe answer. */
    if (!NT_SUCCESS(RtlGetVersion(&version))) return NonPagedPool;
    const bool nx = version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
    return nx ? NonPagedPoolNx : NonPagedPool;
}
