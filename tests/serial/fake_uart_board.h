/*
 * A small stand-in for a multiport board's registers: 16550 blocks of eight
 * registers each, with the board's interrupt status register at offset 7 of
 * the first block (read-only while that block's DLAB is clear, one bit per
 * port with a transmitter-empty or receive interrupt pending), or, for bad
 * hardware, a plain scratch register there instead.
 */
#pragma once

#include <hk/host.h>

#include <vector>

namespace serialtest {

class FakeUartBoard : public hk::IoRange {
public:
    enum class StatusRegister { ReadOnly, Scratch };

    struct Uart {
        UCHAR ier = 0, lcr = 0, mcr = 0, dll = 0, dlm = 0, rbr = 0, scr = 0;
        bool dataReady = false;
    };

    explicit FakeUartBoard(unsigned ports, StatusRegister kind = StatusRegister::ReadOnly) : uarts(ports), kind(kind) {}

    ULONG Read(ULONG offset, unsigned width) override;
    void Write(ULONG offset, unsigned width, ULONG value) override;

    UCHAR StatusBits() const;  // what the read-only status register shows

    std::vector<Uart> uarts;
    StatusRegister kind;
    UCHAR scratchStatus = 0;  // the scratch variant's stored byte
};

}  // namespace serialtest
