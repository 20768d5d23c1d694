/*
 * The PortBusInterface as mpsbus answers it: the query at a port device, the
 * references that hold the board's remove lock, and the board's resource
 * lists rewritten so that the interrupt status register is a one-byte port
 * of its own.
 */
#pragma once

#include "mpsbus.h"

/* gendev's query-interface handler of the port devices. */
NTSTATUS NTAPI QueryPortInterface(PDEVICE_OBJECT Port, PIRP Irp);

/* Interface members; Context is the BoardExtension. */
VOID NTAPI ReferencePortInterface(PVOID Context);
VOID NTAPI DereferencePortInterface(PVOID Context);
NTSTATUS NTAPI GetResourceLists(PVOID Context, PCM_RESOURCE_LIST *Raw, PCM_RESOURCE_LIST *Translated);

/* The rewrites of one list copy. A PCI list's 128-byte bridge range becomes
   the one-byte port; an ISA list, which has room for one more descriptor
   behind its last, gains it. Both fail with STATUS_UNSUCCESSFUL when the list
   lacks what the port is derived from. */
NTSTATUS ConvertBridgeDescriptor(PCM_RESOURCE_LIST List);
NTSTATUS AppendStatusPortDescriptor(PCM_RESOURCE_LIST List);
