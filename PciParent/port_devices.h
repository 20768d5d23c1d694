/* The port devices of a board and their identity strings. */
#pragma once

#include "mpsbus.h"

NTSTATUS CreatePortDevices(PDEVICE_OBJECT Board);
NTSTATUS NTAPI QueryPortId(PDEVICE_OBJECT Port, BUS_QUERY_ID_TYPE Type, PWSTR *Id);
NTSTATUS NTAPI QueryPortText(PDEVICE_OBJECT Port, DEVICE_TEXT_TYPE Type, PWSTR *Text);
