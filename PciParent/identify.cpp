/*
 * Identification reads only the Plug and Play properties of the board's PDO,
 * so the model is known before any register of the board is touched. Each
 * code a bus accepts is one row naming its model; the model table gives the
 * port count and the bridge mark. Property data is used only as far as the
 * property read returned it, whether or not it carries its terminators.
 */
#include "identify.h"

ULONG ModelCounters[MPS_MODEL_COUNT] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
};

namespace {

template <typename T, ULONG N>
constexpr ULONG CountOf(const T (&)[N])
{
    return N;
}

const ULONG NoModel = MPS_MODEL_COUNT;
const ULONG EnumeratorNameFirstSize = 80;
const ULONG HardwareIdFirstSize = 256;
/* Four digits and the terminator: a board number has at most four digits. */
const USHORT BoardNumberTextBytes = 10;

/* One accepted code of a bus and the model it names. */
struct CodeRow {
    ULONG Code;
    ULONG ModelIndex;
};

/* The value of the first three characters of the PCI device field. */
const CodeRow PciCodes[] = {
    {0x001, 2},  /* PB4-A */
    {0x012, 2},  /* PB4-A */
    {0x002, 0},  /* PB2-A */
    {0x013, 0},  /* PB2-A */
    {0x003, 1},  /* PB2-B */
    {0x015, 1},  /* PB2-B */
    {0x004, 3},  /* PB4-B */
    {0x014, 3},  /* PB4-B */
    {0x005, 4},  /* PB8-A */
    {0x006, 4},  /* PB8-A */
    {0x017, 17}, /* PL4-A */
    {0x018, 18}, /* PL2-A */
    {0x019, 19}, /* PL1-A */
    {0x01A, 20}, /* PL4-B */
    {0x01B, 21}, /* PL2-B */
    {0x01C, 22}, /* PL1-B */
};

/* The PC Card code of manufacturer 05D3; the brand is decided apart. */
const CodeRow PcmciaCodes[] = {
    {0x0001, 5},  /* CB1-A */
    {0x0034, 5},  /* CB1-A */
    {0x004B, 5},  /* CB1-A */
    {0x0002, 6},  /* CB1-B */
    {0x000D, 6},  /* CB1-B */
    {0x0035, 6},  /* CB1-B */
    {0x004C, 6},  /* CB1-B */
    {0x0007, 7},  /* CB2-A */
    {0x0046, 7},  /* CB2-A */
    {0x004D, 7},  /* CB2-A */
    {0x0022, 7},  /* CB2-A, Tarvo */
    {0x0052, 7},  /* CB2-A, Brisel */
    {0x000E, 8},  /* CB2-B */
    {0x004E, 8},  /* CB2-B */
    {0x0023, 8},  /* CB2-B, Tarvo */
    {0x001B, 9},  /* CB4-A */
    {0x0032, 9},  /* CB4-A */
    {0x0025, 9},  /* CB4-A, Tarvo */
    {0x0045, 10}, /* CB4-B */
    {0x004F, 10}, /* CB4-B, Tarvo */
};

/* Cards sold under another brand than Velmora. 0x0051 is a Brisel code with
   no model: such a card fails identification like any unknown code. */
struct BrandRow {
    ULONG Code;
    ULONG OemFlavour;
};
const BrandRow PcmciaBrands[] = {
    {0x0022, 1}, {0x0023, 1}, {0x0025, 1}, {0x004F, 1}, /* Tarvo */
    {0x0051, 2}, {0x0052, 2},                           /* Brisel */
};

/* The whole rest of a root-enumerated board's hardware ID. */
struct TokenRow {
    PCWSTR Token;
    ULONG ModelIndex;
};
const TokenRow IsaTokens[] = {
    {L"IB4AX", 11}, {L"IB4AY", 12}, {L"IB4BX", 13}, {L"IB4BY", 14}, {L"IB8AX", 15}, {L"IB8AY", 16},
};

/* How a bus names its boards in their hardware IDs. */
struct BusRule {
    ULONG BusType;
    PCWSTR SearchText;   /* upper case */
    USHORT CodeChars;    /* hexadecimal characters after it; 0: a token follows */
    const CodeRow *Codes;
    ULONG CodeCount;
    const BrandRow *Brands;  /* null: every board of the bus is Velmora */
    ULONG BrandCount;
};
const BusRule BusRules[] = {
    {MPS_BUS_PCI, L"PCI\\VEN_7A3E&DEV_", 3, PciCodes, CountOf(PciCodes), NULL, 0},
    {MPS_BUS_PCMCIA, L"-05D3-", 4, PcmciaCodes, CountOf(PcmciaCodes), PcmciaBrands, CountOf(PcmciaBrands)},
    {MPS_BUS_ISA, L"VELMORA_ISA_SERIAL_", 0, NULL, 0, NULL, 0},
};

/* ------------------------------------------------------- bounded wide text */
/* Characters of the string at Text before its NUL, but at most Limit. */
ULONG BoundedLength(PCWSTR Text, ULONG Limit)
{
    ULONG length = 0;
    while (length < Limit && Text[length] != 0) ++length;
    return length;
}

VOID UpcaseText(PWCHAR Text, ULONG Length)
{
    for (ULONG i = 0; i < Length; ++i) Text[i] = RtlUpcaseUnicodeChar(Text[i]);
}

/* The Length characters at Text are exactly the NUL-terminated Expected. */
BOOLEAN SameText(PCWSTR Text, ULONG Length, PCWSTR Expected)
{
    return wcslen(Expected) == Length && wcsncmp(Text, Expected, Length) == 0;
}

/* Where Find first occurs in the Length characters at Text, or NULL. */
PCWSTR FindText(PCWSTR Text, ULONG Length, PCWSTR Find)
{
    const ULONG findLength = (ULONG)wcslen(Find);
    for (ULONG at = 0; at + findLength <= Length; ++at) {
        if (wcsncmp(Text + at, Find, findLength) == 0) return Text + at;
    }
    return NULL;
}

/* ---------------------------------------------------------- properties */
/* A property read into paged pool; Length is what the read returned. */
struct PropertyBuffer {
    PWCHAR Data;
    ULONG Length;
};

VOID FreeProperty(PropertyBuffer *Property)
{
    if (Property->Data != NULL) ExFreePool(Property->Data);
    Property->Data = NULL;
    Property->Length = 0;
}

/* A property of unknown length: read again with the size the system asks
   for until it fits. */
NTSTATUS ReadProperty(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Which, ULONG FirstSize, PropertyBuffer *Property)
{
    ULONG size = FirstSize;
    for (;;) {
        FreeProperty(Property);
        Property->Data = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, size, MPS_POOL_TAG));
        if (Property->Data == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(Property->Data, size);
        ULONG returned = size;
        NTSTATUS status = IoGetDeviceProperty(Pdo, Which, size, Property->Data, &returned);
        /* A size that does not grow would ask the same question forever. */
        if (status == STATUS_BUFFER_TOO_SMALL && returned > size) {
            size = returned;
            continue;
        }
        if (NT_SUCCESS(status)) Property->Length = returned < size ? returned : size;
        return status;
    }
}

