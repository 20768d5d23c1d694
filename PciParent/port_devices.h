/* The port devices of a board and their identity strings. */
#pragma once

#include "mpsbus.h"

/* The last step of the board's start: one port device per port, all or
   none. A board that already has its ports keeps them. */
NTSTATUS CreatePortDevices(PDEVICE_OBJECT Board);

/* Each stores one string of the port, in nonpaged pool; the port owns it
   until DeletePortDevices. */
NTSTATUS BuildHardwareIds(PortExtension *Port);
NTSTATUS BuildDeviceId(PortExtension *Port, BoardExtension *Board);
NTSTATUS BuildInstanceId(PortExtension *Port, ULONG PortNumber);

/* IRP_MN_QUERY_ID and IRP_MN_QUERY_DEVICE_TEXT of a port: a paged-pool
   answer that passes to the PnP manager, or NULL. */
NTSTATUS NTAPI QueryPortId(PDEVICE_OBJECT Port, BUS_QUERY_ID_TYPE Type, PWSTR *Id);
NTSTATUS NTAPI QueryPortText(PDEVICE_OBJECT Port, DEVICE_TEXT_TYPE Type, PWSTR *Text);
