/*
 * The resource routines of a board device on their own: START lists built
 * here, the board's ranges held by the hardware models in the host kernel's
 * I/O or memory space, every register access read back from its log.
 */
#pragma once

#include "PciParent/resources.h"
#include "board_hardware.h"
#include "support/kernel_test.h"
#include "support/resource_lists.h"

#include <memory>
#include <vector>

namespace resourcestest {

// Where the test machine puts the boards, and the window through which a
// board decoded in memory space is reached.
constexpr ULONG kUartBase = 0xD000;
constexpr ULONG kBridgeBase = 0xD080;
constexpr ULONGLONG kWindow = 0xFE000000;

using hk::test::InterruptDescriptor;
using hk::test::MemoryDescriptor;
using hk::test::MemorySpacePortDescriptor;
using hk::test::PortDescriptor;
using hk::test::ListBytes;
using hk::test::ResourceList;

// One register access as the tests write them down.
struct Access {
    bool write;
    unsigned width;
    ULONG address;  // port, or physical address in memory space
    ULONG value;
    bool operator==(const Access &other) const;
};
std::ostream &operator<<(std::ostream &out, const Access &access);

class ResourcesTest : public hk::test::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Capture from lists (null: the START carried none).
    NTSTATUS Capture(ResourceList *raw, ResourceList *translated);
    // The START lists of a board at kUartBase/kBridgeBase: PCI with a bridge
    // range, or just the UARTs; in I/O space or reached through memory.
    NTSTATUS CaptureBoard(bool withBridge, bool inMemorySpace, ULONG uartLength = 64);
    // What stop and removal do: the mappings and the copies go.
    void ReleaseAll();

    // A PB8-A-like board with |ports| UARTs, plugged in.
    sim::BoardHardware &PlugBoard(bool inMemorySpace, unsigned ports = 8,
                                  sim::StatusRegisterKind kind = sim::StatusRegisterKind::InterruptStatus,
                                  const sim::BridgeValues &bridge = {});
    void Identified(ULONG busType, ULONG portCount, BOOLEAN skipBridgeInit);

    std::vector<Access> Log() const;
    static size_t DriverBlocks();

    DEVICE_OBJECT device{};
    BoardExtension board{};
    std::unique_ptr<sim::BoardHardware> hardware;
};

}  // namespace resourcestest
