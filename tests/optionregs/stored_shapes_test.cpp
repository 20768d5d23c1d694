// "HWOR", "VOPR" and "VMCR" stored in every shape a registry editor can
// give them: a value of up to four bytes is the word its bytes spell, whatever
// its type; a longer one is no word. The start stores proper words back, and
// SetPortOptions reports a longer value instead of reading it.
#include "PciParent/option_registers.h"
#include "option_board.h"

namespace optiontest {
namespace {

const std::vector<uint8_t> kBytes = {0x10, 0x01, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

struct Shape {
    ULONG type;
    size_t size;
    ULONG word;  // what a read of up to four bytes gives
    ULONG hwor, vopr, vmcr;  // stored after a start of card 76 with only this value stored
};

// Card 76 with every field settable stores 0x00078F8F, 0x100 and 0x10 when
// nothing was stored before.
const Shape kShapes[] = {
    {REG_DWORD, 4, 0x44330110, 0x44378F9F, 0x44330110, 0x44330110},
    {REG_DWORD, 3, 0x00330110, 0x00378F9F, 0x00330110, 0x00330110},
    {REG_DWORD, 2, 0x00000110, 0x00078F9F, 0x00000110, 0x00000110},
    {REG_DWORD, 1, 0x00000010, 0x00078F9F, 0x00000110, 0x00000010},
    {REG_DWORD, 0, 0x00000000, 0x00078F8F, 0x00000100, 0x00000000},
    {REG_BINARY, 1, 0x00000010, 0x00078F9F, 0x00000110, 0x00000010},
    {REG_BINARY, 2, 0x00000110, 0x00078F9F, 0x00000110, 0x00000110},
    {REG_BINARY, 3, 0x00330110, 0x00378F9F, 0x00330110, 0x00330110},
    {REG_BINARY, 5, 0, 0x00078F8F, 0x100, 0x10},
    {REG_BINARY, 8, 0, 0x00078F8F, 0x100, 0x10},
    {REG_QWORD, 8, 0, 0x00078F8F, 0x100, 0x10},
    {REG_DWORD, 8, 0, 0x00078F8F, 0x100, 0x10},
    {REG_SZ, 4, 0x44330110, 0x44378F9F, 0x44330110, 0x44330110},
    {REG_SZ, 6, 0, 0x00078F8F, 0x100, 0x10},
    {REG_NONE, 0, 0x00000000, 0x00078F8F, 0x00000100, 0x00000000},
};

std::string Describe(const std::string &name, const Shape &shape)
{
    return name + " type " + std::to_string(shape.type) + ", " + std::to_string(shape.size) + " bytes";
}

std::vector<uint8_t> BytesOf(const Shape &shape) { return {kBytes.begin(), kBytes.begin() + shape.size}; }

using StoredShapes = OptionBoardTest;

TEST_F(StoredShapes, AStartReadsEachShapeAndStoresProperWords)
{
    for (const char *name : {"HWOR", "VOPR", "VMCR"}) {
        for (const Shape &shape : kShapes) {
            SCOPED_TRACE(Describe(name, shape));
            hk::reg::DeleteTree(KeyPath());
            StoreRaw(name, shape.type, BytesOf(shape));
            Card(kCard76);
            EXPECT_EQ(ConfigureOptionRegisters(&boardDevice_), STATUS_SUCCESS);
            const std::string which = name;
            EXPECT_EQ(Stored("HWOR"), which == "HWOR" ? shape.hwor : 0x00078F8Fu);
            EXPECT_EQ(Stored("VOPR"), which == "VOPR" ? shape.vopr : 0x100u);
            EXPECT_EQ(Stored("VMCR"), which == "VMCR" ? shape.vmcr : 0x10u);
            EXPECT_EQ(hk::LivePoolCount(), 0u);
            EXPECT_EQ(hk::reg::OpenHandleCount(), 0u);
        }
    }
}

TEST_F(StoredShapes, SetPortOptionsHandsOutEachShapeOrReportsItTooLong)
{
    for (const char *name : {"VOPR", "VMCR"}) {
        for (const Shape &shape : kShapes) {
            SCOPED_TRACE(Describe(name, shape));
            hk::reg::DeleteTree(KeyPath());
            Store("VOPR", 0x002);
            Store("VMCR", 0x00E);
            StoreRaw(name, shape.type, BytesOf(shape));
            Card(kCard77);
            const bool fits = shape.size <= 4;
            const bool vopr = std::string(name) == "VOPR";
            ULONG words[2] = {0xDEADBEEF, 0xDEADBEEF};
            EXPECT_EQ(SetPortOptions(&board_, words), fits ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(words[vopr ? 0 : 1], shape.word);
            if (!fits) {
                EXPECT_TRUE(Ops().empty()) << "a read that failed ends the call before any register";
            } else {
                // The setting is bits 0-1 of "VOPR", or 3 for the default flag alone.
                const ULONG setting = vopr ? ((shape.word & 0x103) == 0x100 ? 3 : shape.word & 3) : 2;
                EXPECT_EQ(hardware_->OptionRegisterValue(), setting);
            }
            EXPECT_EQ(hk::LivePoolCount(), 0u);
            EXPECT_EQ(hk::reg::OpenHandleCount(), 0u);
        }
    }
}

}  // namespace
}  // namespace optiontest
