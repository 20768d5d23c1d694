/*
 * The board family, one row per model. Identification picks a row by the
 * code in the board's hardware ID; the port devices take their model name
 * from the same row. Adding a model adds a row, never code.
 */
#pragma once

#include "mpsbus.h"

/* Legacy bus types as IoGetDeviceProperty reports them (INTERFACE_TYPE). */
#define MPS_BUS_ISA    1   /* Isa; also every root-enumerated board */
#define MPS_BUS_PCI    5   /* PCIBus */
#define MPS_BUS_PCMCIA 8   /* PCMCIABus */

#define MPS_MODEL_COUNT 23

struct BoardModel {
    PCWSTR Name;             /* stands in the port device IDs followed by "_" */
    ULONG BusType;           /* MPS_BUS_* */
    ULONG PortCount;         /* 1, 2, 4 or 8 */
    BOOLEAN SkipBridgeInit;  /* PCI models whose bridge registers are left alone */
};

/* Indexed by BoardExtension.ModelIndex. */
extern const BoardModel BoardModels[MPS_MODEL_COUNT];
