// A board device and its port devices as the bus driver makes them, bound to
// the real gendev library with the bus driver's QueryPortInterface, over a
// lower PDO of the gendev tests and its lower filter. The board's fields are filled as
// identification and resource capture would fill them.
#pragma once

#include "PciParent/mpsbus.h"
#include "events.h"
#include "port_bus_interface.h"
#include "support/kernel_test.h"
#include "support/resource_lists.h"

#include <hk/host.h>

#include <vector>

// Byte comparison and printing of descriptors, found by the tests' matchers
// next to the platform type.
bool operator==(const CM_PARTIAL_RESOURCE_DESCRIPTOR &a, const CM_PARTIAL_RESOURCE_DESCRIPTOR &b);
void PrintTo(const CM_PARTIAL_RESOURCE_DESCRIPTOR &d, std::ostream *os);

namespace interfacetest {

constexpr ULONG kIsa = 1, kPci = 5, kPcmcia = 8;

// The board's lists are built with the shared START list builders.
using hk::test::InterruptDescriptor;
using hk::test::MemoryDescriptor;
using hk::test::ListBytes;
using hk::test::PortDescriptor;

// A port descriptor with the flags a bus set on it.
CM_PARTIAL_RESOURCE_DESCRIPTOR WithFlags(CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor, USHORT flags);

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
