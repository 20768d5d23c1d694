/*
 * PortBusInterface: the private interface that mpsbus hands to each port
 * device's stack through IRP_MN_QUERY_INTERFACE. A filter above the port
 * uses it during the port's START to fetch the whole board's resource lists.
 *
 * The record crosses drivers, so its layout is fixed: the standard
 * INTERFACE header followed by two routine pointers, 24 bytes on x86 (48 on
 * x64, where the pointers and the header grow). The query's size check
 * asks for exactly sizeof(PortBusInterface) on either target. Every
 * routine takes Context as its first argument; the record itself is never
 * passed.
 *
 * A successful query already holds one reference (the board's remove lock
 * is held with it); the client gives it back with InterfaceDereference
 * exactly once and never calls InterfaceReference itself.
 */
#pragma once

#include <ntddk.h>

/* {5B1D7C42-9E3A-4F60-8D21-3C7A9E04B6F1} */
static const GUID GUID_PORT_BUS_INTERFACE = {
    0x5B1D7C42, 0x9E3A, 0x4F60, {0x8D, 0x21, 0x3C, 0x7A, 0x9E, 0x04, 0xB6, 0xF1}};

#define PORT_BUS_INTERFACE_VERSION 1

/* Pool copies of the board's raw and translated lists, with the board's
   interrupt status register as a one-byte port; the caller frees both with
   ExFreePool. On failure both receive NULL. */
typedef NTSTATUS NTAPI PORT_GET_RESOURCE_LISTS(PVOID Context, PCM_RESOURCE_LIST *Raw,
                                               PCM_RESOURCE_LIST *Translated);
typedef PORT_GET_RESOURCE_LISTS *PPORT_GET_RESOURCE_LISTS;

/* Words[0] receives the stored option setting word, Words[1] the mode
   setting word; the option setting is programmed into the board. */
typedef NTSTATUS NTAPI PORT_SET_PORT_OPTIONS(PVOID Context, PULONG Words);
typedef PORT_SET_PORT_OPTIONS *PPORT_SET_PORT_OPTIONS;

struct PortBusInterface {
    USHORT Size;                                /* sizeof(PortBusInterface), 24 on x86 */
    USHORT Version;                             /* PORT_BUS_INTERFACE_VERSION */
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PPORT_GET_RESOURCE_LISTS GetResourceLists;
    PPORT_SET_PORT_OPTIONS SetPortOptions;
};

#ifndef _WIN64
static_assert(sizeof(PortBusInterface) == 24, "PortBusInterface is 24 bytes on x86");
#endif
static_assert(offsetof(PortBusInterface, Context) == offsetof(INTERFACE, Context), "INTERFACE header");
static_assert(offsetof(PortBusInterface, InterfaceDereference) == offsetof(INTERFACE, InterfaceDereference),
              "INTERFACE header");
static_assert(offsetof(PortBusInterface, GetResourceLists) == sizeof(INTERFACE), "routines follow the header");
