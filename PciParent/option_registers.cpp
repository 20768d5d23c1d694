/*
 * The option and mode control registers as the hardware sees them: the
 * access sequences, the presence signature and the field probes. Both
 * registers hide behind the first port's registers: the option register
 * answers at offset 7 while the line control register holds 0xBF, and the
 * mode control register answers at offset 4 while, in addition, option
 * register bit 4 is set.
 */
#include "option_registers.h"
#include "board_registers.h"

namespace {

const ULONG LineControl = 3;
const ULONG ModeControl = 4;
const ULONG OptionRegister = 7;

const UCHAR OpenOptionRegister = 0xBF;  /* the LCR value that reveals the option register */
const UCHAR ModeControlAccess = 0x10;   /* option register bit 4: offset 4 is the mode control register */
const UCHAR SignatureBits = 0xC0;
const UCHAR OptionField = 0x03;
const UCHAR DivisorLatchAccess = 0x80;

/* The serial port driver owns the LCR, so every sequence leaves it as it
   found it. */
UCHAR EnterOptionRegister(BoardExtension *Board)
{
    UCHAR saved = ReadUartRegister(Board, LineControl);
    WriteUartRegister(Board, LineControl, OpenOptionRegister);
    return saved;
}

VOID LeaveOptionRegister(BoardExtension *Board, UCHAR saved) { WriteUartRegister(Board, LineControl, saved); }

/* Inside the option register window: opens offset 4 onto the mode control
   register and returns the option register value to put back. */
UCHAR EnterModeControl(BoardExtension *Board)
{
    UCHAR option = ReadUartRegister(Board, OptionRegister);
    WriteUartRegister(Board, OptionRegister, option | ModeControlAccess);
    return option;
}

VOID LeaveModeControl(BoardExtension *Board, UCHAR option) { WriteUartRegister(Board, OptionRegister, option); }

/* The presence signature: what bits 7-6 must read back after each write.
   A genuine register answers 10 with 01, so a register that merely stores
   what it is given fails at the third step. */
struct SignatureStep {
    UCHAR Written;
    UCHAR Expected;
};
const SignatureStep Signature[] = {{0x00, 0x00}, {0x40, 0x40}, {0x80, 0x40}, {0xC0, 0x80}};
const ULONG SignatureSteps = sizeof(Signature) / sizeof(Signature[0]);

/* One field of one register, and what its probe records in the words. */
struct FieldProbe {
    UCHAR Mask;
    NTSTATUS (*Read)(BoardExtension *, PUCHAR);
    NTSTATUS (*Write)(BoardExtension *, UCHAR);
    BOOLEAN RestoresRegister;  /* the mode control register gets its value back; the option register does not */
    ULONG HworField;           /* the bits of "HWOR" that report this field */
    ULONG SettingKeep;         /* the bits of the setting word that survive a field that cannot be set */
    /* The "HWOR" and setting bits for a field fixed at Value (in place). */
    VOID (*FixedBits)(UCHAR Value, PULONG HworBits, PULONG SettingBits);
};

VOID ModeLowFixedBits(UCHAR Value, PULONG HworBits, PULONG SettingBits)
{
    *HworBits = 0x100UL << Value;
    *SettingBits = Value;
}

/* 000 and 011 have bits of their own; every other value reports as "other"
   and is kept as 100. */
VOID ModeHighFixedBits(UCHAR Value, PULONG HworBits, PULONG SettingBits)
{
    if (Value == 0x00) {
        *HworBits = 0x10000;
        *SettingBits = 0;
    } else if (Value == 0x0C) {
        *HworBits = 0x20000;
        *SettingBits = 0x0C;
    } else {
        *HworBits = 0x40000;
        *SettingBits = 0x10;
    }
}

VOID OptionFixedBits(UCHAR Value, PULONG HworBits, PULONG SettingBits)
{
    UNREFERENCED_PARAMETER(Value);
    *HworBits = 0x08;
    *SettingBits = 0x03;
}

const FieldProbe ModeLowProbe = {0x03, ReadModeControlRegister, WriteModeControlRegister, TRUE,
                                 0x0000FF00, 0x0000FFFC, ModeLowFixedBits};
const FieldProbe ModeHighProbe = {0x1C, ReadModeControlRegister, WriteModeControlRegister, TRUE,
                                  0x000F0000, ~(ULONG)0x1C, ModeHighFixedBits};
const FieldProbe OptionProbe = {OptionField, ReadOptionRegister, WriteOptionRegister, FALSE,
                                0x000000FF, ~(ULONG)0x103, OptionFixedBits};

/* Clear the field, then set it: a field that shows a bit after the clear,
   or none after the set, does not follow writes. */
BOOLEAN ProbeField(BoardExtension *Board, const FieldProbe &Probe, PULONG Setting, PULONG Hwor)
{
    if (OptionRegisterAbsent(Board)) {
        *Hwor &= ~Probe.HworField;
        *Setting &= Probe.SettingKeep;
        return TRUE;
    }

    UCHAR original = 0, readBack = 0;
    Probe.Read(Board, &original);
    UCHAR cleared = original & ~Probe.Mask;
    Probe.Write(Board, cleared);
    Probe.Read(Board, &readBack);
    BOOLEAN fixed = (readBack & Probe.Mask) != 0;
    if (!fixed) {
        Probe.Write(Board, cleared | Probe.Mask);
        Probe.Read(Board, &readBack);
        fixed = (readBack & Probe.Mask) == 0;
    }
    if (Probe.RestoresRegister) Probe.Write(Board, original);

    if (!fixed) return FALSE;
    ULONG hworBits = 0, settingBits = 0;
    Probe.FixedBits(original & Probe.Mask, &hworBits, &settingBits);
    *Hwor = (*Hwor & ~Probe.HworField) | hworBits;
    *Setting = (*Setting & Probe.SettingKeep) | settingBits;
    return TRUE;
}

}  // namespace

