/*
 * What mpsim shows after a scenario: the device tree as Windows would show
 * it, the filter's debugger output and the verifier's findings; as text or
 * as one JSON document.
 */
#pragma once

#include <hk/host.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct PortReport {
    std::string deviceId, instanceId, instancePath;
    std::vector<std::string> hardwareIds;
    std::string description, location;
    std::string state;   // "started", "failed", "stopped", "removed"
    NTSTATUS status = STATUS_PENDING;
    std::string problem;
    std::vector<std::pair<std::string, hk::reg::Value>> registry;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;  // what START handed the serial driver
    std::string loopback = "not run", statusRegister = "not run";  // "ok", "failed", "not run"
    std::string checkDetail;
    bool open = false;  // a handle is open on the port when the scenario ends
    bool failedByStep = false;  // a port_fails step made it report itself failed
};

// One of the board's ranges as its bus driver keeps it.
struct RangeView {
    bool present = false;
    bool mapped = false;   // a mapping of a range in memory space
    ULONGLONG address = 0; // the port, or the physical address behind the mapping
    ULONG mappedLength = 0;
};

// What the board's bus driver made of the board at its last start, read
// from its device extension as a kernel debugger shows it.
struct BoardDriverView {
    bool seen = false;        // the bus driver's device was there to read
    bool identified = false;  // a model was decided
    std::string model;        // "PB8-A"
    std::string number;       // the board number, "" when none was drawn
    ULONG ports = 0;
    std::string brand;        // "Velmora", "Tarvo", "Brisel"
    RangeView uart, bridge;
};

struct BoardReport {
    std::string bus;  // "pci", "pcmcia", "isa"
    std::vector<std::string> hardwareIds;
    std::string instancePath;
    std::string state;
    NTSTATUS status = STATUS_PENDING;
    std::string problem;
    std::vector<std::pair<std::string, hk::reg::Value>> registry;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;  // what its last START carried
    BoardDriverView driver;
    std::vector<PortReport> ports;
};

struct MachineReport {
    std::vector<BoardReport> boards;
    std::map<std::string, std::string> debugOutput;  // by image
    std::vector<hk::Violation> violations;
    std::map<std::string, size_t> poolOutstanding;    // by image, blocks
    std::vector<hk::IoAccess> ioLog;
    std::vector<std::string> pnpLog;  // the manager's requests and driver calls, in order
    uint32_t seed = 0;                // how the bus drivers chose to complete requests
    // Refused stops and removals: each as "step N: <veto>", and those no
    // step expected, which fail the run.
    std::vector<std::string> vetoes, unexpectedVetoes;

    // A port that did not start and pass its checks, a board that failed,
    // a veto no step expected, or a violation: the run did not go as it should.
    bool Passed() const;
};

std::string StatusText(NTSTATUS status);  // "0xC0000001"

std::string RenderText(const MachineReport &report, bool trace);
std::string RenderJson(const MachineReport &report, bool trace);

}  // namespace sim
