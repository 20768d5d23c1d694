#include "option_registers.h"

namespace sim {

namespace {

uint8_t ReadField(const FieldConfig &field, uint8_t stored, uint8_t mask) {
    switch (field.kind) {
    case FieldConfig::Kind::Absent: return 0;
    case FieldConfig::Kind::Fixed: return field.value & mask;
    case FieldConfig::Kind::Settable: return stored & mask;
    }
    return 0;
}

// Only a settable field keeps what is written; the others ignore writes.
void WriteField(const FieldConfig &field, uint8_t *stored, uint8_t value, uint8_t mask) {
    if (field.kind == FieldConfig::Kind::Settable) *stored = value & mask;
}

// The signature a genuine card answers: 00->00, 01->01, 10->01, 11->10.
uint8_t GenuineSignature(uint8_t written) {
    static constexpr uint8_t kAnswer[4] = {0x00, 0x40, 0x40, 0x80};
    return kAnswer[written >> 6];
}

}  // namespace

uint8_t OptionRegisters::ReadOption() const {
    uint8_t signature = config_.signatureOk ? GenuineSignature(signatureWritten_) : signatureWritten_;
    return uint8_t(signature | (modeAccess_ ? option::kModeAccess : 0) |
                   ReadField(config_.option, optionField_, option::kField));
}

void OptionRegisters::WriteOption(uint8_t value) {
    signatureWritten_ = value & option::kSignature;
    modeAccess_ = value & option::kModeAccess;
    WriteField(config_.option, &optionField_, value, option::kField);
}

uint8_t OptionRegisters::ReadMode() const {
    return uint8_t(ReadField(config_.modeLow, modeLow_, mode::kLow) | ReadField(config_.modeHigh, modeHigh_, mode::kHigh));
}

void OptionRegisters::WriteMode(uint8_t value) {
    WriteField(config_.modeLow, &modeLow_, value, mode::kLow);
    WriteField(config_.modeHigh, &modeHigh_, value, mode::kHigh);
}

}  // namespace sim
