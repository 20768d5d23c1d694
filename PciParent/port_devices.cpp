/*
 * The port devices of a board: one child device per serial port, created at
 * the end of the board's start, and the identity the PnP manager asks them
 * for. The device ID and instance ID together name the port's device node;
 * the hardware ID picks the serial port driver (with mpsfilt above it); the
 * location text tells mpsfilt which port of the board its stack serves.
 */
#include "port_devices.h"

#include "models.h"
#include "port_services.h"

namespace {

/* What the brand changes in a port's identity. Every prefix ends with the
   only "\" of the device ID and holds no "_": the location text is cut out
   of the device ID at those two characters. */
struct BrandTexts {
    PCWSTR DeviceIdPrefix;
    PCWSTR Description;
    PCWSTR PcmciaHardwareId;
};

/* Indexed by OemFlavour. */
const BrandTexts Brands[] = {
    /* 0 */ {L"VelmoraMultiportSerial\\", L"Velmora Serial Port", L"VELMORA_PCMCIA_SERIAL_PORT"},
    /* 1 */ {L"TarvoMultiportSerial\\", L"Tarvo Serial Port", L"TARVO_PCMCIA_SERIAL_PORT"},
    /* 2 */ {L"BriselMultiportSerial\\", L"Brisel Serial Port", L"BRISEL_PCMCIA_SERIAL_PORT"},
};

/* A flavour the table does not know is sold as Velmora. */
const BrandTexts &BrandOf(ULONG oemFlavour)
{
    return oemFlavour < sizeof(Brands) / sizeof(Brands[0]) ? Brands[oemFlavour] : Brands[0];
}

/* PCI and ISA ports carry the same hardware ID whatever the brand; a
   root-enumerated board counts as ISA. */
PCWSTR HardwareIdOf(ULONG busType, ULONG oemFlavour)
{
    if (busType == MPS_BUS_PCI) return L"VELMORA_PCI_SERIAL_PORT";
    if (busType == MPS_BUS_PCMCIA) return BrandOf(oemFlavour).PcmciaHardwareId;
    return L"VELMORA_ISA_SERIAL_PORT";
}

const USHORT DeviceIdBytes = 256;
const USHORT LocationBytes = 80;     /* 39 characters and the terminator */

PWSTR AllocateZeroed(POOL_TYPE poolType, SIZE_T bytes)
{
    PWSTR buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(poolType, bytes, MPS_POOL_TAG));
    if (buffer != NULL) RtlZeroMemory(buffer, bytes);
    return buffer;
}

/* A counted string over a buffer of |bytes| that a string is built in. */
UNICODE_STRING EmptyStringIn(PWSTR buffer, USHORT bytes)
{
    UNICODE_STRING string;
    string.Length = 0;
    string.MaximumLength = bytes;
    string.Buffer = buffer;
    return string;
}

/* Characters |from| up to |to|, not counting |to|. */
UNICODE_STRING CountedString(PCWSTR from, PCWSTR to)
{
    UNICODE_STRING string;
    string.Length = string.MaximumLength = static_cast<USHORT>((to - from) * sizeof(WCHAR));
    string.Buffer = const_cast<PWSTR>(from);
    return string;
}

/* BoardNumber as a counted string; read no further than its field, so a
   number that identification left unterminated cannot run past it. */
UNICODE_STRING BoardNumberOf(const BoardExtension *board)
{
    const SIZE_T longest = sizeof(board->BoardNumber) / sizeof(WCHAR) - 1;
    SIZE_T length = 0;
    while (length < longest && board->BoardNumber[length] != 0) ++length;
    return CountedString(board->BoardNumber, board->BoardNumber + length);
}

/* A paged-pool copy of |source| for the PnP manager, followed by
   |terminators| NULs: two turn one string into a multi-string. */
NTSTATUS CopyForManager(PCWSTR source, SIZE_T terminators, PWSTR *copy)
{
    const SIZE_T bytes = wcslen(source) * sizeof(WCHAR);
    *copy = AllocateZeroed(PagedPool, bytes + terminators * sizeof(WCHAR));
    if (*copy == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(*copy, source, bytes);
    return STATUS_SUCCESS;
}

/*
 * "<model> board <number> port <port>", cut out of the port's own strings:
 * the model runs from behind the device ID's "\" to the next "_", the board
 * number from there to the end, the port number follows the instance ID's
 * "_". mpsfilt finds its port index behind the word "port", which nothing
 * before it contains.
 */
NTSTATUS BuildLocationText(const PortExtension *port, PWSTR *text)
{
    PCWSTR model = wcschr(port->DeviceId, L'\\') + 1;
    PCWSTR modelEnd = wcschr(model, L'_');
    const UNICODE_STRING modelName = CountedString(model, modelEnd);
    PCWSTR boardNumber = modelEnd + 1;
    PCWSTR portNumber = wcschr(port->InstanceId, L'_') + 1;

    *text = AllocateZeroed(PagedPool, LocationBytes);
    if (*text == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING location = EmptyStringIn(*text, LocationBytes);
    NTSTATUS status = RtlAppendUnicodeStringToString(&location, &modelName);
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&location, L" board ");
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&location, boardNumber);
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&location, L" port ");
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&location, portNumber);
    if (!NT_SUCCESS(status)) {
        ExFreePool(*text);
        *text = NULL;
    }
    return status;
}

