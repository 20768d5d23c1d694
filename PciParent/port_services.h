/* Bus relations, capabilities, start and teardown of a board's ports. */
#pragma once

#include "mpsbus.h"

NTSTATUS NTAPI QueryBusRelations(PDEVICE_OBJECT Board, PDEVICE_RELATIONS *Relations);
NTSTATUS NTAPI QueryPortCapabilities(PDEVICE_OBJECT Port, PDEVICE_CAPABILITIES *Capabilities);
NTSTATUS NTAPI StartPort(PDEVICE_OBJECT Port, PCM_RESOURCE_LIST Unused1, PCM_RESOURCE_LIST Unused2);
NTSTATUS DeletePortDevices(PDEVICE_OBJECT Board);
