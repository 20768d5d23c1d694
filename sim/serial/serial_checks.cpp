/*
 * What the serial port driver stand-in does with its start resources: find
 * its UART block and the board's interrupt status register among them, and
 * use both the way a PC serial driver does, so that a port handed the wrong
 * registers cannot pass unnoticed. A port range that comes in memory space
 * (no CM_RESOURCE_PORT_IO on the translated descriptor) is mapped and reached
 * with the register routines, as the system's serial driver does.
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

// A register range as the driver reaches it: a port in I/O space, or a
// mapping of a range in memory space.
struct Registers {
    PUCHAR base = nullptr;
    ULONG mappedLength = 0;  // non-zero: base is a mapping
};

SERIAL_CODE std::string Hex(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
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

SERIAL_CODE bool OpenRegisters(const CM_PARTIAL_RESOURCE_DESCRIPTOR *d, Registers *registers, SerialPortRecord *record)
{
    if (d->Flags & CM_RESOURCE_PORT_IO) {
        registers->base = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(d->u.Port.Start.LowPart));
        return true;
    }
    registers->base = static_cast<PUCHAR>(MmMapIoSpace(d->u.Port.Start, d->u.Port.Length, MmNonCached));
    if (!registers->base) {
        AddDetail(record, "could not map " + std::to_string(d->u.Port.Length) + " bytes of memory space");
        return false;
    }
    registers->mappedLength = d->u.Port.Length;
    return true;
}

SERIAL_CODE void CloseRegisters(Registers *registers)
{
    if (registers->mappedLength) MmUnmapIoSpace(registers->base, registers->mappedLength);
    *registers = Registers();
}

SERIAL_CODE UCHAR In(const Registers &registers, ULONG offset)
{
    return registers.mappedLength ? READ_REGISTER_UCHAR(registers.base + offset)
                                  : READ_PORT_UCHAR(registers.base + offset);
}

SERIAL_CODE void Out(const Registers &registers, ULONG offset, UCHAR value)
{
    if (registers.mappedLength)
        WRITE_REGISTER_UCHAR(registers.base + offset, value);
    else
        WRITE_PORT_UCHAR(registers.base + offset, value);
}

SERIAL_CODE void ProgramLine(const Registers &uart)
{
    Out(uart, kLineControl, kLcrDivisorLatch);
    Out(uart, kReceiveTransmit, UCHAR(kDivisor9600 & 0xFF));
    Out(uart, kInterruptEnable, UCHAR(kDivisor9600 >> 8));
    Out(uart, kLineControl, kLcr8N1);
    Out(uart, kFifoControl, kFcrEnableAndClear);
}

SERIAL_CODE CheckResult Loopback(const Registers &uart, UCHAR savedModemControl, SerialPortRecord *record)
{
    Out(uart, kModemControl, UCHAR(savedModemControl | kMcrLoopback));
    Out(uart, kReceiveTransmit, kLoopbackByte);
    bool dataReady = false;
    for (int poll = 0; poll < kDataReadyPolls && !dataReady; ++poll)
        dataReady = (In(uart, kLineStatus) & kLsrDataReady) != 0;
    CheckResult result = CheckResult::Failed;
    if (!dataReady) {
        AddDetail(record, "loopback: sent " + Hex(kLoopbackByte) + ", no data came back");
    } else {
        UCHAR echoed = In(uart, kReceiveTransmit);
        if (echoed == kLoopbackByte)
            result = CheckResult::Ok;
        else
            AddDetail(record, "loopback: sent " + Hex(kLoopbackByte) + ", read " + Hex(echoed));
    }
    Out(uart, kModemControl, savedModemControl);
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

SERIAL_CODE CheckResult StatusRegister(const Registers &uart, const Registers &status, ULONG bit,
                                       UCHAR savedModemControl, SerialPortRecord *record)
{
    const UCHAR mask = UCHAR(1u << bit);
    Out(uart, kModemControl, UCHAR(savedModemControl | kMcrDtrRts | kMcrOut2));
    Out(uart, kInterruptEnable, kIerTransmitterEmpty);
    UCHAR raised = In(status, 0);
    Out(uart, kInterruptEnable, 0);
    UCHAR quiet = In(status, 0);
    Out(uart, kModemControl, savedModemControl);

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

SERIAL_CODE CheckResult CheckOwnStatusBit(const Registers &uart, const CM_PARTIAL_RESOURCE_DESCRIPTOR *statusRange,
                                          UCHAR savedModemControl, SerialPortRecord *record)
{
    ULONG bit = 0;
    std::string why;
    if (!OwnStatusBit(*record, &bit, &why)) {
        AddDetail(record, why);
        return CheckResult::Failed;
    }
    Registers status;
    if (!OpenRegisters(statusRange, &status, record)) return CheckResult::Failed;
    const CheckResult result = StatusRegister(uart, status, bit, savedModemControl, record);
    CloseRegisters(&status);
    return result;
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

    Registers uart;
    if (!OpenRegisters(resources.uartBlock, &uart, record)) {
        record->loopback = CheckResult::Failed;
        return;
    }
    // Loopback and OUT2 are the test's; whatever else the modem control
    // register held stays, and the port is left with interrupts disabled.
    UCHAR savedModemControl = UCHAR(In(uart, kModemControl) & ~(kMcrLoopback | kMcrOut2));
    ProgramLine(uart);
    Out(uart, kInterruptEnable, 0);
    record->loopback = Loopback(uart, savedModemControl, record);

    // Single-port cards have no status register.
    if (resources.statusRegister)
        record->statusRegister = CheckOwnStatusBit(uart, resources.statusRegister, savedModemControl, record);
    CloseRegisters(&uart);
}

}  // namespace sim::serial
