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
#include "support/resource_lists.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace serialtest {

using hk::test::InterruptDescriptor;
using hk::test::MemoryDescriptor;
using hk::test::MemorySpacePortDescriptor;
using hk::test::PortDescriptor;
using hk::test::ResourceList;
using hk::test::SameDescriptor;

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
