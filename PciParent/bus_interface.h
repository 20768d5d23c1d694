/* The private interface through which a port's stack reaches its board. */
#pragma once

#include "mpsbus.h"

NTSTATUS NTAPI QueryPortInterface(PDEVICE_OBJECT Port, PIRP Irp);
