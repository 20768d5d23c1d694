/* Bus relations, capabilities, start and teardown of a board's ports. */
#pragma once

#include "mpsbus.h"

NTSTATUS NTAPI QueryBusRelations(PDEVICE_OBJECT Board, PDEVICE_RELATIONS *Relations);
NTSTATUS NTAPI QueryPortCapabilities(PDEVICE_OBJECT Port, PDEVICE_CAPABILITIES *Capabilities);
NTSTATUS NTAPI StartPort(PDEVICE_OBJECT Port, PCM_RESOURCE_LIST Unused1, PCM_RESOURCE_LIST Unused2);
NTSTATUS DeletePortDevices(PDEVICE_OBJECT Board);
VOID DeletePortStrings(PortExtension *port);

/* The requests of a port that outlived its board (IsOrphanPort). */
NTSTATUS DispatchOrphanPortPnp(PDEVICE_OBJECT Port, PIRP Irp);
NTSTATUS DispatchOrphanPortPower(PIRP Irp);

/* A port's PnP request as it arrives, before gendev answers it. */
VOID NotePortRequest(PDEVICE_OBJECT Port, PIRP Irp);
/* At the end of a board START that succeeded: the started ports whose
   registers moved with the board ask to be started again. */
VOID ReportMovedPorts(PDEVICE_OBJECT Board);