/* -------------------------------------------------------- identification */
/* The legacy bus type, or ISA for a board the root enumerator reports. */
NTSTATUS ReadBusType(BoardExtension *Board, PropertyBuffer *Enumerator)
{
    ULONG returned = 0;
    if (NT_SUCCESS(IoGetDeviceProperty(Board->Pdo, DevicePropertyLegacyBusType, sizeof(Board->BusType),
                                       &Board->BusType, &returned)))
        return STATUS_SUCCESS;

    NTSTATUS status = ReadProperty(Board->Pdo, DevicePropertyEnumeratorName, EnumeratorNameFirstSize, Enumerator);
    if (!NT_SUCCESS(status)) return status;
    const ULONG length = BoundedLength(Enumerator->Data, Enumerator->Length / sizeof(WCHAR));
    UpcaseText(Enumerator->Data, length);
    if (!SameText(Enumerator->Data, length, L"ROOT")) return STATUS_UNSUCCESSFUL;
    Board->BusType = MPS_BUS_ISA;
    return STATUS_SUCCESS;
}

const BusRule *RuleOfBus(ULONG BusType)
{
    for (const BusRule &rule : BusRules) {
        if (rule.BusType == BusType) return &rule;
    }
    return NULL;
}

/* The first hardware ID that contains the bus's search text decides alone:
   Rest receives what follows the text, up to the end of that ID. */
BOOLEAN FindBoardId(const PropertyBuffer *Ids, PCWSTR SearchText, PCWSTR *Rest, ULONG *RestLength)
{
    PWCHAR id = Ids->Data;
    PWCHAR end = Ids->Data + Ids->Length / sizeof(WCHAR);
    while (id < end && *id != 0) {
        const ULONG length = BoundedLength(id, (ULONG)(end - id));
        UpcaseText(id, length);
        PCWSTR found = FindText(id, length, SearchText);
        if (found != NULL) {
            *Rest = found + wcslen(SearchText);
            *RestLength = (ULONG)(id + length - *Rest);
            return TRUE;
        }
        id += length + 1;
    }
    return FALSE;
}

