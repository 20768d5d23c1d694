/*
 * A 16550-compatible UART as seen through its eight I/O registers.
 *
 * Transmission is instantaneous: a byte written to THR leaves at once (onto
 * the line, or back into the receiver in loopback), so THR and the shift
 * register are always empty again by the next access. The receiver holds 16
 * bytes with the FIFOs enabled and one without; a byte arriving at a full
 * receiver is lost and sets the overrun error.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

// Register offsets within a UART's 8-byte block.
enum UartRegister : unsigned {
    kRbrThr = 0,  // DLL while LCR.DLAB
    kIer = 1,     // DLM while LCR.DLAB
    kIirFcr = 2,
    kLcr = 3,
    kMcr = 4,
    kLsr = 5,
    kMsr = 6,
    kScr = 7,
};

namespace lcr { constexpr uint8_t kDlab = 0x80; }
namespace ier {
constexpr uint8_t kReceiveData = 0x01, kThrEmpty = 0x02, kLineStatus = 0x04, kModemStatus = 0x08;
}
namespace mcr {
constexpr uint8_t kDtr = 0x01, kRts = 0x02, kOut1 = 0x04, kOut2 = 0x08, kLoopback = 0x10;
}
namespace lsr {
constexpr uint8_t kDataReady = 0x01, kOverrun = 0x02, kParity = 0x04, kFraming = 0x08, kBreak = 0x10,
                  kThrEmpty = 0x20, kTransmitterEmpty = 0x40, kFifoError = 0x80;
constexpr uint8_t kErrors = kOverrun | kParity | kFraming | kBreak;
}
namespace msr {
constexpr uint8_t kDeltaCts = 0x01, kDeltaDsr = 0x02, kTrailingRi = 0x04, kDeltaDcd = 0x08, kCts = 0x10,
                  kDsr = 0x20, kRi = 0x40, kDcd = 0x80;
}
// IIR identification codes (bits 3-1 with bit 0 clear while one is pending).
namespace iir {
constexpr uint8_t kNone = 0x01, kModemStatus = 0x00, kThrEmpty = 0x02, kReceiveData = 0x04, kLineStatus = 0x06,
                  kFifosEnabled = 0xC0;
}

class Uart16550 {
public:
    uint8_t Read(unsigned reg);
    void Write(unsigned reg, uint8_t value);

    // True while an enabled interrupt condition is pending (what IIR bit 0
    // reports inverted). OUT2 does not gate it: the board's status register
    // shows each port's own pending interrupt.
    bool InterruptPending() const;

    // ---- the far side of the line, for the simulator and tests
    // A byte arriving on the serial line; dropped in loopback, where the
    // receiver is cut off from the line.
    void ReceiveFromLine(uint8_t byte);
    // Parity, framing or break bits (lsr::kParity...) for the last reception.
    void SignalLineError(uint8_t lsrBits);
    // Modem inputs from the line as msr status bits (kCts|kDsr|kRi|kDcd);
    // ignored in loopback until loopback ends.
    void SetLineModemInputs(uint8_t msrBits);
    const std::vector<uint8_t> &Transmitted() const { return transmitted_; }

    // ---- pure accessors
    uint8_t Lcr() const { return lcr_; }
    uint8_t Mcr() const { return mcr_; }
    uint8_t Ier() const { return ier_; }
    uint8_t Fcr() const { return fcr_; }
    uint8_t Scratch() const { return scr_; }
    uint16_t Divisor() const { return uint16_t(dll_ | dlm_ << 8); }
    uint8_t LineStatus() const;
    uint8_t ModemStatus() const { return msr_; }
    size_t ReceiveLevel() const { return rx_.size(); }

private:
    bool Dlab() const { return lcr_ & lcr::kDlab; }
    bool Loopback() const { return mcr_ & mcr::kLoopback; }
    bool FifosEnabled() const { return fcr_ & 0x01; }
    uint8_t PendingInterrupt() const;  // IIR identification
    void Transmit(uint8_t byte);
    void Receive(uint8_t byte);
    void UpdateModemInputs();  // recomputes MSR status bits and their deltas

    uint8_t dll_ = 0, dlm_ = 0, ier_ = 0, fcr_ = 0, lcr_ = 0, mcr_ = 0, scr_ = 0;
    uint8_t lineErrors_ = 0;   // LSR bits 1-4, cleared by reading LSR
    uint8_t msr_ = 0;          // status bits 7-4 and delta bits 3-0
    uint8_t lineModemInputs_ = 0;
    bool thrEmptyPending_ = false;  // armed when THR empties or the interrupt is enabled
    std::deque<uint8_t> rx_;
    std::vector<uint8_t> transmitted_;
};

}  // namespace sim
