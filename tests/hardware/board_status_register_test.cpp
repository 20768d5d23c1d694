// The board's UART range: port blocks, and the interrupt status register that
// shares offset 7 of port 0's block with that port's scratch register.
#include "board_hardware.h"
#include "register_sequences.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace sim;
using hwtest::PortIo;

namespace {

BoardHardwareConfig Board(unsigned ports, StatusRegisterKind kind = StatusRegisterKind::InterruptStatus) {
    BoardHardwareConfig config;
    config.ports = ports;
    config.statusRegister = kind;
    return config;
}

// Makes port |port| raise its transmitter-empty interrupt.
void RaiseInterrupt(PortIo &io, unsigned port) { io.Out(port * 8 + kIer, ier::kThrEmpty); }

TEST(BoardPorts, EachPortAnswersAtItsOwnBlock) {
    BoardHardware board(Board(8));
    PortIo io(board.UartRange());
    for (unsigned port = 0; port < 8; ++port) io.Out(port * 8 + kLcr, uint8_t(0x10 + port));
    for (unsigned port = 0; port < 8; ++port) EXPECT_EQ(board.Uart(port).Lcr(), 0x10 + port);
    EXPECT_EQ(board.UartRangeLength(), 64u);
    EXPECT_EQ(io.In(64), 0xFF) << "past the last port nothing decodes";
}

TEST(BoardPorts, WideAccessSplitsIntoBytes) {
    BoardHardware board(Board(2));
    board.UartRange().Write(8 + kLcr, 2, 0x0B83);  // LCR then MCR of port 1
    EXPECT_EQ(board.Uart(1).Lcr(), 0x83);
    EXPECT_EQ(board.Uart(1).Mcr(), 0x0B);
    EXPECT_EQ(board.UartRange().Read(8 + kLcr, 2), 0x0B83u);
}

TEST(BoardPorts, PortCountOutsideOneToEightIsRefused) {
    EXPECT_THROW(BoardHardware(Board(0)), std::invalid_argument);
    EXPECT_THROW(BoardHardware(Board(9)), std::invalid_argument);
}

TEST(InterruptStatusRegister, ReadOnlyRegisterPassesTheBoardCheck) {
    BoardHardware board(Board(4));
    PortIo io(board.UartRange());
    EXPECT_TRUE(hwtest::InterruptStatusRegisterReadOnly(io));
    // Writes reached no UART register either.
    EXPECT_EQ(board.Uart(0).Scratch(), 0);
}

TEST(InterruptStatusRegister, ScratchVariantFailsTheBoardCheck) {
    BoardHardware board(Board(4, StatusRegisterKind::Scratch));
    PortIo io(board.UartRange());
    for (uint8_t pattern : {0xFF, 0xAA, 0x55, 0x00}) {
        io.Out(7, pattern);
        EXPECT_EQ(io.In(7), pattern);
    }
    EXPECT_FALSE(hwtest::InterruptStatusRegisterReadOnly(io));
}

TEST(InterruptStatusRegister, BoardCheckRestoresLcrEitherWay) {
    for (auto kind : {StatusRegisterKind::InterruptStatus, StatusRegisterKind::Scratch}) {
        BoardHardware board(Board(2, kind));
        PortIo io(board.UartRange());
        io.Out(kLcr, 0x83);
        hwtest::InterruptStatusRegisterReadOnly(io);
        EXPECT_EQ(io.In(kLcr), 0x83);
    }
}

TEST(InterruptStatusRegister, BitsFollowEachPortsPendingInterrupt) {
    BoardHardware board(Board(8));
    PortIo io(board.UartRange());
    EXPECT_EQ(io.In(7), 0x00);
    EXPECT_FALSE(board.InterruptLineAsserted());

    RaiseInterrupt(io, 2);
    RaiseInterrupt(io, 7);
    EXPECT_EQ(io.In(7), 0x84);
    EXPECT_TRUE(board.InterruptLineAsserted());

    io.In(7 * 8 + kIirFcr);  // acknowledging port 7 clears its bit only
    EXPECT_EQ(io.In(7), 0x04);

    // Port 0 receives a byte in loopback: its bit joins in until RBR is read.
    io.Out(kMcr, mcr::kLoopback);
    io.Out(kIer, ier::kReceiveData);
    io.Out(kRbrThr, 0x77);
    EXPECT_EQ(io.In(7), 0x05);
    EXPECT_EQ(io.In(kRbrThr), 0x77);
    EXPECT_EQ(io.In(7), 0x04);
    EXPECT_EQ(board.PendingInterruptBits(), 0x04);
}

TEST(InterruptStatusRegister, ReadingItAcknowledgesNothing) {
    BoardHardware board(Board(2));
    PortIo io(board.UartRange());
    RaiseInterrupt(io, 1);
    io.In(7);
    EXPECT_EQ(io.In(7), 0x02);
    EXPECT_TRUE(board.Uart(1).InterruptPending());
}

TEST(InterruptStatusRegister, DivisorLatchBitSwitchesOffset7ToScratch) {
    BoardHardware board(Board(4));
    PortIo io(board.UartRange());
    RaiseInterrupt(io, 1);

    io.Out(kLcr, 0x80);
    io.Out(7, 0x3C);
    EXPECT_EQ(io.In(7), 0x3C);
    EXPECT_EQ(board.Uart(0).Scratch(), 0x3C);

    io.Out(kLcr, 0x03);
    EXPECT_EQ(io.In(7), 0x02) << "back to the status register";
    io.Out(7, 0x99);
    EXPECT_EQ(board.Uart(0).Scratch(), 0x3C) << "the status register's writes are ignored";

    // Scratch registers of the other ports are ordinary whatever port 0's LCR holds.
    io.Out(8 + 7, 0x61);
    EXPECT_EQ(io.In(8 + 7), 0x61);
}

}  // namespace
