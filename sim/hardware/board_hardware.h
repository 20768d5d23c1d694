/*
 * One board as the port I/O space sees it: N 16550 UARTs in one range, port i
 * at offset 8*i, with the board's own registers overlaid on port 0's block,
 * and (on PCI boards) a separate 128-byte bridge register range.
 *
 * Offset 7 of port 0's block:
 *   - port 0's LCR bit 7 clear: the interrupt status register, read-only, bit
 *     i set while port i has an interrupt pending (or, on the "scratch"
 *     variant, port 0's scratch register, which stores what is written);
 *   - LCR bit 7 set, card with option registers: the option register;
 *   - LCR bit 7 set otherwise: port 0's scratch register.
 * Offset 4 of port 0's block reaches the mode control register instead of MCR
 * while LCR holds exactly 0xBF and option register bit 4 is set.
 *
 * Power: the board decodes its ranges in D0 only. In D1-D3 (set by its bus
 * driver when a device power request reaches the board's PDO) every access
 * to either range is refused: reads float to all ones, writes are lost, and
 * the I/O log marks the access (PCI Bus Power Management: only configuration
 * space answers outside D0).
 *
 * The cards' documented way to the option register is LCR = 0xBF. The model
 * decodes it on LCR bit 7 alone, because the bus driver's SetPortOptions
 * reaches it with the current LCR value plus the divisor-latch bit; the mode
 * control register stays behind the exact 0xBF.
 */
#pragma once

#include "bridge_registers.h"
#include "option_registers.h"
#include "uart16550.h"

#include <hk/host.h>

#include <array>
#include <cstdint>
#include <memory>

namespace sim {

constexpr unsigned kMaxPorts = 8;
constexpr ULONG kUartBlockLength = 8;

enum class StatusRegisterKind {
    InterruptStatus,  // the genuine read-only register
    Scratch,          // bad hardware: port 0's scratch register answers in its place
};

struct BoardHardwareConfig {
    unsigned ports = 4;  // 1..8
    ULONG ioBase = 0x300;
    ULONG bridgeBase = 0;  // 0: no bridge range (not a PCI board)
    // 0: the ranges are decoded in I/O space. Otherwise the machine reaches
    // its I/O space through memory, and the ranges answer at the physical
    // addresses memoryWindow + ioBase and memoryWindow + bridgeBase only.
    ULONGLONG memoryWindow = 0;
    StatusRegisterKind statusRegister = StatusRegisterKind::InterruptStatus;
    bool optionRegisters = false;
    OptionRegisterConfig optionConfig;  // used when optionRegisters is set
    BridgeValues bridgeInitial{};
};

class BoardHardware {
public:
    explicit BoardHardware(const BoardHardwareConfig &config);  // throws std::invalid_argument on a bad port count
    ~BoardHardware();
    BoardHardware(const BoardHardware &) = delete;
    BoardHardware &operator=(const BoardHardware &) = delete;

    // Attach/detach the UART range and, when there is one, the bridge range,
    // in the space the board is decoded in.
    void Plug();
    void Unplug();
    bool Plugged() const { return plugged_; }

    // The ranges as the I/O space sees them (offsets from their bases).
    hk::IoRange &UartRange() { return uartRange_; }
    hk::IoRange &BridgeRange() { return bridgeRange_; }

    void SetPowerState(DEVICE_POWER_STATE state) { power_ = state; }
    DEVICE_POWER_STATE PowerState() const { return power_; }
    bool Decoding() const { return power_ < PowerDeviceD1; }  // D0 (or never set)

    // ---- pure accessors: no side effects on the registers
    const BoardHardwareConfig &Config() const { return config_; }
    unsigned Ports() const { return config_.ports; }
    ULONG UartRangeLength() const { return config_.ports * kUartBlockLength; }
    Uart16550 &Uart(unsigned port) { return uarts_.at(port); }
    const Uart16550 &Uart(unsigned port) const { return uarts_.at(port); }
    uint8_t PendingInterruptBits() const;  // what the interrupt status register shows
    bool InterruptLineAsserted() const { return PendingInterruptBits() != 0; }
    uint8_t OptionRegisterValue() const { return options_.ReadOption(); }
    uint8_t ModeControlValue() const { return options_.ReadMode(); }
    uint32_t BridgeRegister(ULONG offset) const { return bridge_.Register(offset); }

private:
    class Uarts : public hk::IoRange {
    public:
        explicit Uarts(BoardHardware &board) : board_(board) {}
        ULONG Read(ULONG offset, unsigned width) override;
        void Write(ULONG offset, unsigned width, ULONG value) override;

        bool Refuses() const override { return !board_.Decoding(); }

    private:
        BoardHardware &board_;
    };

    class Bridge : public hk::IoRange {
    public:
        explicit Bridge(BoardHardware &board) : board_(board) {}
        ULONG Read(ULONG offset, unsigned width) override { return board_.bridge_.Read(offset, width); }
        void Write(ULONG offset, unsigned width, ULONG value) override { board_.bridge_.Write(offset, width, value); }
        bool Refuses() const override { return !board_.Decoding(); }

    private:
        BoardHardware &board_;
    };

    // Which register a byte offset of the UART range reaches right now.
    enum class Target { Uart, StatusRegister, OptionRegister, ModeControl, Undecoded };
    Target Decode(ULONG offset) const;
    uint8_t ReadByte(ULONG offset);
    void WriteByte(ULONG offset, uint8_t value);

    BoardHardwareConfig config_;
    std::array<Uart16550, kMaxPorts> uarts_;
    OptionRegisters options_;
    BridgeRegisters bridge_;
    Uarts uartRange_{*this};
    Bridge bridgeRange_{*this};
    bool plugged_ = false;
    DEVICE_POWER_STATE power_ = PowerDeviceUnspecified;
};

}  // namespace sim
