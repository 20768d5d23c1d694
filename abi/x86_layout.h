/*
 * The 32-bit x86 layout of every platform structure the drivers touch.
 * Compiled in both builds: against mingw-w64's DDK headers it pins the real
 * ABI, against the host headers it proves they match it.
 */
#pragma once
#include <ntddk.h>

#define ABI_SIZE(type, size) static_assert(sizeof(type) == (size), "size of " #type)
#define ABI_AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)

ABI_SIZE(void *, 4);
ABI_SIZE(wchar_t, 2);
ABI_SIZE(LARGE_INTEGER, 8);
ABI_SIZE(LIST_ENTRY, 8);
ABI_SIZE(KSPIN_LOCK, 4);

ABI_SIZE(UNICODE_STRING, 8);
ABI_AT(UNICODE_STRING, MaximumLength, 2);
ABI_AT(UNICODE_STRING, Buffer, 4);
ABI_SIZE(GUID, 16);

ABI_SIZE(KEVENT, 16);
ABI_SIZE(KDPC, 32);
ABI_SIZE(KDEVICE_QUEUE, 20);

ABI_SIZE(DRIVER_OBJECT, 0xA8);
ABI_AT(DRIVER_OBJECT, DeviceObject, 0x04);
ABI_AT(DRIVER_OBJECT, DriverExtension, 0x18);
ABI_AT(DRIVER_OBJECT, DriverName, 0x1C);
ABI_AT(DRIVER_OBJECT, DriverUnload, 0x34);
ABI_AT(DRIVER_OBJECT, MajorFunction, 0x38);
ABI_AT(DRIVER_EXTENSION, AddDevice, 0x04);

ABI_SIZE(DEVICE_OBJECT, 0xB8);
ABI_AT(DEVICE_OBJECT, ReferenceCount, 0x04);
ABI_AT(DEVICE_OBJECT, DriverObject, 0x08);
ABI_AT(DEVICE_OBJECT, NextDevice, 0x0C);
ABI_AT(DEVICE_OBJECT, AttachedDevice, 0x10);
ABI_AT(DEVICE_OBJECT, Flags, 0x1C);
ABI_AT(DEVICE_OBJECT, Characteristics, 0x20);
ABI_AT(DEVICE_OBJECT, DeviceExtension, 0x28);
ABI_AT(DEVICE_OBJECT, DeviceType, 0x2C);
ABI_AT(DEVICE_OBJECT, StackSize, 0x30);
ABI_AT(DEVICE_OBJECT, DeviceLock, 0x9C);
ABI_AT(DEVICE_OBJECT, DeviceObjectExtension, 0xB0);

ABI_SIZE(IO_STATUS_BLOCK, 8);
ABI_SIZE(IRP, 0x70);
ABI_AT(IRP, Flags, 0x08);
ABI_AT(IRP, AssociatedIrp, 0x0C);
ABI_AT(IRP, IoStatus, 0x18);
ABI_AT(IRP, PendingReturned, 0x21);
ABI_AT(IRP, StackCount, 0x22);
ABI_AT(IRP, CurrentLocation, 0x23);
ABI_AT(IRP, Cancel, 0x24);
ABI_AT(IRP, UserIosb, 0x28);
ABI_AT(IRP, UserEvent, 0x2C);
ABI_AT(IRP, CancelRoutine, 0x38);
ABI_AT(IRP, Tail.Overlay.CurrentStackLocation, 0x60);

ABI_SIZE(IO_STACK_LOCATION, 0x24);
ABI_AT(IO_STACK_LOCATION, MinorFunction, 0x01);
ABI_AT(IO_STACK_LOCATION, Control, 0x03);
ABI_AT(IO_STACK_LOCATION, Parameters, 0x04);
ABI_AT(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResourcesTranslated, 0x08);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryInterface.Size, 0x08);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryInterface.Version, 0x0A);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryInterface.Interface, 0x0C);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceSpecificData, 0x10);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryId.IdType, 0x04);
ABI_AT(IO_STACK_LOCATION, Parameters.QueryDeviceText.LocaleId, 0x08);
ABI_AT(IO_STACK_LOCATION, Parameters.Power.Type, 0x08);
ABI_AT(IO_STACK_LOCATION, Parameters.Power.State, 0x0C);
ABI_AT(IO_STACK_LOCATION, Parameters.Power.ShutdownType, 0x10);
ABI_AT(IO_STACK_LOCATION, Parameters.Read.ByteOffset, 0x0C);
ABI_AT(IO_STACK_LOCATION, DeviceObject, 0x14);
ABI_AT(IO_STACK_LOCATION, FileObject, 0x18);
ABI_AT(IO_STACK_LOCATION, CompletionRoutine, 0x1C);
ABI_AT(IO_STACK_LOCATION, Context, 0x20);

