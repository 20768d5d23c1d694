#include "uart16550.h"

namespace sim {

namespace {
constexpr size_t kFifoDepth = 16;
constexpr uint8_t kModemInputBits = msr::kCts | msr::kDsr | msr::kRi | msr::kDcd;
}  // namespace

uint8_t Uart16550::Read(unsigned reg) {
    switch (reg & 7) {
    case kRbrThr: {
        if (Dlab()) return dll_;
        if (rx_.empty()) return 0;
        uint8_t byte = rx_.front();
        rx_.pop_front();
        return byte;
    }
    case kIer:
        return Dlab() ? dlm_ : ier_;
    case kIirFcr: {
        uint8_t id = PendingInterrupt();
        // Reading IIR is what acknowledges a transmitter-empty interrupt.
        if (id == iir::kThrEmpty) thrEmptyPending_ = false;
        return uint8_t(id | (FifosEnabled() ? iir::kFifosEnabled : 0));
    }
    case kLcr:
        return lcr_;
    case kMcr:
        return mcr_;
    case kLsr: {
        uint8_t value = LineStatus();
        lineErrors_ = 0;
        return value;
    }
    case kMsr: {
        uint8_t value = msr_;
        msr_ &= kModemInputBits;
        return value;
    }
    default:
        return scr_;
    }
}

void Uart16550::Write(unsigned reg, uint8_t value) {
    switch (reg & 7) {
    case kRbrThr:
        if (Dlab())
            dll_ = value;
        else
            Transmit(value);
        break;
    case kIer:
        if (Dlab()) {
            dlm_ = value;
        } else {
            // Enabling the transmitter interrupt with THR empty raises it at once.
            if (value & ~ier_ & ier::kThrEmpty) thrEmptyPending_ = true;
            ier_ = value & 0x0F;
        }
        break;
    case kIirFcr:
        if ((value ^ fcr_) & 0x01) rx_.clear();  // switching the FIFOs on or off empties them
        if (value & 0x02) rx_.clear();
        fcr_ = value & 0xC9;  // enable, DMA mode and trigger level are kept; resets self-clear
        break;
    case kLcr:
        lcr_ = value;
        break;
    case kMcr:
        mcr_ = value & 0x1F;
        UpdateModemInputs();
        break;
    case kLsr:
    case kMsr:
        break;  // status registers: writes have no effect
    default:
        scr_ = value;
        break;
    }
}

bool Uart16550::InterruptPending() const { return PendingInterrupt() != iir::kNone; }

uint8_t Uart16550::PendingInterrupt() const {
    if ((ier_ & ier::kLineStatus) && lineErrors_) return iir::kLineStatus;
    if ((ier_ & ier::kReceiveData) && !rx_.empty()) return iir::kReceiveData;
    if ((ier_ & ier::kThrEmpty) && thrEmptyPending_) return iir::kThrEmpty;
    if ((ier_ & ier::kModemStatus) && (msr_ & ~kModemInputBits)) return iir::kModemStatus;
    return iir::kNone;
}

uint8_t Uart16550::LineStatus() const {
    return uint8_t((rx_.empty() ? 0 : lsr::kDataReady) | lineErrors_ | lsr::kThrEmpty | lsr::kTransmitterEmpty);
}

void Uart16550::Transmit(uint8_t byte) {
    if (Loopback())
        Receive(byte);
    else
        transmitted_.push_back(byte);
    thrEmptyPending_ = true;  // the byte has gone, THR is empty again
}

void Uart16550::Receive(uint8_t byte) {
    if (rx_.size() >= (FifosEnabled() ? kFifoDepth : 1)) {
        lineErrors_ |= lsr::kOverrun;
        return;
    }
    rx_.push_back(byte);
}

void Uart16550::ReceiveFromLine(uint8_t byte) {
    if (!Loopback()) Receive(byte);
}

void Uart16550::SignalLineError(uint8_t lsrBits) { lineErrors_ |= lsrBits & lsr::kErrors; }

void Uart16550::SetLineModemInputs(uint8_t msrBits) {
    lineModemInputs_ = msrBits & kModemInputBits;
    UpdateModemInputs();
}

void Uart16550::UpdateModemInputs() {
    uint8_t inputs = lineModemInputs_;
    if (Loopback()) {
        // The modem outputs loop back: RTS to CTS, DTR to DSR, OUT1 to RI, OUT2 to DCD.
        inputs = uint8_t(((mcr_ & mcr::kRts) ? msr::kCts : 0) | ((mcr_ & mcr::kDtr) ? msr::kDsr : 0) |
                         ((mcr_ & mcr::kOut1) ? msr::kRi : 0) | ((mcr_ & mcr::kOut2) ? msr::kDcd : 0));
    }
    uint8_t old = msr_ & kModemInputBits;
    uint8_t changed = old ^ inputs;
    uint8_t deltas = msr_ & ~kModemInputBits;
    if (changed & msr::kCts) deltas |= msr::kDeltaCts;
    if (changed & msr::kDsr) deltas |= msr::kDeltaDsr;
    if (changed & msr::kDcd) deltas |= msr::kDeltaDcd;
    if ((old & msr::kRi) && !(inputs & msr::kRi)) deltas |= msr::kTrailingRi;  // only the falling edge counts
    msr_ = uint8_t(inputs | deltas);
}

}  // namespace sim
