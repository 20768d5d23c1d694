/*
 * What the serial port driver stand-in does with its start resources: find
 * its UART block and the board's interrupt status register among them, and
 * use both the way a PC serial driver does, so that a port handed the wrong
 * registers cannot pass unnoticed.
 */
#include "serial_standin_private.h"

#include <cstdio>
#include <cstring>

namespace sim::serial {
namespace {

// 16550 register offsets within a port's 8-byte block.
enum : ULONG {
    kReceiveTransmit = 0,  // RBR / THR; divisor latch low while DLAB is set
    kInterruptEnable = 1,  // IER; divisor latch high while DLAB is set
    kFifoControl = 2,
    kLineControl = 3,
    kModemControl = 4,
    kLineStatus = 5,
};

constexpr UCHAR kLcrDivisorLatch = 0x80;
constexpr UCHAR kLcr8N1 = 0x03;
constexpr UCHAR kFcrEnableAndClear = 0x07;  // enable, clear receive and transmit FIFOs
constexpr UCHAR kMcrDtrRts = 0x03;
constexpr UCHAR kMcrOut2 = 0x08;  // gates the UART's interrupt onto the board's line
constexpr UCHAR kMcrLoopback = 0x10;
constexpr UCHAR kLsrDataReady = 0x01;
constexpr UCHAR kIerTransmitterEmpty = 0x02;
constexpr USHORT kDivisor9600 = 12;  // 1.8432 MHz clock / 16 / 9600
constexpr UCHAR kLoopbackByte = 0xA5;
constexpr int kDataReadyPolls = 8;
constexpr ULONG kUartBlockLength = 8;
constexpr ULONG kStatusRegisterBits = 8;

struct PortResources {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR *uartBlock = nullptr;
    const CM_PARTIAL_RESOURCE_DESCRIPTOR *widerRange = nullptr;  // a range it cannot take for one UART
    const CM_PARTIAL_RESOURCE_DESCRIPTOR *statusRegister = nullptr;
    bool registersInMemory = false;
};

SERIAL_CODE std::string Hex(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%02lX", value);
    return text;
}

SERIAL_CODE void AddDetail(SerialPortRecord *record, const std::string &why)
{
    if (!record->checkDetail.empty()) record->checkDetail += "; ";
    record->checkDetail += why;
}

SERIAL_CODE PortResources FindPortResources(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &translated)
{
    PortResources found;
    for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : translated) {
        if (d.Type == CmResourceTypeMemory && d.u.Memory.Length >= kUartBlockLength) found.registersInMemory = true;
        if (d.Type != CmResourceTypePort) continue;
        ULONG length = d.u.Port.Length;
        if (length == kUartBlockLength && !found.uartBlock) found.uartBlock = &d;
        if (length > 1 && length != kUartBlockLength && !found.widerRange) found.widerRange = &d;
        if (length == 1 && !found.statusRegister) found.statusRegister = &d;
    }
    return found;
}

SERIAL_CODE PUCHAR Register(const CM_PARTIAL_RESOURCE_DESCRIPTOR *d, ULONG offset)
{
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(d->u.Port.Start.LowPart + offset));
}

SERIAL_CODE void ProgramLine(const CM_PARTIAL_RESOURCE_DESCRIPTOR *uart)
{
    WRITE_PORT_UCHAR(Register(uart, kLineControl), kLcrDivisorLatch);
    WRITE_PORT_UCHAR(Register(uart, kReceiveTransmit), UCHAR(kDivisor9600 & 0xFF));
    WRITE_PORT_UCHAR(Register(uart, kInterruptEnable), UCHAR(kDivisor9600 >> 8));
    WRITE_PORT_UCHAR(Register(uart, kLineControl), kLcr8N1);
    WRITE_PORT_UCHAR(Register(uart, kFifoControl), kFcrEnableAndClear);
}

SERIAL_CODE CheckResult Loopback(const CM_PARTIAL_RESOURCE_DESCRIPTOR *uart, UCHAR savedModemControl,
                                 SerialPortRecord *record)
{
    WRITE_PORT_UCHAR(Register(uart, kModemControl), UCHAR(savedModemControl | kMcrLoopback));
    WRITE_PORT_UCHAR(Register(uart, kReceiveTransmit), kLoopbackByte);
    bool dataReady = false;
    for (int poll = 0; poll < kDataReadyPolls && !dataReady; ++poll)
        dataReady = (READ_PORT_UCHAR(Register(uart, kLineStatus)) & kLsrDataReady) != 0;
    CheckResult result = CheckResult::Failed;
    if (!dataReady) {
        AddDetail(record, "loopback: sent " + Hex(kLoopbackByte) + ", no data came back");
    } else {
        UCHAR echoed = READ_PORT_UCHAR(Register(uart, kReceiveTransmit));
        if (echoed == kLoopbackByte)
            result = CheckResult::Ok;
        else
            AddDetail(record, "loopback: sent " + Hex(kLoopbackByte) + ", read " + Hex(echoed));
    }
    WRITE_PORT_UCHAR(Register(uart, kModemControl), savedModemControl);
    return result;
}

