/*
 * Fixture for tests of the mpsfilt image on the host kernel: a port's stack
 * built as the PnP manager builds it, from the bottom: the tests' own port
 * device (in place of mpsbus's), the serial port driver stand-in when a test
 * wants it, and mpsfilt on top. The port device's location text comes from
 * the test, as does the board behind it (eight ports at 0x300).
 */
#pragma once

#include "PciChild/mpsfilt.h"
#include "board_hardware.h"
#include "port_bus.h"
#include "serial_standin.h"
#include "support/kernel_test.h"

#include <hk/host.h>

#include <memory>
#include <string>
#include <vector>

namespace filtertest {

// Where mpsfilt reads its debug level.
extern const char kFilterParameters[];
// The service key path DriverEntry is given.
extern const char kFilterServiceKey[];

class FilterTest : public hk::test::KernelTest {
protected:
    static constexpr ULONG kIoBase = 0x300;
    static constexpr ULONG kStatusPort = kIoBase + 7;
    static constexpr ULONG kRangeLength = 64;  // eight ports
    static const char kInstancePath[];

    void SetUp() override;
    void TearDown() override;

    // The port device's script as a test begins with it: the board's lists
    // as the bus driver hands them out, nothing seen yet.
    void FreshScript();
    // Loads mpsfilt, as the PnP manager does before its first AddDevice.
    NTSTATUS LoadFilter();
    // Builds the port's stack and adds the filter on top; |filter| is the
    // new device, or null when AddDevice failed.
    NTSTATUS AddFilter(bool withSerial = true);
    // START with lists of the PnP manager's own (which no one must free).
    NTSTATUS Start();
    // FILTER_RESOURCE_REQUIREMENTS as the PnP manager sends it: |offered| in
    // IoStatus.Information and in the parameters; |information| receives
    // what comes back in its place.
    NTSTATUS FilterRequirements(PIO_RESOURCE_REQUIREMENTS_LIST offered, ULONG_PTR *information);
    // REMOVE to the top of the stack; every device above the port is gone.
    void Remove();
    void UnloadFilter();

    void SetDebugLevel(ULONG level);
    void SetPortIndex(ULONG index);  // the serial setting the bus driver would write
    std::string Trace() const { return hk::DebugOutput("mpsfilt"); }
    // gExAllocCount as the last level-3 line of the allocator showed it.
    static long LastAllocCount(const std::string &trace);
    FilterExtension *Extension() const { return FilterOf(filter); }

    PortDevice port;
    PortScript &script = port.script;
    std::u16string location = u"PB8-A board 1 port 3";
    NTSTATUS locationStatus = STATUS_SUCCESS;  // a failure fails the property read
    bool locationSizeLies = false;              // too small, asking for the size it was given
    bool locationUnterminated = false;          // the text's characters only, no NUL
    std::vector<ULONG> locationReads;           // the buffer size of each read
    std::unique_ptr<ResourceList> managerRaw, managerTranslated;

    std::unique_ptr<sim::BoardHardware> board;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT serial = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    PDRIVER_OBJECT driver = nullptr;

private:
    NTSTATUS ReadLocation(ULONG length, PVOID buffer, PULONG resultLength);
};

}  // namespace filtertest
