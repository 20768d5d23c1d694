/*
 * The x86 and x64 layouts of every platform structure the drivers touch,
 * each item with its size or offset on both targets. Compiled in every
 * build: against mingw-w64's DDK headers of each target it pins the real
 * ABI, against the host headers of each host build it proves they match it.
 */
#pragma once
#include <ntddk.h>

#ifdef _WIN64
#define ABI_VALUE(x86, x64) (x64)
#else
#define ABI_VALUE(x86, x64) (x86)
#endif
#define ABI_SIZE(type, x86, x64) static_assert(sizeof(type) == ABI_VALUE(x86, x64), "size of " #type)
#define ABI_AT(type, field, x86, x64) \
    static_assert(offsetof(type, field) == ABI_VALUE(x86, x64), #type "." #field)

ABI_SIZE(void *, 4, 8);
ABI_SIZE(wchar_t, 2, 2);
ABI_SIZE(LARGE_INTEGER, 8, 8);
ABI_SIZE(LIST_ENTRY, 8, 16);
ABI_SIZE(KSPIN_LOCK, 4, 8);
/* LLP64 on x64: the 32-bit integer types stay 32 bits, only the
   pointer-sized ones grow. */
ABI_SIZE(LONG, 4, 4);
ABI_SIZE(ULONG, 4, 4);
ABI_SIZE(NTSTATUS, 4, 4);
ABI_SIZE(ULONG_PTR, 4, 8);
ABI_SIZE(LONG_PTR, 4, 8);
ABI_SIZE(SIZE_T, 4, 8);
ABI_SIZE(KAFFINITY, 4, 8);

ABI_SIZE(UNICODE_STRING, 8, 16);
ABI_AT(UNICODE_STRING, MaximumLength, 2, 2);
ABI_AT(UNICODE_STRING, Buffer, 4, 8);
ABI_SIZE(GUID, 16, 16);

ABI_SIZE(KEVENT, 16, 24);
ABI_SIZE(KDPC, 32, 64);
ABI_SIZE(KDEVICE_QUEUE, 20, 40);

ABI_SIZE(DRIVER_OBJECT, 0xA8, 0x150);
ABI_AT(DRIVER_OBJECT, DeviceObject, 0x04, 0x08);
ABI_AT(DRIVER_OBJECT, DriverExtension, 0x18, 0x30);
ABI_AT(DRIVER_OBJECT, DriverName, 0x1C, 0x38);
ABI_AT(DRIVER_OBJECT, DriverUnload, 0x34, 0x68);
ABI_AT(DRIVER_OBJECT, MajorFunction, 0x38, 0x70);
ABI_AT(DRIVER_EXTENSION, AddDevice, 0x04, 0x08);

ABI_SIZE(DEVICE_OBJECT, 0xB8, 0x148);
ABI_AT(DEVICE_OBJECT, ReferenceCount, 0x04, 0x04);
ABI_AT(DEVICE_OBJECT, DriverObject, 0x08, 0x08);
ABI_AT(DEVICE_OBJECT, NextDevice, 0x0C, 0x10);
ABI_AT(DEVICE_OBJECT, AttachedDevice, 0x10, 0x18);
ABI_AT(DEVICE_OBJECT, Flags, 0x1C, 0x30);
ABI_AT(DEVICE_OBJECT, Characteristics, 0x20, 0x34);
ABI_AT(DEVICE_OBJECT, DeviceExtension, 0x28, 0x40);
ABI_AT(DEVICE_OBJECT, DeviceType, 0x2C, 0x48);
ABI_AT(DEVICE_OBJECT, StackSize, 0x30, 0x4C);
ABI_AT(DEVICE_OBJECT, DeviceLock, 0x9C, 0x118);
ABI_AT(DEVICE_OBJECT, DeviceObjectExtension, 0xB0, 0x138);

ABI_SIZE(IO_STATUS_BLOCK, 8, 16);
ABI_AT(IO_STATUS_BLOCK, Information, 4, 8);
ABI_SIZE(IRP, 0x70, 0xD0);
ABI_AT(IRP, Flags, 0x08, 0x10);
ABI_AT(IRP, AssociatedIrp, 0x0C, 0x18);
ABI_AT(IRP, IoStatus, 0x18, 0x30);
ABI_AT(IRP, PendingReturned, 0x21, 0x41);
ABI_AT(IRP, StackCount, 0x22, 0x42);
ABI_AT(IRP, CurrentLocation, 0x23, 0x43);
ABI_AT(IRP, Cancel, 0x24, 0x44);
ABI_AT(IRP, UserIosb, 0x28, 0x48);
ABI_AT(IRP, UserEvent, 0x2C, 0x50);
ABI_AT(IRP, CancelRoutine, 0x38, 0x68);
ABI_AT(IRP, Tail.Overlay.CurrentStackLocation, 0x60, 0xB8);

ABI_SIZE(IO_STACK_LOCATION, 0x24, 0x48);
ABI_AT(IO_STACK_LOCATION, MinorFunction, 0x01, 0x01);
ABI_AT(IO_STACK_LOCATION, Control, 0x03, 0x03);
ABI_AT(IO_STACK_LOCATION, Parameters, 0x04, 0x08);
ABI_AT(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResourcesTranslated, 0x08, 0x10);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryInterface.Size, 0x08, 0x10);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryInterface.Version, 0x0A, 0x12);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryInterface.Interface, 0x0C, 0x18);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceSpecificData, 0x10, 0x20);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryId.IdType, 0x04, 0x08);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryDeviceText.LocaleId, 0x08, 0x10);
ABI_AT(IO_STACK_LOCATION, Parameters.Power.Type, 0x08, 0x10);
ABI_AT(IO_STACK_LOCATION, Parameters.Power.State, 0x0C, 0x18);
ABI_AT(IO_STACK_LOCATION, Parameters.Power.ShutdownType, 0x10, 0x20);
ABI_AT(IO_STACK_LOCATION, Parameters.Read.ByteOffset, 0x0C, 0x18);
ABI_AT(IO_STACK_LOCATION, DeviceObject, 0x14, 0x28);
ABI_AT(IO_STACK_LOCATION, FileObject, 0x18, 0x30);
ABI_AT(IO_STACK_LOCATION, CompletionRoutine, 0x1C, 0x38);
ABI_AT(IO_STACK_LOCATION, Context, 0x20, 0x40);

