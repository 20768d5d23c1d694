// What the serial port driver stand-in does with the resources and settings
// it is started with: the checks must pass for a port given its own
// registers, and fail, saying why, for every way a port can be given wrong ones.
#include "port_stack.h"

#include <cstring>
#include <set>

namespace serialtest {
namespace {

using sim::CheckResult;

class SerialStart : public SerialStackTest {
protected:
    // Port 3 of the board: PortIndex 3, status bit 2, registers at 0x310.
    void SetUpThirdPortSettings()
    {
        SetPortSetting("PortIndex", 3);
        SetPortSetting("MultiportDevice", 1);
        SetPortSetting("SerialRelinquishPowerPolicy", 1);
        SetPortSetting("Share System Interrupt", 1);
    }

    // Every port the stand-in touched while it ran.
    std::set<ULONG> PortsTouched() const
    {
        std::set<ULONG> ports;
        for (const hk::IoAccess &access : hk::IoLog()) ports.insert(access.port);
        return ports;
    }
};

TEST_F(SerialStart, OwnRegistersPassBothChecksAndEverythingGivenIsRecorded)
{
    SetUpThirdPortSettings();
    ResourceList raw{PortDescriptor(BlockOf(2), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};
    ResourceList translated{PortDescriptor(BlockOf(2), 8), PortDescriptor(kStatusPort, 1),
                            InterruptDescriptor(9, 0x39)};

    ASSERT_EQ(Start(raw, translated), STATUS_SUCCESS);

    const sim::SerialPortRecord *record = Record();
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(record->started);
    EXPECT_EQ(record->startStatus, STATUS_SUCCESS);
    EXPECT_EQ(record->loopback, CheckResult::Ok);
    EXPECT_EQ(record->statusRegister, CheckResult::Ok);
    EXPECT_EQ(record->checkDetail, "");

    // Raw and translated are kept apart: their interrupts differ.
    ASSERT_EQ(record->raw.size(), 3u);
    ASSERT_EQ(record->translated.size(), 3u);
    const PCM_PARTIAL_RESOURCE_DESCRIPTOR rawGiven = raw.get()->List[0].PartialResourceList.PartialDescriptors;
    const PCM_PARTIAL_RESOURCE_DESCRIPTOR translatedGiven =
        translated.get()->List[0].PartialResourceList.PartialDescriptors;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(SameDescriptor(record->raw[i], rawGiven[i])) << "raw " << i;
        EXPECT_TRUE(SameDescriptor(record->translated[i], translatedGiven[i])) << "translated " << i;
    }

    std::vector<std::pair<std::string, ULONG>> settings;
    for (const auto &[name, value] : record->registry) {
        ASSERT_EQ(value.type, ULONG(REG_DWORD)) << name;
        ASSERT_EQ(value.data.size(), 4u) << name;
        ULONG dword = 0;
        std::memcpy(&dword, value.data.data(), 4);
        settings.emplace_back(name, dword);
    }
    EXPECT_EQ(settings, (std::vector<std::pair<std::string, ULONG>>{{"PortIndex", 3},
                                                                   {"MultiportDevice", 1},
                                                                   {"SerialRelinquishPowerPolicy", 1},
                                                                   {"Share System Interrupt", 1}}));

    // Only its own block and the status register were touched, all by "serial".
    for (ULONG port : PortsTouched())
        EXPECT_TRUE(port == kStatusPort || (port >= BlockOf(2) && port < BlockOf(3))) << std::hex << port;
    for (const hk::IoAccess &access : hk::IoLog()) EXPECT_EQ(access.image, "serial");

    // The port is left as a serial driver leaves it at rest: 8N1 at the
    // programmed rate, modem control as it found it (no loopback), no
    // interrupt enabled.
    const sim::Uart16550 &uart = board->Uart(2);
    EXPECT_EQ(uart.Lcr(), 0x03);
    EXPECT_EQ(uart.Divisor(), 12);
    EXPECT_EQ(uart.Mcr(), 0);
    EXPECT_EQ(uart.Ier(), 0);
    EXPECT_EQ(board->PendingInterruptBits(), 0);
}

TEST_F(SerialStart, RegistersInMemorySpaceAreMappedAndPassBothChecks)
{
    const ULONGLONG window = 0xFE000000;
    UseBoard(sim::StatusRegisterKind::InterruptStatus, window);
    SetUpThirdPortSettings();
    ResourceList raw{PortDescriptor(BlockOf(2), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};
    ResourceList translated{MemorySpacePortDescriptor(window + BlockOf(2), 8),
                            MemorySpacePortDescriptor(window + kStatusPort, 1), InterruptDescriptor(9, 0x39)};

    ASSERT_EQ(Start(raw, translated), STATUS_SUCCESS);

    const sim::SerialPortRecord *record = Record();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->loopback, CheckResult::Ok);
    EXPECT_EQ(record->statusRegister, CheckResult::Ok);
    EXPECT_EQ(record->checkDetail, "");
    ASSERT_FALSE(hk::IoLog().empty());
    for (const hk::IoAccess &access : hk::IoLog()) {
        EXPECT_TRUE(access.memorySpace) << std::hex << access.port;
        EXPECT_EQ(access.image, "serial");
        EXPECT_TRUE(access.port == window + kStatusPort ||
                    (access.port >= window + BlockOf(2) && access.port < window + BlockOf(3)))
            << std::hex << access.port;
    }
    EXPECT_EQ(board->Uart(2).Lcr(), 0x03);
    EXPECT_TRUE(hk::LiveMappings().empty()) << "the checks give their mappings back";
}

TEST_F(SerialStart, AnotherPortsBlockFailsTheStatusCheckNamingTheBits)
{
    SetUpThirdPortSettings();
    ResourceList resources{PortDescriptor(BlockOf(0), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};

    ASSERT_EQ(Start(resources, resources), STATUS_SUCCESS);

    const sim::SerialPortRecord *record = Record();
    ASSERT_NE(record, nullptr);
    // Port 1's UART answers the loopback well enough; only the status
    // register shows whose registers these are.
    EXPECT_EQ(record->loopback, CheckResult::Ok);
    EXPECT_EQ(record->statusRegister, CheckResult::Failed);
    EXPECT_EQ(record->checkDetail, "expected bit 2, status register read 0x01");
    EXPECT_TRUE(record->started);
}

TEST_F(SerialStart, MissingOrWholeBoardRangeFailsLoopbackWithoutTouchingTheBoard)
{
    struct Case {
        const char *what;
        ResourceList resources;
        const char *detail;
    };
    Case cases[] = {
        {"no port at all", {InterruptDescriptor(5, 5)}, "no UART block"},
        {"status register only", {PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)}, "no UART block"},
        {"whole board range",
         {PortDescriptor(kIoBase, 32), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)},
         "given a range of 32 bytes"},
        {"registers in memory space",
         {MemoryDescriptor(0xFEB00000, 8), InterruptDescriptor(5, 5)},
         "no UART block (registers given in memory space)"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        hk::ClearIoLog();
        ASSERT_EQ(Start(c.resources, c.resources), STATUS_SUCCESS);
        const sim::SerialPortRecord *record = Record();
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->loopback, CheckResult::Failed);
        EXPECT_EQ(record->statusRegister, CheckResult::NotRun);
        EXPECT_EQ(record->checkDetail, c.detail);
        EXPECT_TRUE(PortsTouched().empty());
    }
}

TEST_F(SerialStart, CardWithoutStatusRegisterRunsLoopbackOnly)
{
    // A PCMCIA card: one 8-byte block, no 1-byte port, no PortIndex.
    SetPortSetting("SerialRelinquishPowerPolicy", 1);
    ResourceList resources{PortDescriptor(kIoBase, 8), InterruptDescriptor(3, 3)};

    ASSERT_EQ(Start(resources, resources), STATUS_SUCCESS);

    const sim::SerialPortRecord *record = Record();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->loopback, CheckResult::Ok);
    EXPECT_EQ(record->statusRegister, CheckResult::NotRun);
    ASSERT_EQ(record->registry.size(), 1u);
    EXPECT_EQ(record->registry[0].first, "SerialRelinquishPowerPolicy");
    EXPECT_EQ(PortsTouched().count(kStatusPort), 0u);
    EXPECT_EQ(board->Uart(0).Mcr(), 0);  // loopback off again
}

