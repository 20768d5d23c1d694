// The option-register step of a board's start: which cards are probed, the
// words stored under the board's device key with and without earlier
// values, and a start that goes on whatever the registry does.
#include "PciParent/option_registers.h"
#include "option_board.h"

namespace optiontest {
namespace {

using sim::FieldConfig;
using OpList = std::vector<std::string>;

class Configure : public OptionBoardTest {
protected:
    void Run() { EXPECT_EQ(ConfigureOptionRegisters(&boardDevice_), STATUS_SUCCESS); }
    void ExpectWords(ULONG hwor, ULONG vopr, ULONG vmcr)
    {
        EXPECT_EQ(Stored("HWOR"), hwor);
        EXPECT_EQ(Stored("VOPR"), vopr);
        EXPECT_EQ(Stored("VMCR"), vmcr);
    }
    // The option probe on a genuine register whose option field is
    // settable and holds 0: cleared, then set, and left set.
    static OpList SettableOptionProbe() { return GenuineSignature(0) + OpList({"RO=00", "WO 00", "RO=00", "WO 03", "RO=03"}); }
};

// Boards 75 and 77 have no mode control register: one signature, the option
// probe, and only bits 0-7 of "HWOR" are theirs.
TEST_F(Configure, OptionOnlyCardsWithoutStoredValues)
{
    struct Case {
        const char *hardware;
        sim::OptionRegisterConfig config;
        ULONG hwor, vopr;
    };
    const Case cases[] = {
        {"settable", Fields(FieldConfig::Settable()), 0x8F, 0x100},
        {"fixed", Fields(FieldConfig::Fixed(2)), 0x08, 0x003},
        {"absent", WrongSignature(), 0x00, 0x000},
    };
    for (ULONG code : {kCard75, kCard77}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::to_string(code) + " " + c.hardware);
            hk::reg::DeleteTree(KeyPath());
            Card(code, c.config);
            Run();
            ExpectWords(c.hwor, c.vopr, 0);
        }
    }
    EXPECT_EQ(Ops(), (OpList({"RO=00", "WO 00", "RO=00", "WO 40", "RO=40", "WO 80", "RO=80"})))
        << "the wrong signature stops at its third step and ends the probe";
}

TEST_F(Configure, OptionOnlyCardRunsOneSignatureAndTheOptionProbe)
{
    Card(kCard75);
    Run();
    EXPECT_EQ(Ops(), SettableOptionProbe());
}

TEST_F(Configure, OptionOnlyCardKeepsTheUpperBitsOfHwor)
{
    struct Case {
        sim::OptionRegisterConfig config;
        ULONG hwor;
    };
    const Case cases[] = {
        {Fields(FieldConfig::Settable()), 0xABC123CF},  // the earlier bits ORed with 0x8F
        {Fields(FieldConfig::Fixed(0)), 0xABC12308},
        {WrongSignature(), 0xABC12300},
    };
    for (const Case &c : cases) {
        Store("HWOR", 0xABC12340);
        Card(kCard77, c.config);
        Run();
        EXPECT_EQ(Stored("HWOR"), c.hwor);
    }
}

TEST_F(Configure, ModeCardsAllSettableWithoutStoredValues)
{
    for (ULONG code : {kCard76, kCard78}) {
        hk::reg::DeleteTree(KeyPath());
        Card(code);
        Run();
        ExpectWords(0x00078F8F, 0x100, 0x10);
        // Three probes, each behind its own signature; the mode fields are
        // put back as they were.
        EXPECT_EQ(Ops(), GenuineSignature(0) + OpList({"RM=00", "WM 00", "RM=00", "WM 03", "RM=03", "WM 00"}) +
                             GenuineSignature(0) + OpList({"RM=00", "WM 00", "RM=00", "WM 1C", "RM=1C", "WM 00"}) +
                             SettableOptionProbe());
        EXPECT_EQ(hardware_->ModeControlValue(), 0x00);
        EXPECT_EQ(hardware_->OptionRegisterValue(), 0x03);
    }
}

TEST_F(Configure, ModeCardWithoutRegisterClearsEveryField)
{
    Store("HWOR", 0xFFFFFFFF);
    Store("VOPR", 0xFFFF);
    Store("VMCR", 0xFFFFFFFF);
    PlainCard(kCard78);
    Run();
    ExpectWords(0xFFF00000, 0xFEFC, 0x0000FFE0);
}

TEST_F(Configure, StoredSettingsAreKept)
{
    Store("VOPR", 0x002);
    Store("VMCR", 0x0E);
    Card(kCard76);
    Run();
    ExpectWords(0x00078F8F, 0x002, 0x0E);  // 0x002 is a setting: no default flag

    Store("VOPR", 0x010);
    Card(kCard76);
    Run();
    EXPECT_EQ(Stored("VOPR"), 0x110u) << "0x010 holds no setting: the default flag is added";
}

