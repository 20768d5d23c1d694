// The PCI bridge range: 32 registers, reachable at any width.
#include "board_hardware.h"

#include <gtest/gtest.h>

using namespace sim;

namespace {

BridgeValues Initial() {
    BridgeValues values{};
    values[0x38 / 4] = 0x12340000;
    values[0x3C / 4] = 0x01000505;  // bit 24 already set
    values[0x7C / 4] = 0xCAFEF00D;
    return values;
}

TEST(BridgeRegisters, InitialValuesReadBackAtEveryWidth) {
    BridgeRegisters bridge(Initial());
    EXPECT_EQ(bridge.Read(0x7C, 4), 0xCAFEF00Du);
    EXPECT_EQ(bridge.Read(0x7C, 2), 0xF00Du);
    EXPECT_EQ(bridge.Read(0x7E, 2), 0xCAFEu);
    EXPECT_EQ(bridge.Read(0x7F, 1), 0xCAu);
    EXPECT_EQ(bridge.Read(0x00, 4), 0u);
}

TEST(BridgeRegisters, NarrowWritesChangeOnlyTheirBytes) {
    BridgeRegisters bridge(Initial());
    bridge.Write(0x7D, 1, 0x11);
    bridge.Write(0x7E, 2, 0x2233);
    EXPECT_EQ(bridge.Register(0x7C), 0x2233110Du);
    EXPECT_EQ(bridge.Register(0x7F), 0x2233110Du) << "any offset names its 32-bit register";
}

TEST(BridgeRegisters, StartSequenceReadModifyWrite) {
    BoardHardwareConfig config;
    config.bridgeBase = 0x1000;
    config.bridgeInitial = Initial();
    BoardHardware board(config);
    hk::IoRange &bridge = board.BridgeRange();

    bridge.Write(0x38, 4, bridge.Read(0x38, 4) | 0x00002000);
    ULONG v = bridge.Read(0x3C, 4);
    bridge.Write(0x3C, 4, v | 0x01000000);
    EXPECT_EQ(board.BridgeRegister(0x3C), 0x01000505u);
    bridge.Write(0x3C, 4, v & 0xFEFFFFFF);

    EXPECT_EQ(board.BridgeRegister(0x38), 0x12342000u);
    EXPECT_EQ(board.BridgeRegister(0x3C), 0x00000505u) << "bit 24 ends clear although it read as set";
    EXPECT_EQ(board.BridgeRegister(0x7C), 0xCAFEF00Du) << "neighbours untouched";
}

TEST(BridgeRegisters, AccessPastTheRangeFloatsAndIsDropped) {
    BridgeRegisters bridge(Initial());
    bridge.Write(0x7E, 4, 0xAABBCCDD);
    EXPECT_EQ(bridge.Register(0x7C), 0xCCDDF00Du);
    EXPECT_EQ(bridge.Read(0x7E, 4), 0xFFFFCCDDu);
}

}  // namespace
