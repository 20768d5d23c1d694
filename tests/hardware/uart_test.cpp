// The 16550 model: what a serial driver relies on when it programs a port.
#include "uart16550.h"

#include <gtest/gtest.h>

using namespace sim;

namespace {

class UartTest : public ::testing::Test {
protected:
    uint8_t Iir() { return uart.Read(kIirFcr); }
    Uart16550 uart;
};

TEST_F(UartTest, LoopbackReturnsEachByteWithDataReady) {
    uart.Write(kMcr, mcr::kLoopback);
    EXPECT_FALSE(uart.Read(kLsr) & lsr::kDataReady);

    uart.Write(kRbrThr, 0x5A);
    EXPECT_TRUE(uart.Read(kLsr) & lsr::kDataReady);
    EXPECT_EQ(uart.Read(kRbrThr), 0x5A);
    EXPECT_FALSE(uart.Read(kLsr) & lsr::kDataReady) << "reading RBR empties the receiver";
    EXPECT_TRUE(uart.Transmitted().empty()) << "a looped byte never reaches the line";

    // Without loopback the byte goes out and the line's bytes come in.
    uart.Write(kMcr, 0);
    uart.Write(kRbrThr, 0x11);
    uart.ReceiveFromLine(0x22);
    EXPECT_EQ(uart.Transmitted(), std::vector<uint8_t>{0x11});
    EXPECT_EQ(uart.Read(kRbrThr), 0x22);
}

TEST_F(UartTest, LineInputIsCutOffDuringLoopback) {
    uart.Write(kMcr, mcr::kLoopback);
    uart.ReceiveFromLine(0x33);
    EXPECT_FALSE(uart.Read(kLsr) & lsr::kDataReady);
}

TEST_F(UartTest, DivisorLatchOverlaysDataAndInterruptEnable) {
    uart.Write(kIer, 0x05);
    uart.Write(kLcr, 0x83);  // DLAB with 8N1
    uart.Write(kRbrThr, 0x0C);
    uart.Write(kIer, 0x01);
    EXPECT_EQ(uart.Read(kRbrThr), 0x0C);
    EXPECT_EQ(uart.Read(kIer), 0x01);
    EXPECT_EQ(uart.Divisor(), 0x010C);
    EXPECT_TRUE(uart.Transmitted().empty()) << "a DLL write is not a transmission";

    uart.Write(kLcr, 0x03);
    EXPECT_EQ(uart.Read(kIer), 0x05) << "IER kept its value behind the latch";
    EXPECT_EQ(uart.Read(kLcr), 0x03);
}

TEST_F(UartTest, RegistersKeepOnlyTheirDefinedBits) {
    uart.Write(kIer, 0xFF);
    uart.Write(kMcr, 0xFF);
    uart.Write(kScr, 0xA5);
    EXPECT_EQ(uart.Read(kIer), 0x0F);
    EXPECT_EQ(uart.Read(kMcr), 0x1F);
    EXPECT_EQ(uart.Read(kScr), 0xA5);
    uart.Write(kLsr, 0x00);  // status registers ignore writes
    EXPECT_EQ(uart.Read(kLsr) & (lsr::kThrEmpty | lsr::kTransmitterEmpty), lsr::kThrEmpty | lsr::kTransmitterEmpty);
}

TEST_F(UartTest, NoInterruptReportedUntilEnabled) {
    uart.Write(kMcr, mcr::kLoopback);
    uart.Write(kRbrThr, 1);
    EXPECT_EQ(Iir(), iir::kNone);
    EXPECT_FALSE(uart.InterruptPending());
}

TEST_F(UartTest, TransmitterEmptyRaisedOnEnableAndClearedByReadingIir) {
    uart.Write(kIer, ier::kThrEmpty);
    EXPECT_TRUE(uart.InterruptPending());
    EXPECT_EQ(Iir(), iir::kThrEmpty);
    EXPECT_EQ(Iir(), iir::kNone) << "the first IIR read acknowledged it";
    EXPECT_FALSE(uart.InterruptPending());

    uart.Write(kRbrThr, 0x41);  // the byte leaves at once, THR empties again
    EXPECT_EQ(Iir(), iir::kThrEmpty);
}

TEST_F(UartTest, IirReportsHighestPriorityFirst) {
    uart.Write(kMcr, mcr::kLoopback);
    uart.Write(kIer, ier::kReceiveData | ier::kThrEmpty | ier::kLineStatus | ier::kModemStatus);
    uart.Write(kMcr, mcr::kLoopback | mcr::kRts);  // CTS changes: modem status
    uart.Write(kRbrThr, 0x01);                      // received data
    uart.SignalLineError(lsr::kFraming);            // line status

    EXPECT_EQ(Iir(), iir::kLineStatus);
    uart.Read(kLsr);
    EXPECT_EQ(Iir(), iir::kReceiveData);
    uart.Read(kRbrThr);
    EXPECT_EQ(Iir(), iir::kThrEmpty);
    EXPECT_EQ(Iir(), iir::kModemStatus);
    uart.Read(kMsr);
    EXPECT_EQ(Iir(), iir::kNone);
}

TEST_F(UartTest, FifoEnableShowsInIirAndDeepensReceiver) {
    uart.Write(kMcr, mcr::kLoopback);
    uart.Write(kRbrThr, 1);
    uart.Write(kRbrThr, 2);  // without FIFOs the second byte overruns
    EXPECT_EQ(uart.ReceiveLevel(), 1u);
    EXPECT_TRUE(uart.Read(kLsr) & lsr::kOverrun);
    EXPECT_FALSE(uart.Read(kLsr) & lsr::kOverrun) << "reading LSR clears the error";

    uart.Write(kIirFcr, 0xC1);
    EXPECT_EQ(Iir() & iir::kFifosEnabled, iir::kFifosEnabled);
    EXPECT_EQ(uart.ReceiveLevel(), 0u) << "enabling the FIFOs empties them";
    for (int i = 0; i < 17; ++i) uart.Write(kRbrThr, uint8_t(i));
    EXPECT_EQ(uart.ReceiveLevel(), 16u);
    EXPECT_TRUE(uart.Read(kLsr) & lsr::kOverrun);
    EXPECT_EQ(uart.Read(kRbrThr), 0) << "bytes come out in order";

    uart.Write(kIirFcr, 0xC3);  // clear the receive FIFO
    EXPECT_EQ(uart.ReceiveLevel(), 0u);
    EXPECT_EQ(uart.Fcr() & 0x01, 0x01);
}

TEST_F(UartTest, ModemOutputsLoopToInputs) {
    struct Case { uint8_t output, input; };
    const Case cases[] = {{mcr::kRts, msr::kCts}, {mcr::kDtr, msr::kDsr}, {mcr::kOut1, msr::kRi}, {mcr::kOut2, msr::kDcd}};
    for (const Case &c : cases) {
        Uart16550 u;
        u.Write(kMcr, mcr::kLoopback | c.output);
        EXPECT_EQ(u.Read(kMsr) & 0xF0, c.input) << "MCR " << int(c.output);
    }
}

TEST_F(UartTest, ModemDeltasFollowChangesAndClearOnRead) {
    uart.SetLineModemInputs(msr::kCts | msr::kRi);
    EXPECT_EQ(uart.Read(kMsr), msr::kCts | msr::kRi | msr::kDeltaCts);  // RI rising is not reported
    EXPECT_EQ(uart.Read(kMsr), msr::kCts | msr::kRi);

    uart.SetLineModemInputs(msr::kDcd);
    EXPECT_EQ(uart.Read(kMsr), msr::kDcd | msr::kDeltaCts | msr::kTrailingRi | msr::kDeltaDcd);

    // Entering loopback swaps the line inputs for the (clear) modem outputs.
    uart.Write(kMcr, mcr::kLoopback);
    EXPECT_EQ(uart.Read(kMsr), msr::kDeltaDcd);
    uart.SetLineModemInputs(msr::kCts);
    EXPECT_EQ(uart.Read(kMsr), 0) << "line inputs are ignored in loopback";
    uart.Write(kMcr, 0);
    EXPECT_EQ(uart.Read(kMsr), msr::kCts | msr::kDeltaCts);
}

}  // namespace