ABI_SIZE(CM_PARTIAL_RESOURCE_DESCRIPTOR, 16, 20);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, ShareDisposition, 1, 1);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, Flags, 2, 2);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Start, 4, 4);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Length, 12, 12);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Level, 4, 4);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Vector, 8, 8);
/* Pointer-sized, and the descriptor packed to 4: 20 bytes on x64. */
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Affinity, 12, 12);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Memory.Start, 4, 4);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Memory.Length, 12, 12);
ABI_SIZE(CM_FULL_RESOURCE_DESCRIPTOR, 32, 36);
ABI_AT(CM_RESOURCE_LIST, List[0].PartialResourceList.Count, 16, 16);
ABI_AT(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors, 20, 20);
ABI_SIZE(CM_RESOURCE_LIST, 36, 40);

ABI_SIZE(IO_RESOURCE_DESCRIPTOR, 32, 32);
ABI_AT(IO_RESOURCE_DESCRIPTOR, Flags, 4, 4);
ABI_AT(IO_RESOURCE_DESCRIPTOR, u.Interrupt.MinimumVector, 8, 8);
ABI_AT(IO_RESOURCE_DESCRIPTOR, u.Port.MinimumAddress, 16, 16);
ABI_AT(IO_RESOURCE_REQUIREMENTS_LIST, AlternativeLists, 28, 28);
ABI_AT(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Count, 36, 36);
ABI_AT(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Descriptors, 40, 40);
ABI_SIZE(IO_RESOURCE_REQUIREMENTS_LIST, 72, 72);

/* The capability bit-field word follows Size and Version; UniqueID is 0x40. */
ABI_SIZE(DEVICE_CAPABILITIES, 64, 64);
ABI_AT(DEVICE_CAPABILITIES, Address, 8, 8);
ABI_AT(DEVICE_CAPABILITIES, DeviceState, 16, 16);
ABI_AT(DEVICE_CAPABILITIES, D3Latency, 60, 60);

ABI_SIZE(DEVICE_RELATIONS, 8, 16);
ABI_AT(DEVICE_RELATIONS, Objects, 4, 8);

ABI_SIZE(INTERFACE, 16, 32);
ABI_AT(INTERFACE, Context, 4, 8);
ABI_AT(INTERFACE, InterfaceReference, 8, 16);
ABI_AT(INTERFACE, InterfaceDereference, 12, 24);

ABI_SIZE(KEY_VALUE_FULL_INFORMATION, 24, 24);
ABI_AT(KEY_VALUE_FULL_INFORMATION, DataOffset, 8, 8);
ABI_AT(KEY_VALUE_FULL_INFORMATION, DataLength, 12, 12);
ABI_AT(KEY_VALUE_FULL_INFORMATION, NameLength, 16, 16);
ABI_AT(KEY_VALUE_FULL_INFORMATION, Name, 20, 20);
ABI_SIZE(KEY_VALUE_PARTIAL_INFORMATION, 16, 16);
ABI_AT(KEY_VALUE_PARTIAL_INFORMATION, DataLength, 8, 8);
ABI_AT(KEY_VALUE_PARTIAL_INFORMATION, Data, 12, 12);

ABI_SIZE(RTL_QUERY_REGISTRY_TABLE, 28, 56);
ABI_AT(RTL_QUERY_REGISTRY_TABLE, Flags, 4, 8);
ABI_AT(RTL_QUERY_REGISTRY_TABLE, EntryContext, 12, 24);
ABI_AT(RTL_QUERY_REGISTRY_TABLE, DefaultType, 16, 32);
ABI_AT(RTL_QUERY_REGISTRY_TABLE, DefaultLength, 24, 48);

ABI_SIZE(IO_REMOVE_LOCK_COMMON_BLOCK, 24, 32);
ABI_SIZE(IO_REMOVE_LOCK, 88, 120);
ABI_AT(IO_REMOVE_LOCK, Common.IoCount, 4, 4);
ABI_AT(IO_REMOVE_LOCK, Dbg.MaxLockedTicks, 32, 40);
ABI_AT(IO_REMOVE_LOCK, Dbg.Blocks, 80, 112);

// Enumerations whose values the drivers hand to the kernel or read from it.
static_assert(PCIBus == 5 && PCMCIABus == 8 && PNPBus == 15 && MaximumInterfaceType == 18, "INTERFACE_TYPE values");