/* One port device, linked into the board's list before its strings exist,
   so that whatever fails here is deleted with the rest of the board's
   ports. */
NTSTATUS CreatePortDevice(PDEVICE_OBJECT Board, ULONG PortNumber)
{
    BoardExtension *board = BoardOf(Board);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(Board->DriverObject, sizeof(PortExtension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;

    PortExtension *port = PortOf(device);
    port->IsBoard = FALSE;
    port->DeviceObject = device;
    port->ParentBoard = Board;
    port->PortNumber = PortNumber;
    port->OemFlavour = board->OemFlavour;
    /* The serial port driver above takes its I/O method from the port, and
       the port takes it from the board. */
    device->Flags |= Board->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    device->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    /* The port's PnP and power requests go to the board's library area. */
    port->GenericExtension = board->GenericExtension;
    ExInterlockedInsertTailList(&board->ChildList, &port->ChildLink, &board->ChildListLock);

    status = BuildHardwareIds(port);
    if (NT_SUCCESS(status)) status = BuildDeviceId(port, board);
    if (NT_SUCCESS(status)) status = BuildInstanceId(port, PortNumber);
    return status;
}

}  // namespace

NTSTATUS CreatePortDevices(PDEVICE_OBJECT Board)
{
    BoardExtension *board = BoardOf(Board);
    /* A board that starts again after a stop keeps the ports it has: their
       device nodes, names and registry settings stay as they were. */
    if (!IsListEmpty(&board->ChildList)) return STATUS_SUCCESS;

    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG portNumber = 1; portNumber <= board->PortCount && NT_SUCCESS(status); ++portNumber)
        status = CreatePortDevice(Board, portNumber);

    /* All ports or none: the board reports no partial set. */
    if (!NT_SUCCESS(status)) DeletePortDevices(Board);
    return status;
}

NTSTATUS BuildHardwareIds(PortExtension *Port)
{
    const BoardExtension *board = BoardOf(Port->ParentBoard);
    PCWSTR id = HardwareIdOf(board->BusType, Port->OemFlavour);
    const SIZE_T bytes = wcslen(id) * sizeof(WCHAR);
    /* Two terminators: a multi-string of one entry. */
    Port->HardwareIds = AllocateZeroed(gNonPagedPoolType, bytes + 2 * sizeof(WCHAR));
    if (Port->HardwareIds == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(Port->HardwareIds, id, bytes);
    return STATUS_SUCCESS;
}

NTSTATUS BuildDeviceId(PortExtension *Port, BoardExtension *Board)
{
    Port->DeviceId = AllocateZeroed(gNonPagedPoolType, DeviceIdBytes);
    if (Port->DeviceId == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    if (Board->ModelIndex >= MPS_MODEL_COUNT) return STATUS_NO_SUCH_DEVICE;

    UNICODE_STRING id = EmptyStringIn(Port->DeviceId, DeviceIdBytes);
    const UNICODE_STRING boardNumber = BoardNumberOf(Board);
    NTSTATUS status = RtlAppendUnicodeToString(&id, BrandOf(Port->OemFlavour).DeviceIdPrefix);
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&id, BoardModels[Board->ModelIndex].Name);
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&id, L"_");
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeStringToString(&id, &boardNumber);
    return status;
}

NTSTATUS BuildInstanceId(PortExtension *Port, ULONG PortNumber)
{
    WCHAR digitsBuffer[5];
    UNICODE_STRING digits = EmptyStringIn(digitsBuffer, sizeof(digitsBuffer));
    NTSTATUS status = RtlIntegerToUnicodeString(PortNumber, 10, &digits);
    if (!NT_SUCCESS(status)) return status;

    /* "PORT_", the digits and a terminator. */
    const USHORT bytes = static_cast<USHORT>(5 * sizeof(WCHAR) + digits.Length + sizeof(WCHAR));
    Port->InstanceId = AllocateZeroed(gNonPagedPoolType, bytes);
    if (Port->InstanceId == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING id = EmptyStringIn(Port->InstanceId, bytes);
    status = RtlAppendUnicodeToString(&id, L"PORT_");
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeStringToString(&id, &digits);
    return status;
}

NTSTATUS NTAPI QueryPortId(PDEVICE_OBJECT Port, BUS_QUERY_ID_TYPE Type, PWSTR *Id)
{
    const PortExtension *port = PortOf(Port);
    *Id = NULL;
    switch (Type) {
    case BusQueryDeviceID:
        return CopyForManager(port->DeviceId, 1, Id);
    case BusQueryHardwareIDs:
        return CopyForManager(port->HardwareIds, 2, Id);
    case BusQueryCompatibleIDs:
        /* A port has none: success with no list. */
        return STATUS_SUCCESS;
    case BusQueryInstanceID:
        return CopyForManager(port->InstanceId, 1, Id);
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS NTAPI QueryPortText(PDEVICE_OBJECT Port, DEVICE_TEXT_TYPE Type, PWSTR *Text)
{
    const PortExtension *port = PortOf(Port);
    *Text = NULL;
    switch (Type) {
    case DeviceTextDescription:
        return CopyForManager(BrandOf(port->OemFlavour).Description, 1, Text);
    case DeviceTextLocationInformation:
        return BuildLocationText(port, Text);
    default:
        return STATUS_NOT_SUPPORTED;
    }
}
