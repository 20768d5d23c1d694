// A board outside D0 decodes nothing: the port I/O space sees every access
// to its ranges refused, and D0 finds its registers as they were.
#include "board_hardware.h"
#include "uart16550.h"

#include "support/kernel_test.h"

namespace {

using BoardPower = hk::test::KernelTest;

TEST_F(BoardPower, AccessesOutsideD0AreRefusedAndLoggedAndD0AnswersAgain)
{
    sim::BoardHardwareConfig config;
    config.ports = 2;
    config.ioBase = 0x300;
    config.bridgeBase = 0x380;
    sim::BoardHardware board(config);
    board.Plug();
    const auto lcr = reinterpret_cast<PUCHAR>(0x300 + sim::kLcr);
    WRITE_PORT_UCHAR(lcr, 0x03);
    WRITE_PORT_ULONG(reinterpret_cast<PULONG>(0x380 + 0x38), 0x1234);

    for (DEVICE_POWER_STATE state : {PowerDeviceD1, PowerDeviceD3}) {
        board.SetPowerState(state);
        hk::ClearIoLog();
        EXPECT_EQ(READ_PORT_UCHAR(lcr), 0xFF);
        WRITE_PORT_UCHAR(lcr, 0x83);
        EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(0x380 + 0x38)), 0xFFFFFFFFu);
        ASSERT_EQ(hk::IoLog().size(), 3u);
        for (const hk::IoAccess &access : hk::IoLog()) EXPECT_TRUE(access.refused);
        EXPECT_EQ(board.Uart(0).Lcr(), 0x03) << "a refused write changes nothing";
    }

    board.SetPowerState(PowerDeviceD0);
    hk::ClearIoLog();
    EXPECT_EQ(READ_PORT_UCHAR(lcr), 0x03);
    EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(0x380 + 0x38)), 0x1234u);
    for (const hk::IoAccess &access : hk::IoLog()) EXPECT_FALSE(access.refused);
    board.Unplug();
}

}  // namespace