TEST_F(SerialStart, ScratchStatusRegisterFailsWhateverItHolds)
{
    UseBoard(sim::StatusRegisterKind::Scratch);
    SetPortSetting("PortIndex", 1);
    ResourceList resources{PortDescriptor(BlockOf(0), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};

    // Holding nothing, it never shows the port's interrupt.
    ASSERT_EQ(Start(resources, resources), STATUS_SUCCESS);
    EXPECT_EQ(Record()->statusRegister, CheckResult::Failed);
    EXPECT_EQ(Record()->checkDetail, "expected bit 0, status register read 0x00");

    // Holding a stale byte with the bit set, it still shows it once the
    // interrupt is gone.
    board->UartRange().Write(7, 1, 0xFF);
    ASSERT_EQ(Start(resources, resources), STATUS_SUCCESS);
    EXPECT_EQ(Record()->statusRegister, CheckResult::Failed);
    EXPECT_EQ(Record()->checkDetail, "bit 0 stayed set with interrupts disabled, status register read 0xFF");
    EXPECT_EQ(Record()->loopback, CheckResult::Ok);
}

TEST_F(SerialStart, PortIndexWithoutAStatusBitFailsTheStatusCheck)
{
    ResourceList resources{PortDescriptor(BlockOf(0), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};
    struct Case {
        ULONG type;
        ULONG value;
        const char *detail;
    } cases[] = {
        {REG_DWORD, 0, "PortIndex 0 has no bit in the status register"},
        {REG_DWORD, 9, "PortIndex 9 has no bit in the status register"},
        {REG_BINARY, 1, "PortIndex is not a REG_DWORD"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.detail);
        hk::reg::SetValue(hk::DeviceParametersPath(kInstancePath), "PortIndex", c.type, &c.value, sizeof c.value);
        ASSERT_EQ(Start(resources, resources), STATUS_SUCCESS);
        EXPECT_EQ(Record()->loopback, CheckResult::Ok);
        EXPECT_EQ(Record()->statusRegister, CheckResult::Failed);
        EXPECT_EQ(Record()->checkDetail, c.detail);
    }
}

TEST_F(SerialStart, StartFailedBelowIsCompletedWithThatStatusAndNothingIsChecked)
{
    script.startStatus = STATUS_DEVICE_NOT_READY;
    ResourceList resources{PortDescriptor(BlockOf(0), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};

    EXPECT_EQ(Start(resources, resources), STATUS_DEVICE_NOT_READY);

    const sim::SerialPortRecord *record = Record();
    ASSERT_NE(record, nullptr);
    EXPECT_FALSE(record->started);
    EXPECT_EQ(record->startStatus, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(record->loopback, CheckResult::NotRun);
    EXPECT_EQ(record->statusRegister, CheckResult::NotRun);
    EXPECT_TRUE(hk::IoLog().empty());
}

TEST_F(SerialStart, WaitsForAPortDeviceThatFinishesTheStartLater)
{
    script.completeStartLater = true;
    SetPortSetting("PortIndex", 2);
    ResourceList resources{PortDescriptor(BlockOf(1), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};

    EXPECT_EQ(Start(resources, resources), STATUS_SUCCESS);

    // It waited for the outcome rather than taking the preset status.
    ASSERT_NE(Record(), nullptr);
    EXPECT_TRUE(Record()->started);
    EXPECT_EQ(Record()->loopback, CheckResult::Ok);
    EXPECT_EQ(Record()->statusRegister, CheckResult::Ok);
}

}  // namespace
}  // namespace serialtest