// The board raises bit (PortIndex - 1) of its status register while that
// port's UART has an interrupt pending; ports without a "PortIndex" own bit 0.
SERIAL_CODE bool OwnStatusBit(const SerialPortRecord &record, ULONG *bit, std::string *why)
{
    for (const auto &[name, value] : record.registry) {
        if (name != "PortIndex") continue;
        ULONG portIndex = 0;
        if (value.type != REG_DWORD || value.data.size() != sizeof portIndex) {
            *why = "PortIndex is not a REG_DWORD";
            return false;
        }
        std::memcpy(&portIndex, value.data.data(), sizeof portIndex);
        if (portIndex < 1 || portIndex > kStatusRegisterBits) {
            *why = "PortIndex " + std::to_string(portIndex) + " has no bit in the status register";
            return false;
        }
        *bit = portIndex - 1;
        return true;
    }
    *bit = 0;
    return true;
}

SERIAL_CODE CheckResult StatusRegister(const CM_PARTIAL_RESOURCE_DESCRIPTOR *uart,
                                       const CM_PARTIAL_RESOURCE_DESCRIPTOR *status, ULONG bit,
                                       UCHAR savedModemControl, SerialPortRecord *record)
{
    const UCHAR mask = UCHAR(1u << bit);
    WRITE_PORT_UCHAR(Register(uart, kModemControl), UCHAR(savedModemControl | kMcrDtrRts | kMcrOut2));
    WRITE_PORT_UCHAR(Register(uart, kInterruptEnable), kIerTransmitterEmpty);
    UCHAR raised = READ_PORT_UCHAR(Register(status, 0));
    WRITE_PORT_UCHAR(Register(uart, kInterruptEnable), 0);
    UCHAR quiet = READ_PORT_UCHAR(Register(status, 0));
    WRITE_PORT_UCHAR(Register(uart, kModemControl), savedModemControl);

    if (!(raised & mask)) {
        AddDetail(record, "expected bit " + std::to_string(bit) + ", status register read " + Hex(raised));
        return CheckResult::Failed;
    }
    if (quiet & mask) {
        AddDetail(record, "bit " + std::to_string(bit) + " stayed set with interrupts disabled, status register read " +
                              Hex(quiet));
        return CheckResult::Failed;
    }
    return CheckResult::Ok;
}

}  // namespace

SERIAL_CODE void RunPortChecks(SerialPortRecord *record)
{
    PortResources resources = FindPortResources(record->translated);
    if (!resources.uartBlock) {
        record->loopback = CheckResult::Failed;
        if (resources.widerRange)
            AddDetail(record, "given a range of " + std::to_string(resources.widerRange->u.Port.Length) + " bytes");
        else if (resources.registersInMemory)
            AddDetail(record, "no UART block (registers given in memory space)");
        else
            AddDetail(record, "no UART block");
        return;  // without a UART of its own nothing can raise its status bit
    }

    const CM_PARTIAL_RESOURCE_DESCRIPTOR *uart = resources.uartBlock;
    // Loopback and OUT2 are the test's; whatever else the modem control
    // register held stays, and the port is left with interrupts disabled.
    UCHAR savedModemControl =
        UCHAR(READ_PORT_UCHAR(Register(uart, kModemControl)) & ~(kMcrLoopback | kMcrOut2));
    ProgramLine(uart);
    WRITE_PORT_UCHAR(Register(uart, kInterruptEnable), 0);
    record->loopback = Loopback(uart, savedModemControl, record);

    if (!resources.statusRegister) return;  // single-port cards have no status register
    ULONG bit = 0;
    std::string why;
    if (!OwnStatusBit(*record, &bit, &why)) {
        record->statusRegister = CheckResult::Failed;
        AddDetail(record, why);
        return;
    }
    record->statusRegister = StatusRegister(uart, resources.statusRegister, bit, savedModemControl, record);
}

}  // namespace sim::serial
