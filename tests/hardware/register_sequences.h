/*
 * The register sequences a driver runs against a board, written here from
 * the board's documented access sequences so the tests exercise the models
 * the way the bus driver will: byte accesses at offsets from the UART base.
 */
#pragma once

#include <hk/host.h>

#include <cstdint>
#include <initializer_list>

namespace hwtest {

constexpr unsigned kLcr = 3, kModeControl = 4, kOffset7 = 7;

class PortIo {
public:
    explicit PortIo(hk::IoRange &range) : range_(range) {}
    uint8_t In(ULONG offset) { return uint8_t(range_.Read(offset, 1)); }
    void Out(ULONG offset, uint8_t value) { range_.Write(offset, 1, value); }

private:
    hk::IoRange &range_;
};

inline uint8_t ReadOptionRegister(PortIo &io) {
    uint8_t s = io.In(kLcr);
    io.Out(kLcr, 0xBF);
    uint8_t value = io.In(kOffset7);
    io.Out(kLcr, s);
    return value;
}

inline void WriteOptionRegister(PortIo &io, uint8_t value) {
    uint8_t s = io.In(kLcr);
    io.Out(kLcr, 0xBF);
    io.In(kOffset7);
    io.Out(kOffset7, value);
    io.Out(kLcr, s);
}

inline uint8_t ReadModeControlRegister(PortIo &io) {
    uint8_t s = io.In(kLcr);
    io.Out(kLcr, 0xBF);
    uint8_t o = io.In(kOffset7);
    io.Out(kOffset7, o | 0x10);
    uint8_t value = io.In(kModeControl);
    io.Out(kOffset7, o);
    io.Out(kLcr, s);
    return value;
}

inline void WriteModeControlRegister(PortIo &io, uint8_t value) {
    uint8_t s = io.In(kLcr);
    io.Out(kLcr, 0xBF);
    uint8_t o = io.In(kOffset7);
    io.Out(kOffset7, o | 0x10);
    io.Out(kModeControl, value);
    io.Out(kOffset7, o);
    io.Out(kLcr, s);
}

// The presence signature on option register bits 7-6.
inline bool OptionRegisterAbsent(PortIo &io) {
    struct Step { uint8_t written, expected; };
    static constexpr Step kSteps[] = {{0x00, 0x00}, {0x40, 0x40}, {0x80, 0x40}, {0xC0, 0x80}};
    uint8_t o = ReadOptionRegister(io);
    for (unsigned i = 0; i < 4; ++i) {
        WriteOptionRegister(io, uint8_t((o & 0x3F) | kSteps[i].written));
        bool match = (ReadOptionRegister(io) & 0xC0) == kSteps[i].expected;
        if (i == 3) {
            WriteOptionRegister(io, o);  // only a register that passed so far gets its value back
            return !match;
        }
        if (!match) return true;
    }
    return true;  // not reached
}

enum class Probe { RegisterAbsent, Fixed, Settable };
struct ProbeResult {
    Probe outcome;
    uint8_t fixedValue;  // the field's value in the first read, when fixed
};

enum class Field { Option, ModeLow, ModeHigh };

// The shared field probe: clear the field, then set it, and see what follows.
inline ProbeResult ProbeField(PortIo &io, Field field) {
    const bool isOption = field == Field::Option;
    const uint8_t f = field == Field::ModeHigh ? 0x1C : 0x03;
    auto read = [&] { return isOption ? ReadOptionRegister(io) : ReadModeControlRegister(io); };
    auto write = [&](uint8_t v) { isOption ? WriteOptionRegister(io, v) : WriteModeControlRegister(io, v); };

    if (OptionRegisterAbsent(io)) return {Probe::RegisterAbsent, 0};
    uint8_t o = read();
    bool fixed;
    write(uint8_t(o & ~f));
    if (read() & f) {
        fixed = true;
    } else {
        write(uint8_t((o & ~f) | f));
        fixed = (read() & f) == 0;
    }
    if (!isOption) write(o);
    return fixed ? ProbeResult{Probe::Fixed, uint8_t(o & f)} : ProbeResult{Probe::Settable, 0};
}

// The board check: offset 7 must ignore every pattern written to it.
inline bool InterruptStatusRegisterReadOnly(PortIo &io) {
    uint8_t s = io.In(kLcr);
    io.Out(kLcr, s & 0x7F);
    uint8_t reference = io.In(kOffset7);
    bool readOnly = true;
    for (uint8_t pattern : {0xFF, 0xAA, 0x55, 0x00}) {
        io.Out(kOffset7, pattern);
        if (io.In(kOffset7) != reference) {
            readOnly = false;
            break;
        }
    }
    io.Out(kLcr, s);
    return readOnly;
}

}  // namespace hwtest
