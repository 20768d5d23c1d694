/*
 * What the Plug and Play manager knows about the machine: the boards its
 * buses report and the device nodes it builds for them and their children.
 */
#pragma once

#include <hk/host.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// The bus a board sits on; a root-enumerated board has none of its own.
enum class BusKind { Pci, Pcmcia, Root };
const char *BusKindName(BusKind bus);  // "pci", "pcmcia", "isa"

// Where the host bridge of a machine with memory-mapped I/O places the I/O
// space in physical memory, unless the machine says otherwise.
constexpr ULONGLONG kMemoryMappedIoWindow = 0xFE000000;

// Ranges and line a board decodes, as its firmware or jumpers set them.
struct BoardResources {
    ULONG uartBase = 0;
    ULONG uartLength = 0;   // 8 bytes per port
    ULONG bridgeBase = 0;   // PCI only: the 128-byte bridge range; 0 when absent
    ULONG interrupt = 0;    // the IRQ line
    bool inMemorySpace = false;
    // With inMemorySpace: the physical address of I/O port 0. On x64 a
    // host bridge may place it above 4 GiB.
    ULONGLONG memoryWindow = kMemoryMappedIoWindow;
};

// What a bus driver reports about a board it has found.
struct BoardDescription {
    BusKind bus = BusKind::Pci;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    BoardResources resources;
    // Stored under the board's device key when its node is created.
    std::vector<std::pair<std::string, hk::reg::Value>> deviceParameters;
    // The bus driver sets the board's device power state (PCI power
    // management, the socket's power) when a device power request reaches
    // the board's PDO; the hardware model follows it.
    std::function<void(DEVICE_POWER_STATE)> setHardwarePower;
};

enum class NodeState {
    Initialized,  // queried, drivers not (yet) started
    Started,
    Stopped,
    SurpriseRemoved,  // had IRP_MN_SURPRISE_REMOVAL; its removal waits for the last handle
    Failed,       // no driver, a driver failed to load or add, start failed
    Removed,
};
// "started", "failed", "stopped", "surprise removed", "removed"; a node
// never started reads "failed".
const char *NodeStateName(NodeState state);

struct DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;  // null once the node is gone
    DeviceNode *parent = nullptr;  // null for a board
    std::vector<DeviceNode *> children;
    unsigned level = 1;            // depth below the root device: a board is 1, its ports 2

    std::string deviceId, instanceId, instancePath;
    std::vector<std::string> hardwareIds, compatibleIds;
    std::string description, location;
    bool hasDescription = false, hasLocation = false;
    std::string enumerator;        // the first part of the device ID
    // From the PDO's answer to IRP_MN_QUERY_BUS_INFORMATION, if it gave one.
    bool hasLegacyBusType = false;
    INTERFACE_TYPE legacyBusType = InterfaceTypeUndefined;
    ULONG busNumber = 0;
    DEVICE_CAPABILITIES capabilities{};  // the latest answer: before start, then after it
    PNP_DEVICE_STATE pnpDeviceState = 0; // the answer after the last first start

    // The stack, as the installation database bound it.
    std::vector<std::string> lowerFilters, upperFilters;
    std::string functionService;

    std::vector<uint8_t> requirements;  // the PDO's IO_RESOURCE_REQUIREMENTS_LIST, empty for none
    bool consumesResources = false;     // the filtered list asked for something
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;  // assigned at the last start

    NodeState state = NodeState::Initialized;
    NTSTATUS status = STATUS_PENDING;  // of the last start request
    std::string problem;               // why the node is not started, as Device Manager says it

    bool removeSent = false;           // IRP_MN_REMOVE_DEVICE has gone to its stack
    bool leftOut = false;              // its parent's last bus relations left it out
    // Open handles: the device each create went to (the top of the stack
    // then), referenced until the handle is closed.
    std::vector<PDEVICE_OBJECT> handles;

    SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;

    std::vector<std::string> Services() const;  // bottom-up: lower filters, function, upper filters
};

}  // namespace sim