TEST_F(Configure, FixedModeFields)
{
    struct Case {
        FieldConfig low, high;
        ULONG hworMode, vmcr;  // "HWOR" bits 8-19, "VMCR"
    };
    const Case cases[] = {
        {FieldConfig::Settable(), FieldConfig::Fixed(0x08), 0x48F00, 0x10},
        {FieldConfig::Settable(), FieldConfig::Fixed(0x10), 0x48F00, 0x10},
        {FieldConfig::Fixed(1), FieldConfig::Fixed(0x08), 0x40200, 0x11},  // 010 is kept as 100
        {FieldConfig::Fixed(3), FieldConfig::Fixed(0x0C), 0x20800, 0x0F},
        {FieldConfig::Fixed(0), FieldConfig::Fixed(0x00), 0x10100, 0x00},
        {FieldConfig::Fixed(2), FieldConfig::Settable(), 0x70400, 0x12},
    };
    for (const Case &c : cases) {
        hk::reg::DeleteTree(KeyPath());
        Card(kCard78, Fields(FieldConfig::Settable(), c.low, c.high));
        Run();
        EXPECT_EQ(Stored("HWOR"), c.hworMode | 0x8F);
        EXPECT_EQ(Stored("VMCR"), c.vmcr);
    }
}

TEST_F(Configure, OtherBoardsAreLeftAlone)
{
    for (ULONG code : {0u, 5u, 74u, 79u, 0x14Cu}) {
        Store("VOPR", 0x102);
        Card(code);
        Run();
        EXPECT_TRUE(Ops().empty()) << code;
        EXPECT_FALSE(Exists("HWOR"));
        EXPECT_EQ(Stored("VOPR"), 0x102u);
        EXPECT_FALSE(Exists("VMCR"));
    }
}

TEST_F(Configure, KeyThatCannotBeOpenedEndsTheStepQuietly)
{
    Card(kCard76);
    FailNext(hk::Service::RegistryOpen);
    Run();
    board_.Pdo = &boardDevice_;  // not a PDO the Plug and Play manager knows
    Run();
    EXPECT_TRUE(Ops().empty());
    EXPECT_FALSE(hk::reg::KeyExists(KeyPath()));
}

TEST_F(Configure, UnreadableSettingCountsAsNeverStored)
{
    Store("VOPR", 0x002);
    Card(kCard75);
    hk::ResetFaults();
    hk::FailNthCall(hk::Service::RegistryRead, 2);  // "HWOR", then "VOPR"
    Run();
    EXPECT_EQ(Stored("VOPR"), 0x100u);
}

TEST_F(Configure, FailedWriteDoesNotStopTheOthers)
{
    Card(kCard75);
    FailNext(hk::Service::RegistryWrite);
    Run();
    EXPECT_FALSE(Exists("HWOR"));
    EXPECT_EQ(Stored("VOPR"), 0x100u);
    EXPECT_EQ(Stored("VMCR"), 0u);
}

// A value of another type but four bytes is a word; a shorter one is
// zero-extended; a longer one is not taken for a word at all.
TEST_F(Configure, StoredValuesOfOtherShapes)
{
    struct Case {
        const char *what;
        ULONG type;
        std::vector<uint8_t> bytes;
        ULONG vopr;
    };
    const Case cases[] = {
        {"binary of four bytes", REG_BINARY, {0x02, 0x00, 0x00, 0x00}, 0x002},
        {"string of four bytes", REG_SZ, {0x01, 0x00, 0x00, 0x00}, 0x001},
        {"two bytes", REG_BINARY, {0x02, 0x01}, 0x102},
        {"one byte", REG_BINARY, {0x03}, 0x003},
        {"eight bytes", REG_QWORD, {0x02, 0, 0, 0, 0, 0, 0, 0}, 0x100},
        {"far too long", REG_BINARY, std::vector<uint8_t>(64, 0x02), 0x100},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StoreRaw("VOPR", c.type, c.bytes);
        Card(kCard75);
        Run();
        EXPECT_EQ(Stored("VOPR"), c.vopr) << "stored back as a REG_DWORD";
    }
}

TEST_F(Configure, EveryFailingCallStillStartsTheBoardAndLeavesNothing)
{
    unsigned runs = 0;
    hk::Sweep(
        [&] {
            ++runs;
            Store("VOPR", 0x002);
            Card(kCard76);
            EXPECT_EQ(ConfigureOptionRegisters(&boardDevice_), STATUS_SUCCESS);
        },
        [&](unsigned failing) {
            EXPECT_EQ(hk::LivePoolCount(), 0u) << "call " << failing;
            EXPECT_EQ(hk::reg::OpenHandleCount(), 0u) << "call " << failing;
        });
    EXPECT_EQ(runs, 1u + 13u) << "a clean run, then one per call: the open, and three reads and three writes "
                                 "with a pool block each";
}

}  // namespace
}  // namespace optiontest