ULONG ModelOfToken(PCWSTR Rest, ULONG RestLength)
{
    for (const TokenRow &row : IsaTokens) {
        if (SameText(Rest, RestLength, row.Token)) return row.ModelIndex;
    }
    return NoModel;
}

ULONG BrandOfCode(const BusRule *Rule, ULONG Code)
{
    for (ULONG i = 0; i < Rule->BrandCount; ++i) {
        if (Rule->Brands[i].Code == Code) return Rule->Brands[i].OemFlavour;
    }
    return 0;
}

/* The model the found ID names, or NoModel. A code is stored in DeviceCode
   also when no model has it. */
ULONG ModelOfId(BoardExtension *Board, const BusRule *Rule, PCWSTR Rest, ULONG RestLength)
{
    if (Rule->CodeChars == 0) return ModelOfToken(Rest, RestLength);

    /* Conversion stops at the first character that is not a hexadecimal
       digit: a shorter field counts the digits present, none counts 0. */
    UNICODE_STRING digits;
    digits.Buffer = const_cast<PWSTR>(Rest);
    digits.Length = (USHORT)((RestLength < Rule->CodeChars ? RestLength : Rule->CodeChars) * sizeof(WCHAR));
    digits.MaximumLength = digits.Length;
    ULONG code = 0;
    RtlUnicodeStringToInteger(&digits, 16, &code);
    Board->DeviceCode = code;
    if (Rule->Brands != NULL) Board->OemFlavour = BrandOfCode(Rule, code);

    for (ULONG i = 0; i < Rule->CodeCount; ++i) {
        if (Rule->Codes[i].Code == code) return Rule->Codes[i].ModelIndex;
    }
    return NoModel;
}

/* A board keeps the number of its first identification, so a restart after
   a stop does not rename its ports; only a board added anew draws a number. */
NTSTATUS NumberBoard(BoardExtension *Board)
{
    if (Board->BoardNumber[0] != 0) return STATUS_SUCCESS;
    WCHAR digits[BoardNumberTextBytes / sizeof(WCHAR)];
    UNICODE_STRING text;
    text.Buffer = digits;
    text.Length = 0;
    text.MaximumLength = BoardNumberTextBytes;
    const ULONG number = ModelCounters[Board->ModelIndex]++;
    NTSTATUS status = RtlIntegerToUnicodeString(number, 10, &text);
    if (NT_SUCCESS(status)) RtlCopyMemory(Board->BoardNumber, text.Buffer, text.Length);
    return status;
}

NTSTATUS IdentifyFromProperties(BoardExtension *Board, PropertyBuffer *Enumerator, PropertyBuffer *HardwareIds)
{
    Board->OemFlavour = 0;
    NTSTATUS status = ReadBusType(Board, Enumerator);
    if (!NT_SUCCESS(status)) return status;
    const BusRule *rule = RuleOfBus(Board->BusType);
    if (rule == NULL) return STATUS_UNSUCCESSFUL;

    status = ReadProperty(Board->Pdo, DevicePropertyHardwareID, HardwareIdFirstSize, HardwareIds);
    if (!NT_SUCCESS(status)) return status;
    PCWSTR rest = NULL;
    ULONG restLength = 0;
    if (!FindBoardId(HardwareIds, rule->SearchText, &rest, &restLength)) return STATUS_UNSUCCESSFUL;
    const ULONG model = ModelOfId(Board, rule, rest, restLength);
    if (model == NoModel) return STATUS_UNSUCCESSFUL;

    Board->ModelIndex = model;
    Board->PortCount = BoardModels[model].PortCount;
    if (BoardModels[model].SkipBridgeInit) Board->SkipBridgeInit = TRUE;
    return NumberBoard(Board);
}

}  // namespace

NTSTATUS IdentifyBoard(PDEVICE_OBJECT Board)
{
    PropertyBuffer enumerator = {NULL, 0};
    PropertyBuffer hardwareIds = {NULL, 0};
    NTSTATUS status = IdentifyFromProperties(BoardOf(Board), &enumerator, &hardwareIds);
    /* Both property buffers go on every path. */
    FreeProperty(&enumerator);
    FreeProperty(&hardwareIds);
    return status;
}
