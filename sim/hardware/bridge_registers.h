/*
 * The PCI bridge register range of a PCI board: 128 bytes holding 32
 * little-endian 32-bit registers, read and written at any width. Nothing in
 * the range has side effects; 0x38 and 0x3C are the two the driver programs.
 */
#pragma once

#include <hk/host.h>

#include <array>
#include <cstdint>

namespace sim {

constexpr ULONG kBridgeRangeLength = 0x80;
using BridgeValues = std::array<uint32_t, kBridgeRangeLength / 4>;

class BridgeRegisters : public hk::IoRange {
public:
    explicit BridgeRegisters(const BridgeValues &initial = {});

    ULONG Read(ULONG offset, unsigned width) override;
    void Write(ULONG offset, unsigned width, ULONG value) override;

    uint32_t Register(ULONG offset) const;  // the 32-bit register holding |offset|

private:
    ULONG Bytes(ULONG offset, unsigned width) const;

    std::array<uint8_t, kBridgeRangeLength> bytes_{};
};

}  // namespace sim