ABI_SIZE(CM_PARTIAL_RESOURCE_DESCRIPTOR, 16);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, ShareDisposition, 1);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, Flags, 2);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Start, 4);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Length, 12);
ABI_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Vector, 8);
ABI_AT(CM_RESOURCE_LIST, List[0].PartialResourceList.Count, 16);
ABI_AT(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors, 20);
ABI_SIZE(CM_RESOURCE_LIST, 36);

ABI_SIZE(IO_RESOURCE_DESCRIPTOR, 32);
ABI_AT(IO_RESOURCE_DESCRIPTOR, Flags, 4);
ABI_AT(IO_RESOURCE_DESCRIPTOR, u.Interrupt.MinimumVector, 8);
ABI_AT(IO_RESOURCE_DESCRIPTOR, u.Port.MinimumAddress, 16);
ABI_AT(IO_RESOURCE_REQUIREMENTS_LIST, AlternativeLists, 28);
ABI_AT(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Count, 36);
ABI_AT(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Descriptors, 40);
ABI_SIZE(IO_RESOURCE_REQUIREMENTS_LIST, 72);

/* The capability bit-field word follows Size and Version; UniqueID is 0x40. */
ABI_SIZE(DEVICE_CAPABILITIES, 64);
ABI_AT(DEVICE_CAPABILITIES, Address, 8);
ABI_AT(DEVICE_CAPABILITIES, DeviceState, 16);
ABI_AT(DEVICE_CAPABILITIES, D3Latency, 60);

ABI_SIZE(DEVICE_RELATIONS, 8);
ABI_AT(DEVICE_RELATIONS, Objects, 4);

ABI_SIZE(INTERFACE, 16);
ABI_AT(INTERFACE, Context, 4);
ABI_AT(INTERFACE, InterfaceReference, 8);
ABI_AT(INTERFACE, InterfaceDereference, 12);

ABI_SIZE(KEY_VALUE_FULL_INFORMATION, 24);
ABI_AT(KEY_VALUE_FULL_INFORMATION, DataOffset, 8);
ABI_AT(KEY_VALUE_FULL_INFORMATION, DataLength, 12);
ABI_AT(KEY_VALUE_FULL_INFORMATION, NameLength, 16);
ABI_AT(KEY_VALUE_FULL_INFORMATION, Name, 20);

ABI_SIZE(RTL_QUERY_REGISTRY_TABLE, 28);
ABI_AT(RTL_QUERY_REGISTRY_TABLE, Flags, 4);
ABI_AT(RTL_QUERY_REGISTRY_TABLE, EntryContext, 12);
ABI_AT(RTL_QUERY_REGISTRY_TABLE, DefaultType, 16);
ABI_AT(RTL_QUERY_REGISTRY_TABLE, DefaultLength, 24);

ABI_SIZE(IO_REMOVE_LOCK_COMMON_BLOCK, 24);
ABI_SIZE(IO_REMOVE_LOCK, 88);
ABI_AT(IO_REMOVE_LOCK, Common.IoCount, 4);
ABI_AT(IO_REMOVE_LOCK, Dbg.MaxLockedTicks, 32);
ABI_AT(IO_REMOVE_LOCK, Dbg.Blocks, 80);

// Enumerations whose values the drivers hand to the kernel or read from it.
static_assert(PCIBus == 5 && PCMCIABus == 8 && PNPBus == 15 && MaximumInterfaceType == 18, "INTERFACE_TYPE values");
