/* Which board this is: bus, model, port count, brand and board number. */
#pragma once

#include "mpsbus.h"
#include "models.h"

/* The number the next board of each model gets; 1 when the driver loads.
   Numbers are never given back: they depend on the order boards start in. */
extern ULONG ModelCounters[MPS_MODEL_COUNT];

/* Decides BusType, ModelIndex, PortCount, OemFlavour, DeviceCode and
   SkipBridgeInit from the Plug and Play properties of the board's PDO, and
   numbers the board among boards of its model. Touches no register. */
NTSTATUS IdentifyBoard(PDEVICE_OBJECT Board);