NTSTATUS ReadOptionRegister(BoardExtension *Board, PUCHAR Value)
{
    UCHAR saved = EnterOptionRegister(Board);
    *Value = ReadUartRegister(Board, OptionRegister);
    LeaveOptionRegister(Board, saved);
    return STATUS_SUCCESS;
}

/* The register wants a read before it takes a write. */
NTSTATUS WriteOptionRegister(BoardExtension *Board, UCHAR Value)
{
    UCHAR saved = EnterOptionRegister(Board);
    (VOID) ReadUartRegister(Board, OptionRegister);
    WriteUartRegister(Board, OptionRegister, Value);
    LeaveOptionRegister(Board, saved);
    return STATUS_SUCCESS;
}

NTSTATUS ReadModeControlRegister(BoardExtension *Board, PUCHAR Value)
{
    UCHAR saved = EnterOptionRegister(Board);
    UCHAR option = EnterModeControl(Board);
    *Value = ReadUartRegister(Board, ModeControl);
    LeaveModeControl(Board, option);
    LeaveOptionRegister(Board, saved);
    return STATUS_SUCCESS;
}

NTSTATUS WriteModeControlRegister(BoardExtension *Board, UCHAR Value)
{
    UCHAR saved = EnterOptionRegister(Board);
    UCHAR option = EnterModeControl(Board);
    WriteUartRegister(Board, ModeControl, Value);
    LeaveModeControl(Board, option);
    LeaveOptionRegister(Board, saved);
    return STATUS_SUCCESS;
}

/* A board without a UART range has no register to probe: nothing is
   touched at a base of 0. A mismatch before the last step leaves the
   pattern that failed in the register; a register that answered every
   step so far gets its value back. */
BOOLEAN OptionRegisterAbsent(BoardExtension *Board)
{
    if (Board->UartBase == 0) return TRUE;

    UCHAR original = 0, readBack = 0;
    ReadOptionRegister(Board, &original);
    for (ULONG step = 0; step < SignatureSteps; ++step) {
        WriteOptionRegister(Board, (original & ~SignatureBits) | Signature[step].Written);
        ReadOptionRegister(Board, &readBack);
        BOOLEAN matches = (readBack & SignatureBits) == Signature[step].Expected;
        if (step + 1 == SignatureSteps) {
            WriteOptionRegister(Board, original);
            return !matches;
        }
        if (!matches) return TRUE;
    }
    return TRUE;
}

BOOLEAN ProbeModeBitsLow(BoardExtension *Board, PULONG Vmcr, PULONG Hwor)
{
    return ProbeField(Board, ModeLowProbe, Vmcr, Hwor);
}

BOOLEAN ProbeModeBitsHigh(BoardExtension *Board, PULONG Vmcr, PULONG Hwor)
{
    return ProbeField(Board, ModeHighProbe, Vmcr, Hwor);
}

BOOLEAN ProbeOptionBits(BoardExtension *Board, PULONG Vopr, PULONG Hwor)
{
    return ProbeField(Board, OptionProbe, Vopr, Hwor);
}

/* The port may be open: reach the option register with the divisor-latch
   bit alone, keeping the rest of the LCR the serial port driver set, and
   change nothing but the option field. */
VOID ProgramOptionSetting(BoardExtension *Board, UCHAR Setting)
{
    UCHAR saved = ReadUartRegister(Board, LineControl);
    WriteUartRegister(Board, LineControl, saved | DivisorLatchAccess);
    UCHAR option = ReadUartRegister(Board, OptionRegister);
    WriteUartRegister(Board, OptionRegister, (option & ~OptionField) | (Setting & OptionField));
    WriteUartRegister(Board, LineControl, saved);
}
