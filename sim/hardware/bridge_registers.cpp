#include "bridge_registers.h"

namespace sim {

BridgeRegisters::BridgeRegisters(const BridgeValues &initial) {
    for (ULONG reg = 0; reg < initial.size(); ++reg) Write(reg * 4, 4, initial[reg]);
}

// Bytes past the end of the range float high, as an undecoded bus does.
ULONG BridgeRegisters::Read(ULONG offset, unsigned width) { return Bytes(offset, width); }

ULONG BridgeRegisters::Bytes(ULONG offset, unsigned width) const {
    ULONG value = 0;
    for (unsigned i = 0; i < width; ++i) {
        ULONG at = offset + i;
        value |= ULONG(at < bytes_.size() ? bytes_[at] : 0xFF) << (8 * i);
    }
    return value;
}

void BridgeRegisters::Write(ULONG offset, unsigned width, ULONG value) {
    for (unsigned i = 0; i < width; ++i) {
        ULONG at = offset + i;
        if (at < bytes_.size()) bytes_[at] = uint8_t(value >> (8 * i));
    }
}

uint32_t BridgeRegisters::Register(ULONG offset) const {
    return Bytes(offset & ~3ul, 4);
}

}  // namespace sim
