#include "board_registers.h"

UCHAR ReadUartRegister(const BoardExtension *Board, ULONG Offset)
{
    PUCHAR address = reinterpret_cast<PUCHAR>(Board->UartBase + Offset);
    return Board->UartMappedLength != 0 ? READ_REGISTER_UCHAR(address) : READ_PORT_UCHAR(address);
}

VOID WriteUartRegister(const BoardExtension *Board, ULONG Offset, UCHAR Value)
{
    PUCHAR address = reinterpret_cast<PUCHAR>(Board->UartBase + Offset);
    if (Board->UartMappedLength != 0)
        WRITE_REGISTER_UCHAR(address, Value);
    else
        WRITE_PORT_UCHAR(address, Value);
}

ULONG ReadBridgeRegister(const BoardExtension *Board, ULONG Offset)
{
    PULONG address = reinterpret_cast<PULONG>(Board->BridgeBase + Offset);
    return Board->BridgeMappedLength != 0 ? READ_REGISTER_ULONG(address) : READ_PORT_ULONG(address);
}

VOID WriteBridgeRegister(const BoardExtension *Board, ULONG Offset, ULONG Value)
{
    PULONG address = reinterpret_cast<PULONG>(Board->BridgeBase + Offset);
    if (Board->BridgeMappedLength != 0)
        WRITE_REGISTER_ULONG(address, Value);
    else
        WRITE_PORT_ULONG(address, Value);
}
