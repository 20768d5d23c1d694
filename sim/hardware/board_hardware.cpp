#include "board_hardware.h"

#include <stdexcept>

namespace sim {

namespace {
constexpr uint8_t kOptionAccessLcr = 0xBF;
}

BoardHardware::BoardHardware(const BoardHardwareConfig &config)
    : config_(config), options_(config.optionConfig), bridge_(config.bridgeInitial) {
    if (config.ports < 1 || config.ports > kMaxPorts)
        throw std::invalid_argument("a board carries 1 to 8 ports");
}

BoardHardware::~BoardHardware() { Unplug(); }

void BoardHardware::Plug() {
    if (plugged_) return;
    auto attach = [this](ULONG base, ULONG length, hk::IoRange *range) {
        if (config_.memoryWindow)
            hk::AttachMemoryRange(config_.memoryWindow + base, length, range);
        else
            hk::AttachIoRange(base, length, range);
    };
    attach(config_.ioBase, UartRangeLength(), &uartRange_);
    if (config_.bridgeBase) attach(config_.bridgeBase, kBridgeRangeLength, &bridgeRange_);
    plugged_ = true;
}

void BoardHardware::Unplug() {
    if (!plugged_) return;
    hk::DetachIoRange(&uartRange_);
    if (config_.bridgeBase) hk::DetachIoRange(&bridgeRange_);
    plugged_ = false;
}

uint8_t BoardHardware::PendingInterruptBits() const {
    uint8_t bits = 0;
    for (unsigned port = 0; port < config_.ports; ++port)
        if (uarts_[port].InterruptPending()) bits |= uint8_t(1u << port);
    return bits;
}

BoardHardware::Target BoardHardware::Decode(ULONG offset) const {
    if (offset >= UartRangeLength()) return Target::Undecoded;
    if (offset >= kUartBlockLength) return Target::Uart;
    uint8_t lcr = uarts_[0].Lcr();
    bool dlab = lcr & lcr::kDlab;
    if (offset == kScr) {
        if (!dlab)
            return config_.statusRegister == StatusRegisterKind::Scratch ? Target::Uart : Target::StatusRegister;
        return config_.optionRegisters ? Target::OptionRegister : Target::Uart;
    }
    if (offset == kMcr && config_.optionRegisters && lcr == kOptionAccessLcr && options_.ModeAccessOpen())
        return Target::ModeControl;
    return Target::Uart;
}

uint8_t BoardHardware::ReadByte(ULONG offset) {
    switch (Decode(offset)) {
    case Target::Uart: return uarts_[offset / kUartBlockLength].Read(offset % kUartBlockLength);
    case Target::StatusRegister: return PendingInterruptBits();
    case Target::OptionRegister: return options_.ReadOption();
    case Target::ModeControl: return options_.ReadMode();
    case Target::Undecoded: break;
    }
    return 0xFF;  // nothing drives the bus
}

void BoardHardware::WriteByte(ULONG offset, uint8_t value) {
    switch (Decode(offset)) {
    case Target::Uart: uarts_[offset / kUartBlockLength].Write(offset % kUartBlockLength, value); break;
    case Target::OptionRegister: options_.WriteOption(value); break;
    case Target::ModeControl: options_.WriteMode(value); break;
    case Target::StatusRegister:  // read-only
    case Target::Undecoded: break;
    }
}

// The UARTs are byte-wide devices: a wider access becomes consecutive byte
// accesses, lowest address first, as the bus splits it.
ULONG BoardHardware::Uarts::Read(ULONG offset, unsigned width) {
    ULONG value = 0;
    for (unsigned i = 0; i < width; ++i) value |= ULONG(board_.ReadByte(offset + i)) << (8 * i);
    return value;
}

void BoardHardware::Uarts::Write(ULONG offset, unsigned width, ULONG value) {
    for (unsigned i = 0; i < width; ++i) board_.WriteByte(offset + i, uint8_t(value >> (8 * i)));
}

}  // namespace sim
