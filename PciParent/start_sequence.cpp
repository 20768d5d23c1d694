/*
 * The board's start, run by gendev once the drivers below have started the
 * board. A failing step ends it; nothing is undone here, because the
 * resources and mappings of the START stay until stop and removal.
 */
#include "mpsbus.h"
#include "identify.h"
#include "option_registers.h"
#include "port_devices.h"
#include "port_services.h"
#include "models.h"
#include "resources.h"

/* The steps at the board's registers, between identification and the
   ports. */
static NTSTATUS RunRegisterSteps(PDEVICE_OBJECT Board)
{
    BoardExtension *board = BoardOf(Board);

    /* Only the identified board says which ranges its register steps need. */
    NTSTATUS status = CheckBoardRanges(Board);
    if (!NT_SUCCESS(status)) return status;

    if (board->BusType == MPS_BUS_PCI) InitPciBridge(Board);

    /* Only a multiport board carries the interrupt status register. */
    if (board->PortCount > 1) {
        status = CheckInterruptStatusRegister(Board);
        if (!NT_SUCCESS(status)) return status;
    }

    return ConfigureOptionRegisters(Board);
}

NTSTATUS NTAPI StartSequence(PDEVICE_OBJECT Board, PCM_RESOURCE_LIST Unused1, PCM_RESOURCE_LIST Unused2)
{
    UNREFERENCED_PARAMETER(Unused1);
    UNREFERENCED_PARAMETER(Unused2);
    BoardExtension *board = BoardOf(Board);

    NTSTATUS status = IdentifyBoard(Board);
    if (!NT_SUCCESS(status)) return status;

    /* A started board's ports may be setting options through the bus
       interface at the same registers. */
    LockResources(board);
    status = RunRegisterSteps(Board);
    UnlockResources(board);
    if (!NT_SUCCESS(status)) return status;

    status = CreatePortDevices(Board);
    if (NT_SUCCESS(status)) ReportMovedPorts(Board);
    return status;
}
