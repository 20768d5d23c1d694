/*
 * A port's device stack as the serial port driver stand-in meets it: a port
 * device (PDO) of the test's own bus driver, which answers whatever reaches
 * it and notes what it saw, with the stand-in's function device on top, and
 * a four-port board plugged in at 0x300.
 */
#pragma once

#include "board_hardware.h"
#include "serial_standin.h"
#include "support/kernel_test.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace serialtest {

CM_PARTIAL_RESOURCE_DESCRIPTOR PortDescriptor(ULONG start, ULONG length);
CM_PARTIAL_RESOURCE_DESCRIPTOR MemoryDescriptor(ULONG start, ULONG length);
// A port range in memory space, as a machine that reaches I/O through memory
// translates one.
CM_PARTIAL_RESOURCE_DESCRIPTOR MemorySpacePortDescriptor(ULONGLONG start, ULONG length);
CM_PARTIAL_RESOURCE_DESCRIPTOR InterruptDescriptor(ULONG level, ULONG vector);

// A CM_RESOURCE_LIST with one full descriptor, in storage of its own.
class ResourceList {
public:
    ResourceList(std::initializer_list<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials);
    PCM_RESOURCE_LIST get() { return reinterpret_cast<PCM_RESOURCE_LIST>(storage_.data()); }

private:
    std::vector<ULONG> storage_;
};

bool SameDescriptor(const CM_PARTIAL_RESOURCE_DESCRIPTOR &a, const CM_PARTIAL_RESOURCE_DESCRIPTOR &b);

// How the port device answers, and what reached it.
struct PortDeviceScript {
    NTSTATUS startStatus = STATUS_SUCCESS;
    bool completeStartLater = false;  // return STATUS_PENDING, complete from another thread
    std::vector<std::pair<UCHAR, UCHAR>> seen;  // major, minor
    std::thread completer;
};

class SerialStackTest : public hk::test::KernelTest {
protected:
    static constexpr ULONG kIoBase = 0x300;
    static constexpr ULONG kStatusPort = kIoBase + 7;
    static const char kInstancePath[];

    void SetUp() override;
    void TearDown() override;

    static ULONG BlockOf(unsigned port) { return kIoBase + 8 * port; }
    // Replaces the board; a window other than 0 puts its ranges in memory space.
    void UseBoard(sim::StatusRegisterKind statusRegister, ULONGLONG memoryWindow = 0);
    void SetPortSetting(const std::string &name, ULONG value);
    NTSTATUS Start(ResourceList &raw, ResourceList &translated);
    void Remove();  // the function device is gone afterwards
    const sim::SerialPortRecord *Record() const { return sim::SerialRecordFor(pdo); }

    std::unique_ptr<sim::BoardHardware> board;
    PortDeviceScript script;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
};

}  // namespace serialtest
