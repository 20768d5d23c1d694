// Every code and token the bus driver accepts, and the near misses it must
// refuse: the model, ports, brand, bridge mark and device code each gives.
#include "identify_fixture.h"

#include <cstdlib>
#include <ostream>

namespace identifytest {
namespace {

enum class Bus { Pci, Pcmcia, Isa };

struct Row {
    Bus bus;
    const char *field;  // the code's hexadecimal digits, or the ISA token
    ULONG modelIndex;
    const char *modelName;
    ULONG ports;
    ULONG oemFlavour;
    BOOLEAN skipBridgeInit;
};

// The product list as the board maker publishes it, one row per accepted code.
const Row kRows[] = {
    {Bus::Pci, "001", 2, "PB4-A", 4, 0, FALSE},   {Bus::Pci, "012", 2, "PB4-A", 4, 0, FALSE},
    {Bus::Pci, "002", 0, "PB2-A", 2, 0, FALSE},   {Bus::Pci, "013", 0, "PB2-A", 2, 0, FALSE},
    {Bus::Pci, "003", 1, "PB2-B", 2, 0, FALSE},   {Bus::Pci, "015", 1, "PB2-B", 2, 0, FALSE},
    {Bus::Pci, "004", 3, "PB4-B", 4, 0, FALSE},   {Bus::Pci, "014", 3, "PB4-B", 4, 0, FALSE},
    {Bus::Pci, "005", 4, "PB8-A", 8, 0, FALSE},   {Bus::Pci, "006", 4, "PB8-A", 8, 0, FALSE},
    {Bus::Pci, "017", 17, "PL4-A", 4, 0, TRUE},   {Bus::Pci, "018", 18, "PL2-A", 2, 0, TRUE},
    {Bus::Pci, "019", 19, "PL1-A", 1, 0, TRUE},   {Bus::Pci, "01A", 20, "PL4-B", 4, 0, TRUE},
    {Bus::Pci, "01B", 21, "PL2-B", 2, 0, TRUE},   {Bus::Pci, "01C", 22, "PL1-B", 1, 0, TRUE},

    {Bus::Pcmcia, "0001", 5, "CB1-A", 1, 0, FALSE},  {Bus::Pcmcia, "0034", 5, "CB1-A", 1, 0, FALSE},
    {Bus::Pcmcia, "004B", 5, "CB1-A", 1, 0, FALSE},  {Bus::Pcmcia, "0002", 6, "CB1-B", 1, 0, FALSE},
    {Bus::Pcmcia, "000D", 6, "CB1-B", 1, 0, FALSE},  {Bus::Pcmcia, "0035", 6, "CB1-B", 1, 0, FALSE},
    {Bus::Pcmcia, "004C", 6, "CB1-B", 1, 0, FALSE},  {Bus::Pcmcia, "0007", 7, "CB2-A", 2, 0, FALSE},
    {Bus::Pcmcia, "0046", 7, "CB2-A", 2, 0, FALSE},  {Bus::Pcmcia, "004D", 7, "CB2-A", 2, 0, FALSE},
    {Bus::Pcmcia, "0022", 7, "CB2-A", 2, 1, FALSE},  {Bus::Pcmcia, "0052", 7, "CB2-A", 2, 2, FALSE},
    {Bus::Pcmcia, "000E", 8, "CB2-B", 2, 0, FALSE},  {Bus::Pcmcia, "004E", 8, "CB2-B", 2, 0, FALSE},
    {Bus::Pcmcia, "0023", 8, "CB2-B", 2, 1, FALSE},  {Bus::Pcmcia, "001B", 9, "CB4-A", 4, 0, FALSE},
    {Bus::Pcmcia, "0032", 9, "CB4-A", 4, 0, FALSE},  {Bus::Pcmcia, "0025", 9, "CB4-A", 4, 1, FALSE},
    {Bus::Pcmcia, "0045", 10, "CB4-B", 4, 0, FALSE}, {Bus::Pcmcia, "004F", 10, "CB4-B", 4, 1, FALSE},

    {Bus::Isa, "IB4AX", 11, "IB4-AX", 4, 0, FALSE}, {Bus::Isa, "IB4AY", 12, "IB4-AY", 4, 0, FALSE},
    {Bus::Isa, "IB4BX", 13, "IB4-BX", 4, 0, FALSE}, {Bus::Isa, "IB4BY", 14, "IB4-BY", 4, 0, FALSE},
    {Bus::Isa, "IB8AX", 15, "IB8-AX", 8, 0, FALSE}, {Bus::Isa, "IB8AY", 16, "IB8-AY", 8, 0, FALSE},
};

void PrintTo(const Row &row, std::ostream *out) { *out << row.field << " (" << row.modelName << ")"; }

// Hardware IDs as the buses report them. The PCI device field has a fourth
// character that must never be read: 7 would make every code unknown.
std::string PciId(const std::string &code) { return "PCI\\VEN_7A3E&DEV_" + code + "7&SUBSYS_00017A3E&REV_01"; }
std::string PcmciaId(const std::string &code) { return "PCMCIA\\VELMORA-SERIAL-05D3-" + code; }
std::string IsaId(const std::string &token) { return "VELMORA_ISA_SERIAL_" + token; }

const ULONG kUntouched = 0xDEADBEEF;

class EveryAcceptedCode : public IdentifyTest, public ::testing::WithParamInterface<Row> {};

TEST_P(EveryAcceptedCode, NamesItsModelPortsBrandAndBridgeMark)
{
    const Row &row = GetParam();
    TestBoard board;
    board.extension.DeviceCode = kUntouched;
    board.extension.OemFlavour = 7;  // reset at every identification
    switch (row.bus) {
    case Bus::Pci: PciBoard({PciId(row.field)}); break;
    case Bus::Pcmcia: PcmciaCard({PcmciaId(row.field)}); break;
    case Bus::Isa: RootBoard({IsaId(row.field)}); break;
    }

    ASSERT_EQ(Identify(board), STATUS_SUCCESS);
    const BoardExtension &e = board.extension;
    EXPECT_EQ(e.BusType, row.bus == Bus::Pci ? 5u : row.bus == Bus::Pcmcia ? 8u : 1u);
    EXPECT_EQ(e.ModelIndex, row.modelIndex);
    EXPECT_EQ(hk::test::AsciiOf(BoardModels[e.ModelIndex].Name), row.modelName);
    EXPECT_EQ(e.PortCount, row.ports);
    EXPECT_EQ(e.OemFlavour, row.oemFlavour);
    EXPECT_EQ(e.SkipBridgeInit, row.skipBridgeInit);
    if (row.bus == Bus::Isa)
        EXPECT_EQ(e.DeviceCode, kUntouched) << "an ISA token is no code";
    else
        EXPECT_EQ(e.DeviceCode, std::strtoul(row.field, nullptr, 16));
    EXPECT_EQ(board.Number(), "1");
    EXPECT_EQ(ModelCounters[row.modelIndex], 2u);
}

std::string RowName(const ::testing::TestParamInfo<Row> &info)
{
    static const char *const kBusNames[] = {"Pci", "Pcmcia", "Isa"};
    return std::string(kBusNames[int(info.param.bus)]) + "_" + info.param.field;
}

INSTANTIATE_TEST_SUITE_P(Rows, EveryAcceptedCode, ::testing::ValuesIn(kRows), RowName);

TEST_F(IdentifyTest, HardwareIdsAreMatchedWhateverTheirCase)
{
    TestBoard pci, card, isa;
    PciBoard({"pci\\ven_7a3e&dev_0010"});
    ASSERT_EQ(Identify(pci), STATUS_SUCCESS);
    EXPECT_EQ(pci.extension.ModelIndex, 2u);
    EXPECT_EQ(pci.extension.PortCount, 4u);

    PcmciaCard({"pcmcia\\tarvo-cb4b-05d3-004f"});
    ASSERT_EQ(Identify(card), STATUS_SUCCESS);
    EXPECT_EQ(card.extension.ModelIndex, 10u);
    EXPECT_EQ(card.extension.OemFlavour, 1u);

    RootBoard({"velmora_isa_serial_ib8ay"});
    enumeratorName = WideString("Root");
    ASSERT_EQ(Identify(isa), STATUS_SUCCESS);
    EXPECT_EQ(isa.extension.ModelIndex, 16u);
}

struct Refusal {
    const char *what;
    Bus bus;
    std::string id;
    ULONG deviceCode;  // what is stored although no model has it
};

void PrintTo(const Refusal &refusal, std::ostream *out) { *out << refusal.id; }

class UnknownCode : public IdentifyTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(UnknownCode, FailsAndMovesNoCounter)
{
    const Refusal &refusal = GetParam();
    TestBoard board;
    board.extension.DeviceCode = kUntouched;
    switch (refusal.bus) {
    case Bus::Pci: PciBoard({refusal.id}); break;
    case Bus::Pcmcia: PcmciaCard({refusal.id}); break;
    case Bus::Isa: RootBoard({refusal.id}); break;
    }
    EXPECT_EQ(Identify(board), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(board.extension.DeviceCode, refusal.deviceCode);
    EXPECT_EQ(board.Number(), "");
    for (ULONG model = 0; model < MPS_MODEL_COUNT; ++model) EXPECT_EQ(ModelCounters[model], 1u) << model;
}

const Refusal kRefusals[] = {
    {"PciGap", Bus::Pci, "PCI\\VEN_7A3E&DEV_0070", 0x007},
    {"PciAboveTheLast", Bus::Pci, "PCI\\VEN_7A3E&DEV_01D0", 0x01D},
    {"PciZero", Bus::Pci, "PCI\\VEN_7A3E&DEV_0000", 0},
    // Conversion stops at the first character that is no hexadecimal digit.
    {"PciNoDigits", Bus::Pci, "PCI\\VEN_7A3E&DEV_&SUBSYS_0", 0},
    {"PcmciaUnknown", Bus::Pcmcia, "PCMCIA\\VELMORA-X-05D3-0003", 0x0003},
    {"PcmciaBriselWithoutModel", Bus::Pcmcia, "PCMCIA\\BRISEL-X-05D3-0051", 0x0051},
    {"IsaOneCharacterMore", Bus::Isa, "VELMORA_ISA_SERIAL_IB4AXZ", kUntouched},
    {"IsaPrefixOfAToken", Bus::Isa, "VELMORA_ISA_SERIAL_IB4A", kUntouched},
    {"VendorOfAnotherMaker", Bus::Pci, "PCI\\VEN_7A3F&DEV_0010", kUntouched},
    // Each bus looks for its own text only.
    {"PcCardCodeOnAPciBoard", Bus::Pci, "PCMCIA\\VELMORA-X-05D3-0022", kUntouched},
};

INSTANTIATE_TEST_SUITE_P(Codes, UnknownCode, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal> &info) { return info.param.what; });

TEST_F(IdentifyTest, ThePciShortFieldCountsTheDigitsPresent)
{
    // "DEV_1" ends the ID: the field reads 0x1, which is PB4-A's code.
    TestBoard board;
    PciBoard({"PCI\\VEN_7A3E&DEV_1"});
    ASSERT_EQ(Identify(board), STATUS_SUCCESS);
    EXPECT_EQ(board.extension.ModelIndex, 2u);
}

TEST_F(IdentifyTest, TheFirstIdWithTheSearchTextDecidesAlone)
{
    TestBoard unknownFirst;
    PciBoard({"PCI\\VEN_7A3E&DEV_0070", "PCI\\VEN_7A3E&DEV_0010"});
    EXPECT_EQ(Identify(unknownFirst), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unknownFirst.extension.DeviceCode, 0x007u) << "the later ID was not looked at";

    TestBoard foreignFirst;
    PciBoard({"PCI\\VEN_1234&DEV_0010", "PCI\\VEN_7A3E&DEV_0050&SUBSYS_1", "PCI\\VEN_7A3E&DEV_0010"});
    ASSERT_EQ(Identify(foreignFirst), STATUS_SUCCESS);
    EXPECT_EQ(foreignFirst.extension.ModelIndex, 4u);

    TestBoard none;
    PciBoard({"PCI\\VEN_1234&DEV_0010", "PCI\\CC_070002"});
    EXPECT_EQ(Identify(none), STATUS_UNSUCCESSFUL);
}

}  // namespace
}  // namespace identifytest
