// The register steps of a board's start, asserted on the hardware model's
// access log: the bridge writes, the interrupt status register check, and
// the ranges a START must bring before either runs. Each runs in I/O space
// and through a mapping of a board decoded in memory space.
#include "resources_fixture.h"

namespace resourcestest {
namespace {

constexpr ULONG kPci = 5, kPcmcia = 8, kIsa = 1;

class BoardChecks : public ResourcesTest, public ::testing::WithParamInterface<bool> {
protected:
    bool InMemorySpace() const { return GetParam(); }
    // Where the log shows a register of each range.
    ULONG Bridge(ULONG offset) const { return ULONG((InMemorySpace() ? kWindow : 0) + kBridgeBase + offset); }
    ULONG Uart(ULONG offset) const { return ULONG((InMemorySpace() ? kWindow : 0) + kUartBase + offset); }

    void StartPb8a(sim::StatusRegisterKind kind = sim::StatusRegisterKind::InterruptStatus,
                   const sim::BridgeValues &bridge = {})
    {
        PlugBoard(InMemorySpace(), 8, kind, bridge);
        ASSERT_EQ(CaptureBoard(true, InMemorySpace()), STATUS_SUCCESS);
        Identified(kPci, 8, FALSE);
        hk::ClearIoLog();
    }
};

sim::BridgeValues BridgeHolding(uint32_t at38, uint32_t at3c)
{
    sim::BridgeValues values{};
    values[0x38 / 4] = at38;
    values[0x3C / 4] = at3c;
    return values;
}

TEST_P(BoardChecks, TheBridgeGetsBit13SetAndBit24PulsedKeepingEveryOtherBit)
{
    // Bit 24 of 0x3C reads as set: it still ends clear.
    StartPb8a(sim::StatusRegisterKind::InterruptStatus, BridgeHolding(0x00000101, 0x01000F00));
    InitPciBridge(&device);
    EXPECT_EQ(Log(), (std::vector<Access>{{false, 4, Bridge(0x38), 0x00000101},
                                          {true, 4, Bridge(0x38), 0x00002101},
                                          {false, 4, Bridge(0x3C), 0x01000F00},
                                          {true, 4, Bridge(0x3C), 0x01000F00},
                                          {true, 4, Bridge(0x3C), 0x00000F00}}));
    EXPECT_EQ(hardware->BridgeRegister(0x38), 0x00002101u);
    EXPECT_EQ(hardware->BridgeRegister(0x3C), 0x00000F00u);
    for (const hk::IoAccess &a : hk::IoLog()) EXPECT_EQ(a.memorySpace, InMemorySpace());
}

TEST_P(BoardChecks, AModelThatLeavesItsBridgeAloneTouchesNoRegister)
{
    StartPb8a();
    board.SkipBridgeInit = TRUE;
    InitPciBridge(&device);
    EXPECT_TRUE(Log().empty());
}

TEST_P(BoardChecks, AReadOnlyStatusRegisterPassesAndTheLineControlRegisterIsRestored)
{
    StartPb8a();
    hardware->UartRange().Write(3, 1, 0x83);  // divisor latch open, 8 bits
    hk::ClearIoLog();
    EXPECT_EQ(CheckInterruptStatusRegister(&device), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<Access>{{false, 1, Uart(3), 0x83},
                                          {true, 1, Uart(3), 0x03},
                                          {false, 1, Uart(7), 0x00},
                                          {true, 1, Uart(7), 0xFF},
                                          {false, 1, Uart(7), 0x00},
                                          {true, 1, Uart(7), 0xAA},
                                          {false, 1, Uart(7), 0x00},
                                          {true, 1, Uart(7), 0x55},
                                          {false, 1, Uart(7), 0x00},
                                          {true, 1, Uart(7), 0x00},
                                          {false, 1, Uart(7), 0x00},
                                          {true, 1, Uart(3), 0x83}}));
    EXPECT_EQ(hardware->Uart(0).Lcr(), 0x83);
}

TEST_P(BoardChecks, AScratchRegisterFailsAtTheFirstPatternAndTheLineControlRegisterIsRestored)
{
    StartPb8a(sim::StatusRegisterKind::Scratch);
    hardware->UartRange().Write(3, 1, 0x83);
    hk::ClearIoLog();
    EXPECT_EQ(CheckInterruptStatusRegister(&device), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Log(), (std::vector<Access>{{false, 1, Uart(3), 0x83},
                                          {true, 1, Uart(3), 0x03},
                                          {false, 1, Uart(7), 0x00},
                                          {true, 1, Uart(7), 0xFF},
                                          {false, 1, Uart(7), 0xFF},
                                          {true, 1, Uart(3), 0x83}}));
    EXPECT_EQ(hardware->Uart(0).Lcr(), 0x83);
    EXPECT_EQ(hardware->Uart(0).Scratch(), 0xFF) << "the last pattern stays in the register";
}

TEST_P(BoardChecks, APb8aStartMakesFiveBridgeAndTwelveStatusRegisterAccessesAndNoMore)
{
    StartPb8a();
    ASSERT_EQ(CheckBoardRanges(&device), STATUS_SUCCESS);
    InitPciBridge(&device);
    ASSERT_EQ(CheckInterruptStatusRegister(&device), STATUS_SUCCESS);
    size_t bridge = 0, uart = 0;
    for (const Access &a : Log()) (a.address >= Bridge(0) && a.address < Bridge(0x80) ? bridge : uart)++;
    EXPECT_EQ(bridge, 5u);
    EXPECT_EQ(uart, 12u);
    EXPECT_TRUE(hk::Violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Spaces, BoardChecks, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "MemorySpace" : "IoSpace";
                         });

// ------------------------------------------------------------ missing ranges
struct RangeCase {
    const char *what;
    ULONG busType;
    BOOLEAN skipBridgeInit;
    bool bridge, uart;
    NTSTATUS status;
};

class MissingRanges : public ResourcesTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(MissingRanges, AStartWithoutARangeItsBoardNeedsFailsBeforeAnyRegister)
{
    const RangeCase &c = GetParam();
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials{InterruptDescriptor(0x3B, 0x3B)};
    if (c.bridge) partials.push_back(PortDescriptor(kBridgeBase, 0x80));
    if (c.uart) partials.push_back(PortDescriptor(kUartBase, 32));
    ResourceList raw(partials), translated(partials);
    ASSERT_EQ(Capture(&raw, &translated), STATUS_SUCCESS);
    Identified(c.busType, 4, c.skipBridgeInit);
    EXPECT_EQ(CheckBoardRanges(&device), c.status);
    EXPECT_TRUE(hk::IoLog().empty());
}

const RangeCase kRangeCases[] = {
    {"PciWithBoth", kPci, FALSE, true, true, STATUS_SUCCESS},
    {"PciWithoutUarts", kPci, FALSE, true, false, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"PciWithoutBridge", kPci, FALSE, false, true, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"PciLeavingItsBridgeAloneWithoutOne", kPci, TRUE, false, true, STATUS_SUCCESS},
    {"PciLeavingItsBridgeAloneWithoutUarts", kPci, TRUE, true, false, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"PcmciaWithUarts", kPcmcia, FALSE, false, true, STATUS_SUCCESS},
    {"PcmciaWithoutUarts", kPcmcia, FALSE, false, false, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"IsaWithoutUarts", kIsa, FALSE, true, false, STATUS_DEVICE_CONFIGURATION_ERROR},
};

INSTANTIATE_TEST_SUITE_P(Ranges, MissingRanges, ::testing::ValuesIn(kRangeCases),
                         [](const ::testing::TestParamInfo<RangeCase> &info) { return info.param.what; });

}  // namespace
}  // namespace resourcestest
