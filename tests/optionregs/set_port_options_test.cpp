// SetPortOptions, the interface member that hands out the stored words and
// programs the option setting: each form of "VOPR", words never stored, and
// boards without the register.
#include "PciParent/option_registers.h"
#include "option_board.h"

namespace optiontest {
namespace {

using sim::FieldConfig;
using OpList = std::vector<std::string>;

class PortOptions : public OptionBoardTest {
protected:
    NTSTATUS Call()
    {
        words_[0] = words_[1] = 0xDEADBEEF;
        return SetPortOptions(&board_, words_);
    }
    ULONG words_[2] = {};
};

TEST_F(PortOptions, WritesTheSettingOfEachStoredForm)
{
    struct Case {
        ULONG vopr;
        UCHAR setting;
    };
    const Case cases[] = {{0x000, 0}, {0x001, 1}, {0x002, 2}, {0x003, 3}, {0x100, 3},
                          {0x101, 1}, {0x102, 2}, {0x103, 3}, {0x0F2, 2}, {0x110, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.vopr);
        Store("VOPR", c.vopr);
        Store("VMCR", 0x0E);
        Card(kCard77);
        hardware_->UartRange().Write(3, 1, 0x1B);  // the serial port driver's line setting

        EXPECT_EQ(Call(), STATUS_SUCCESS);
        EXPECT_EQ(words_[0], c.vopr);
        EXPECT_EQ(words_[1], 0x0Eu);
        EXPECT_EQ(Ops(), GenuineSignature(0) + OpList({"SET " + std::to_string(c.setting)}));
        EXPECT_EQ(hardware_->OptionRegisterValue(), c.setting);
        EXPECT_EQ(hardware_->Uart(0).Lcr(), 0x1B);
    }
}

TEST_F(PortOptions, WordsNeverStoredFailTheCallWithTheReadStatus)
{
    Card(kCard75);
    EXPECT_EQ(Call(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(words_[0], 0u) << "zero-filled before the read";
    EXPECT_EQ(words_[1], 0xDEADBEEFu);
    EXPECT_TRUE(Ops().empty());

    Store("VOPR", 0x101);
    EXPECT_EQ(Call(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(words_[0], 0x101u) << "filled before the mode word was found missing";
    EXPECT_TRUE(Ops().empty());
}

TEST_F(PortOptions, SettingLongerThanAWordIsReportedNotRead)
{
    StoreRaw("VOPR", REG_QWORD, {0x02, 0, 0, 0, 0, 0, 0, 0});
    Store("VMCR", 0);
    Card(kCard75);
    EXPECT_EQ(Call(), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(words_[0], 0u);
    EXPECT_TRUE(Ops().empty());
}

// The signature comes before the device code is looked at, so another
// board's first port block sees it; nothing is programmed.
TEST_F(PortOptions, OtherBoardsRunTheSignatureAndAreRefused)
{
    for (ULONG code : {74u, 79u, 0u}) {
        Store("VOPR", 0x102);
        Store("VMCR", 0x10);
        Card(code);
        EXPECT_EQ(Call(), STATUS_OBJECT_NAME_NOT_FOUND) << code;
        EXPECT_EQ(words_[0], 0x102u);
        EXPECT_EQ(words_[1], 0x10u);
        EXPECT_EQ(Ops(), GenuineSignature(0));
        EXPECT_EQ(hardware_->OptionRegisterValue(), 0x00);
    }
}

TEST_F(PortOptions, AbsentRegisterIsRefused)
{
    Store("VOPR", 0x102);
    Store("VMCR", 0x10);
    for (bool plain : {false, true}) {
        plain ? PlainCard(kCard76) : Card(kCard76, WrongSignature());
        EXPECT_EQ(Call(), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(Ops(), (OpList({"RO=00", "WO 00", "RO=00", "WO 40", "RO=40", "WO 80", "RO=80"})));
        EXPECT_EQ(words_[1], 0x10u);
    }
}

TEST_F(PortOptions, KeyAndPoolFailuresAreReturned)
{
    Store("VOPR", 0x102);
    Store("VMCR", 0x10);
    Card(kCard75);
    FailNext(hk::Service::RegistryOpen);
    EXPECT_EQ(Call(), STATUS_INVALID_PARAMETER);
    FailNext(hk::Service::Pool);
    EXPECT_EQ(Call(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(words_[0], 0u);
    board_.Pdo = &boardDevice_;
    EXPECT_EQ(Call(), STATUS_INVALID_DEVICE_REQUEST) << "not a PDO: IoOpenDeviceRegistryKey's own status";
    EXPECT_TRUE(Ops().empty());
}

// What the start stored is what the interface later programs.
TEST_F(PortOptions, StartThenProgram)
{
    struct Case {
        ULONG stored;
        ULONG afterStart;
        UCHAR setting;
    };
    const Case cases[] = {{0x002, 0x002, 2}, {0x010, 0x110, 3}, {0xFFFFFFFF, 0xFFFFFFFF, 3}};
    for (const Case &c : cases) {
        hk::reg::DeleteTree(KeyPath());
        if (c.stored != 0xFFFFFFFF) Store("VOPR", c.stored);
        Card(kCard75);
        ASSERT_EQ(ConfigureOptionRegisters(&boardDevice_), STATUS_SUCCESS);
        EXPECT_EQ(Stored("VOPR"), c.stored == 0xFFFFFFFF ? 0x100u : c.afterStart);
        // The start's probe left the field at 3; clear it so the call shows.
        hk::IoRange &range = hardware_->UartRange();
        range.Write(3, 1, 0xBF);
        range.Write(7, 1, 0x00);
        range.Write(3, 1, 0x03);

        EXPECT_EQ(Call(), STATUS_SUCCESS);
        EXPECT_EQ(hardware_->OptionRegisterValue() & 0x03, c.setting);
    }
}

}  // namespace
}  // namespace optiontest
