/*
 * The option register and the mode control register that some PCMCIA cards
 * overlay on their first port's register block.
 *
 * Option register: bits 0-1 the option field, bit 4 opens the mode control
 * register at offset 4, bits 6-7 the presence signature. A genuine card
 * answers a signature written as 00/01/10/11 with 00/01/01/10; other bits
 * read 0. Mode control register: bits 0-1 (mode low) and bits 2-4 (mode
 * high); other bits read 0.
 */
#pragma once

#include <cstdint>

namespace sim {

// How one register field behaves.
struct FieldConfig {
    enum class Kind { Absent, Fixed, Settable };
    Kind kind = Kind::Settable;
    uint8_t value = 0;  // the fixed value, in the field's own bit positions

    static FieldConfig Absent() { return {Kind::Absent, 0}; }
    static FieldConfig Fixed(uint8_t value) { return {Kind::Fixed, value}; }
    static FieldConfig Settable() { return {Kind::Settable, 0}; }
};

struct OptionRegisterConfig {
    bool signatureOk = true;  // false: bits 7-6 read back as written
    FieldConfig option;       // option register bits 0-1
    FieldConfig modeLow;      // mode control bits 0-1
    FieldConfig modeHigh;     // mode control bits 2-4
};

namespace option {
constexpr uint8_t kField = 0x03, kModeAccess = 0x10, kSignature = 0xC0;
}
namespace mode {
constexpr uint8_t kLow = 0x03, kHigh = 0x1C;
}

class OptionRegisters {
public:
    explicit OptionRegisters(const OptionRegisterConfig &config = {}) : config_(config) {}

    uint8_t ReadOption() const;
    void WriteOption(uint8_t value);
    uint8_t ReadMode() const;
    void WriteMode(uint8_t value);
    bool ModeAccessOpen() const { return modeAccess_; }

private:
    OptionRegisterConfig config_;
    uint8_t optionField_ = 0, modeLow_ = 0, modeHigh_ = 0;
    uint8_t signatureWritten_ = 0;  // bits 7-6 as last written
    bool modeAccess_ = false;
};

}  // namespace sim
