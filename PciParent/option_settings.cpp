/*
 * The option words of a board, kept under its device key: probed and stored
 * at each start, handed out and programmed through the port bus interface.
 * Only the cards -05D3-004B to -004E carry the registers; the two with a
 * mode control register are -004C and -004E.
 */
#include "option_registers.h"
#include "registry_values.h"

namespace {

const ULONG FirstOptionCard = 0x4B;  /* 75 */
const ULONG LastOptionCard = 0x4E;   /* 78 */
const ULONG ModeControlCardA = 0x4C; /* 76 */
const ULONG ModeControlCardB = 0x4E; /* 78 */

const WCHAR HworName[] = L"HWOR";
const WCHAR VoprName[] = L"VOPR";
const WCHAR VmcrName[] = L"VMCR";

/* "HWOR": the fields a settable register reports. */
const ULONG HworOptionSettable = 0x8F;
const ULONG HworModeLowField = 0x0000FF00, HworModeLowSettable = 0x00008F00;
const ULONG HworModeHighField = 0x000F0000, HworModeHighSettable = 0x00070000;

/* "VOPR": the option setting, and the flag that asks for the default. */
const ULONG VoprSettingBits = 0x03;
const ULONG VoprDefaultFlag = 0x100;
const ULONG VoprDefaultSetting = 3;
const ULONG VoprMeaningfulBits = 0x8F;

/* "VMCR" for a settable mode field that has no stored setting. */
const ULONG VmcrDefault = 0x10;
const ULONG VmcrModeHighBits = 0x1C;

BOOLEAN HasOptionRegisters(const BoardExtension *board)
{
    return board->DeviceCode >= FirstOptionCard && board->DeviceCode <= LastOptionCard;
}

BOOLEAN HasModeControl(const BoardExtension *board)
{
    return board->DeviceCode == ModeControlCardA || board->DeviceCode == ModeControlCardB;
}

/* Reads and writes go through the one handle this opens; a kernel-mode
   caller's handle is not access-checked, so READ_CONTROL serves both. */
NTSTATUS OpenBoardKey(const BoardExtension *board, PHANDLE key)
{
    return IoOpenDeviceRegistryKey(board->Pdo, PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, key);
}

NTSTATUS QueryWord(HANDLE key, const WCHAR (&name)[5], PULONG word)
{
    return QueryRegistryValue(key, name, sizeof(name), word, sizeof(*word));
}

/* The start goes on whether or not a word could be stored. */
VOID StoreWord(HANDLE key, const WCHAR (&name)[5], ULONG word)
{
    (VOID) SetRegistryValue(key, name, sizeof(name), REG_DWORD, &word, sizeof(word));
}

/* Probes every field the card has and completes the words: a settable field
   is reported in "HWOR", and a setting that was never stored receives its
   default. Fixed and absent fields are recorded by the probes themselves. */
VOID ProbeFields(BoardExtension *board, PULONG hwor, PULONG vopr, PULONG vmcr, BOOLEAN vmcrStored)
{
    if (HasModeControl(board)) {
        if (!ProbeModeBitsLow(board, vmcr, hwor)) {
            *hwor = (*hwor & ~HworModeLowField) | HworModeLowSettable;
            if (!vmcrStored) *vmcr = VmcrDefault;
        }
        if (!ProbeModeBitsHigh(board, vmcr, hwor)) {
            *hwor = (*hwor & ~HworModeHighField) | HworModeHighSettable;
            if (!vmcrStored) *vmcr = (*vmcr & ~VmcrModeHighBits) | VmcrDefault;
        }
    }
    if (!ProbeOptionBits(board, vopr, hwor)) {
        *hwor |= HworOptionSettable;
        /* A setting never stored reads 0, and a word without a setting
           asks for the default as well. */
        if ((*vopr & VoprMeaningfulBits) == 0) *vopr |= VoprDefaultFlag;
    }
}

}  // namespace

/* A missing, unreadable or oversized value counts as never stored and reads
   as 0. Nothing here may fail the start. */
NTSTATUS ConfigureOptionRegisters(PDEVICE_OBJECT Board)
{
    BoardExtension *board = BoardOf(Board);
    HANDLE key = NULL;
    if (!NT_SUCCESS(OpenBoardKey(board, &key))) return STATUS_SUCCESS;

    ULONG hwor = 0, vopr = 0, vmcr = 0;
    (VOID) QueryWord(key, HworName, &hwor);
    (VOID) QueryWord(key, VoprName, &vopr);
    BOOLEAN vmcrStored = NT_SUCCESS(QueryWord(key, VmcrName, &vmcr));

    if (HasOptionRegisters(board)) {
        ProbeFields(board, &hwor, &vopr, &vmcr, vmcrStored);
        StoreWord(key, HworName, hwor);
        StoreWord(key, VoprName, vopr);
        StoreWord(key, VmcrName, vmcr);
    }

    ZwClose(key);
    return STATUS_SUCCESS;
}

/* The presence signature runs before the card is known to have the
   register, so any board's first port sees it. */
NTSTATUS NTAPI SetPortOptions(PVOID Context, PULONG Words)
{
    BoardExtension *board = static_cast<BoardExtension *>(Context);
    HANDLE key = NULL;
    NTSTATUS status = OpenBoardKey(board, &key);
    if (!NT_SUCCESS(status)) return status;
    /* A restart must not move the UART range under the sequence. */
    LockResources(board);

    status = QueryWord(key, VoprName, &Words[0]);
    if (NT_SUCCESS(status)) status = QueryWord(key, VmcrName, &Words[1]);
    if (NT_SUCCESS(status) && OptionRegisterAbsent(board)) status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (NT_SUCCESS(status)) {
        ULONG setting = Words[0] & (VoprDefaultFlag | VoprSettingBits);
        if (setting == VoprDefaultFlag) setting = VoprDefaultSetting;
        if (HasOptionRegisters(board))
            ProgramOptionSetting(board, static_cast<UCHAR>(setting & VoprSettingBits));
        else
            status = STATUS_OBJECT_NAME_NOT_FOUND;
    }

    UnlockResources(board);
    ZwClose(key);
    return status;
}
