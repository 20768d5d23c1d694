/*
 * mpsfilt: the upper filter on every port of a multiport board. It sits
 * above the serial port driver, learns from the port's location text which
 * port of the board it serves, and at start hands the driver below only that
 * port's registers, the board's status register and the shared interrupt.
 */
#pragma once

#include <ntddk.h>

#include "kernel_compat.h"
#include "nonpaged_pool.h"
#include "port_bus_interface.h"

#ifndef STATUS_DEVICE_CONFIGURATION_ERROR
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#endif

/* Device extension of a filter device. */
struct FilterExtension {
    IO_REMOVE_LOCK RemoveLock;           /* held by every request on its way through */
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;    /* what the attach returned: requests go there */
    PDEVICE_OBJECT Pdo;                  /* the port device; asked only for its location */
    ULONG PortOffset;                    /* 0-based port on the board */
};

/* The checked lock with its tracking block; every lock call says this size. */
#ifndef _WIN64
static_assert(sizeof(IO_REMOVE_LOCK) == 88, "the debug IO_REMOVE_LOCK is 88 bytes on x86");
#endif

inline FilterExtension *FilterOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<FilterExtension *>(DeviceObject->DeviceExtension);
}

/* Each port owns eight consecutive UART registers of the board's range. */
#define UART_BLOCK_LENGTH 8

/* --------------------------------------------------------------- tracing */
extern ULONG DebugLevel;

/* A message is written when tracing is on and its level is within the
   configured one: the prefix and the text go to the debugger separately. */
#define MP_DbgPrint(level, ...)                               \
    do {                                                      \
        if (DebugLevel != 0 && DebugLevel >= (ULONG)(level)) { \
            DbgPrint("DUZOREDAZ: ");                          \
            DbgPrint(__VA_ARGS__);                            \
        }                                                     \
    } while (0)

/* main.cpp */
extern UNICODE_STRING RegistryPathCopy;
extern POOL_TYPE gNonPagedPoolType;
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI MP_Unload(PDRIVER_OBJECT DriverObject);

/* registry.cpp */
BOOLEAN MP_GetRegistryDword(PCWSTR Path, PCWSTR ValueName, PULONG Value);

/* allocator.cpp: every block is tagged and counted until it is given back. */
extern LONG gExAllocCount;
PVOID MP_ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID MP_ExFreePool(PVOID P);

/* dispatch.cpp */
NTSTATUS NTAPI Dispatch_PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI Dispatch_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
/* Sends Irp below and waits until it is back, still ours to complete. */
NTSTATUS ForwardAndWait(FilterExtension *Extension, PIRP Irp);
NTSTATUS NTAPI OnRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/* add_device.cpp */
NTSTATUS NTAPI Dispatch_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS GetPortOffset(PDEVICE_OBJECT DeviceObject);

/* pnp.cpp */
NTSTATUS NTAPI Dispatch_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* start_resources.cpp */
NTSTATUS RewriteStartResources(PDEVICE_OBJECT DeviceObject, PIO_STACK_LOCATION IrpStack);
NTSTATUS FreeStartResources(PDEVICE_OBJECT DeviceObject, PIO_STACK_LOCATION IrpStack);

/* requirements.cpp */
NTSTATUS BuildRequirementsList(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FreeRequirementsList(PDEVICE_OBJECT DeviceObject, PIRP Irp);
