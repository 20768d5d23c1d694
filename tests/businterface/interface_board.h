// A board device and its port devices as the bus driver makes them, bound to
// the real gendev library with the bus driver's QueryPortInterface, over a
// lower PDO of the gendev tests. The board's fields are filled as
// identification and resource capture would fill them.
#pragma once

#include "PciParent/mpsbus.h"
#include "events.h"
#include "port_bus_interface.h"
#include "support/kernel_test.h"

#include <hk/host.h>

#include <vector>

// Byte comparison and printing of descriptors, found by the tests' matchers
// next to the platform type.
bool operator==(const CM_PARTIAL_RESOURCE_DESCRIPTOR &a, const CM_PARTIAL_RESOURCE_DESCRIPTOR &b);
void PrintTo(const CM_PARTIAL_RESOURCE_DESCRIPTOR &d, std::ostream *os);

namespace interfacetest {

constexpr ULONG kIsa = 1, kPci = 5, kPcmcia = 8;

// Partial descriptors as a bus driver reports them.
CM_PARTIAL_RESOURCE_DESCRIPTOR PortRange(ULONGLONG start, ULONG length, USHORT flags = CM_RESOURCE_PORT_IO);
CM_PARTIAL_RESOURCE_DESCRIPTOR Interrupt(ULONG vector);
CM_PARTIAL_RESOURCE_DESCRIPTOR MemoryRange(ULONGLONG start, ULONG length);

// A list as the PnP manager hands it over: one full descriptor.
std::vector<uint8_t> ResourceList(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &descriptors);
// The partial descriptors of a list (first full descriptor).
std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> DescriptorsOf(const CM_RESOURCE_LIST *list);

class InterfaceTest : public hk::test::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The board's captured lists: NonPagedPool copies, as capture takes them.
    void Capture(ULONG busType, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &raw,
                 const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &translated);

    // IRP_MN_QUERY_INTERFACE at |port|, as a filter above it sends it.
    NTSTATUS Query(PDEVICE_OBJECT port, PortBusInterface *record, const GUID &type = GUID_PORT_BUS_INTERFACE,
                   USHORT size = sizeof(PortBusInterface), USHORT version = 1);
    // The query's handler called as gendev calls it, past gendev's own lock.
    NTSTATUS QueryDirect(PDEVICE_OBJECT port, PortBusInterface *record);

    NTSTATUS RemoveBoard();  // IRP_MN_REMOVE_DEVICE, synchronously
    LONG RefCount() const { return board_->InterfaceRefCount; }

    PDEVICE_OBJECT boardDevice_ = nullptr;
    BoardExtension *board_ = nullptr;
    PDEVICE_OBJECT port_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

// Creates the board over |pdo| and one port device; removal deletes both
// and frees the board's lists.
PDEVICE_OBJECT CreateBoard(PDEVICE_OBJECT pdo);
PDEVICE_OBJECT CreatePort(PDEVICE_OBJECT board, ULONG portNumber);

}  // namespace interfacetest
