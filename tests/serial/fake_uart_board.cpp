#include "fake_uart_board.h"

namespace serialtest {
namespace {
constexpr UCHAR kDlab = 0x80;
constexpr UCHAR kLoop = 0x10;
constexpr UCHAR kIerReceive = 0x01;
constexpr UCHAR kIerTransmit = 0x02;
constexpr UCHAR kLsrIdle = 0x60;  // transmitter holding and shift registers empty
constexpr ULONG kStatusOffset = 7;
}  // namespace

UCHAR FakeUartBoard::StatusBits() const
{
    UCHAR bits = 0;
    for (size_t i = 0; i < uarts.size(); ++i) {
        const Uart &u = uarts[i];
        // The transmitter is always empty here: a byte leaves at once.
        bool pending = (u.ier & kIerTransmit) || ((u.ier & kIerReceive) && u.dataReady);
        if (pending) bits |= UCHAR(1u << i);
    }
    return bits;
}

ULONG FakeUartBoard::Read(ULONG offset, unsigned)
{
    Uart &u = uarts.at(offset / 8);
    bool dlab = u.lcr & kDlab;
    switch (offset % 8) {
    case 0:
        if (dlab) return u.dll;
        u.dataReady = false;
        return u.rbr;
    case 1: return dlab ? u.dlm : u.ier;
    case 2: return 0xC1;  // FIFOs on, nothing identified
    case 3: return u.lcr;
    case 4: return u.mcr;
    case 5: return kLsrIdle | (u.dataReady ? 1 : 0);
    case 6: return 0;
    default:
        if (offset == kStatusOffset && !dlab) return kind == StatusRegister::Scratch ? scratchStatus : StatusBits();
        return u.scr;
    }
}

void FakeUartBoard::Write(ULONG offset, unsigned, ULONG value)
{
    Uart &u = uarts.at(offset / 8);
    UCHAR byte = UCHAR(value);
    bool dlab = u.lcr & kDlab;
    switch (offset % 8) {
    case 0:
        if (dlab) {
            u.dll = byte;
        } else if (u.mcr & kLoop) {
            u.rbr = byte;
            u.dataReady = true;
        }
        break;
    case 1: (dlab ? u.dlm : u.ier) = byte; break;
    case 3: u.lcr = byte; break;
    case 4: u.mcr = byte; break;
    case 7:
        if (offset != kStatusOffset || dlab)
            u.scr = byte;
        else if (kind == StatusRegister::Scratch)
            scratchStatus = byte;
        break;
    default: break;
    }
}

}  // namespace serialtest
