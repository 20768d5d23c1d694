// Every code around the accepted ones: each PCI code from 0x000 to 0x020
// with every fourth digit of the device field, each PC Card code from 0x0000
// to 0x0060, each ISA token with one character changed, in either case; and
// the board's ID behind IDs of several KB. A code is accepted exactly when
// the product list names it, and a refusal moves no counter.
#include "identify_fixture.h"

#include <cstdio>
#include <map>

namespace identifytest {
namespace {

struct Model {
    ULONG index;
    ULONG oemFlavour;
};

// The product list, code by code.
const std::map<ULONG, Model> kPciModels = {
    {0x001, {2, 0}},  {0x012, {2, 0}},  {0x002, {0, 0}},  {0x013, {0, 0}},  {0x003, {1, 0}},  {0x015, {1, 0}},
    {0x004, {3, 0}},  {0x014, {3, 0}},  {0x005, {4, 0}},  {0x006, {4, 0}},  {0x017, {17, 0}}, {0x018, {18, 0}},
    {0x019, {19, 0}}, {0x01A, {20, 0}}, {0x01B, {21, 0}}, {0x01C, {22, 0}},
};
const std::map<ULONG, Model> kCardModels = {
    {0x0001, {5, 0}},  {0x0034, {5, 0}}, {0x004B, {5, 0}},  {0x0002, {6, 0}}, {0x000D, {6, 0}}, {0x0035, {6, 0}},
    {0x004C, {6, 0}},  {0x0007, {7, 0}}, {0x0046, {7, 0}},  {0x004D, {7, 0}}, {0x0022, {7, 1}}, {0x0052, {7, 2}},
    {0x000E, {8, 0}},  {0x004E, {8, 0}}, {0x0023, {8, 1}},  {0x001B, {9, 0}}, {0x0032, {9, 0}}, {0x0025, {9, 1}},
    {0x0045, {10, 0}}, {0x004F, {10, 1}},
};
const std::map<std::string, ULONG> kIsaModels = {
    {"IB4AX", 11}, {"IB4AY", 12}, {"IB4BX", 13}, {"IB4BY", 14}, {"IB8AX", 15}, {"IB8AY", 16},
};

std::string Hex(ULONG value, int digits, bool lower)
{
    char text[16];
    snprintf(text, sizeof text, lower ? "%0*x" : "%0*X", digits, unsigned(value));
    return text;
}

class IdSweep : public IdentifyTest {
protected:
    // Identifies a board with |ids| as |setUp| reports them and checks the
    // result against |expected| (none: refused).
    template <typename SetUp>
    void Expect(SetUp setUp, const std::vector<std::string> &ids, const Model *expected)
    {
        SCOPED_TRACE(ids.back().size() > 60 ? ids.back().substr(ids.back().size() - 60) : ids.back());
        setUp(ids);
        std::vector<ULONG> counters(ModelCounters, ModelCounters + MPS_MODEL_COUNT);
        TestBoard board;
        if (expected == nullptr) {
            EXPECT_EQ(Identify(board), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(board.Number(), "");
            EXPECT_EQ(std::vector<ULONG>(ModelCounters, ModelCounters + MPS_MODEL_COUNT), counters);
        } else {
            ASSERT_EQ(Identify(board), STATUS_SUCCESS);
            EXPECT_EQ(board.extension.ModelIndex, expected->index);
            EXPECT_EQ(board.extension.OemFlavour, expected->oemFlavour);
            EXPECT_EQ(board.extension.PortCount, BoardModels[expected->index].PortCount);
            EXPECT_EQ(board.Number(), std::to_string(counters[expected->index]));
        }
        EXPECT_EQ(DriverBlocks(), 0u);
    }
    void Pci(const std::vector<std::string> &ids) { PciBoard(ids); }
    void Card(const std::vector<std::string> &ids) { PcmciaCard(ids); }
    void Isa(const std::vector<std::string> &ids) { RootBoard(ids); }
};

template <typename T>
const Model *Lookup(const std::map<T, Model> &models, const T &key)
{
    auto found = models.find(key);
    return found == models.end() ? nullptr : &found->second;
}

TEST_F(IdSweep, PciCodesAroundTheAcceptedOnesWithEveryFourthDigit)
{
    auto pci = [this](const std::vector<std::string> &ids) { Pci(ids); };
    for (ULONG code = 0; code <= 0x020; ++code) {
        for (ULONG fourth = 0; fourth < 16; ++fourth) {
            const bool lower = (fourth & 1) != 0;
            Expect(pci, {"PCI\\VEN_7A3E&DEV_" + Hex(code, 3, lower) + Hex(fourth, 1, lower) + "&SUBSYS_00017A3E"},
                   Lookup(kPciModels, code));
        }
    }
}

TEST_F(IdSweep, PcCardCodesAroundTheAcceptedOnes)
{
    auto card = [this](const std::vector<std::string> &ids) { Card(ids); };
    for (ULONG code = 0; code <= 0x0060; ++code) {
        Expect(card, {"PCMCIA\\VELMORA-SERIAL-05D3-" + Hex(code, 4, code % 2 != 0)}, Lookup(kCardModels, code));
    }
    // The manufacturer code itself, one digit off.
    for (const char *maker : {"05D2", "05D4", "15D3", "05E3"}) {
        Expect(card, {std::string("PCMCIA\\VELMORA-SERIAL-") + maker + "-0022"}, nullptr);
    }
}

TEST_F(IdSweep, IsaTokensWithOneCharacterChanged)
{
    auto isa = [this](const std::vector<std::string> &ids) { Isa(ids); };
    for (const auto &token : kIsaModels) {
        const Model accepted = {token.second, 0};
        std::string lower = token.first;
        for (char &c : lower) c = char(tolower(c));
        Expect(isa, {"VELMORA_ISA_SERIAL_" + lower}, &accepted);
        for (size_t at = 0; at < token.first.size(); ++at) {
            for (int step : {-1, 1}) {
                std::string changed = token.first;
                changed[at] = char(changed[at] + step);
                // One character off may be another model's token.
                auto other = kIsaModels.find(changed);
                const Model neighbour = {other == kIsaModels.end() ? 0 : other->second, 0};
                Expect(isa, {"VELMORA_ISA_SERIAL_" + changed}, other == kIsaModels.end() ? nullptr : &neighbour);
            }
        }
        Expect(isa, {"VELMORA_ISA_SERIAL_" + token.first.substr(1)}, nullptr);
        Expect(isa, {"VELMORA_ISA_SERIAL_" + token.first + " "}, nullptr);
        Expect(isa, {"VELMORA_ISA_SERIAL " + token.first}, nullptr);
    }
}

TEST_F(IdSweep, TheBoardsIdBehindIdsOfSeveralKilobytes)
{
    const Model pb8a = {4, 0};
    auto pci = [this](const std::vector<std::string> &ids) { Pci(ids); };
    const std::string huge(6000, 'X');
    Expect(pci, {"PCI\\VEN_1234&DEV_0050" + huge, "PCI\\CC_0700", "PCI\\VEN_7A3E&DEV_0050"}, &pb8a);
    Expect(pci, {huge + "PCI\\VEN_7A3E&DEV_0050"}, &pb8a);
    Expect(pci, {huge + "PCI\\VEN_7A3E&DEV_"}, nullptr);
    Expect(pci, {huge, huge, huge}, nullptr);
}

}  // namespace
}  // namespace identifytest
