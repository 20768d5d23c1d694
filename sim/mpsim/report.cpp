#include "report.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace sim {

namespace {

using nlohmann::json;

std::string Hex(ULONGLONG value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", value);
    return text;
}

const char *ShareName(UCHAR share)
{
    switch (share) {
    case CmResourceShareDeviceExclusive: return "device-exclusive";
    case CmResourceShareDriverExclusive: return "driver-exclusive";
    case CmResourceShareShared: return "shared";
    default: return "undetermined";
    }
}

// ------------------------------------------------------------ registry
std::string WideData(const std::vector<uint8_t> &data, size_t offset, size_t *next)
{
    std::string text;
    size_t i = offset;
    for (; i + 1 < data.size(); i += 2) {
        const unsigned c = data[i] | (data[i + 1] << 8);
        if (c == 0) break;
        text += c < 0x80 ? char(c) : '?';
    }
    *next = i + 2;
    return text;
}

json RegistryValueJson(const hk::reg::Value &value)
{
    size_t next = 0;
    switch (value.type) {
    case REG_DWORD:
        if (value.data.size() == sizeof(ULONG)) {
            ULONG number;
            std::memcpy(&number, value.data.data(), sizeof(number));
            return number;
        }
        break;
    case REG_SZ:
    case REG_EXPAND_SZ: return WideData(value.data, 0, &next);
    case REG_MULTI_SZ: {
        json list = json::array();
        for (size_t at = 0; at + 1 < value.data.size();) {
            std::string one = WideData(value.data, at, &next);
            if (one.empty()) break;
            list.push_back(one);
            at = next;
        }
        return list;
    }
    default: break;
    }
    std::string bytes = "hex:";
    for (uint8_t b : value.data) {
        char pair[4];
        std::snprintf(pair, sizeof(pair), "%02X", b);
        bytes += pair;
    }
    return bytes;
}

json RegistryJson(const std::vector<std::pair<std::string, hk::reg::Value>> &values)
{
    json object = json::object();
    for (const auto &value : values) object[value.first] = RegistryValueJson(value.second);
    return object;
}

// ----------------------------------------------------------- resources
bool InMemorySpace(const CM_PARTIAL_RESOURCE_DESCRIPTOR &port) { return !(port.Flags & CM_RESOURCE_PORT_IO); }

json DescriptorJson(const CM_PARTIAL_RESOURCE_DESCRIPTOR &d)
{
    switch (d.Type) {
    case CmResourceTypePort: {
        json port = {{"type", "port"}, {"start", Hex(d.u.Port.Start.QuadPart)}, {"length", d.u.Port.Length}};
        if (InMemorySpace(d)) port["memory_space"] = true;
        return port;
    }
    case CmResourceTypeMemory:
        return {{"type", "memory"}, {"start", Hex(d.u.Memory.Start.QuadPart)}, {"length", d.u.Memory.Length}};
    case CmResourceTypeInterrupt:
        return {{"type", "interrupt"},
                {"vector", d.u.Interrupt.Vector},
                {"level", d.u.Interrupt.Level},
                {"share", ShareName(d.ShareDisposition)}};
    default: return {{"type", "other"}, {"code", d.Type}};
    }
}

json ResourcesJson(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &raw,
                   const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &translated)
{
    json out = {{"raw", json::array()}, {"translated", json::array()}};
    for (const auto &d : raw) out["raw"].push_back(DescriptorJson(d));
    for (const auto &d : translated) out["translated"].push_back(DescriptorJson(d));
    return out;
}

std::string DescriptorText(const CM_PARTIAL_RESOURCE_DESCRIPTOR &d)
{
    std::ostringstream out;
    switch (d.Type) {
    case CmResourceTypePort:
        out << "port " << Hex(d.u.Port.Start.QuadPart) << "/" << d.u.Port.Length;
        if (InMemorySpace(d)) out << " in memory space";
        break;
    case CmResourceTypeMemory: out << "memory " << Hex(d.u.Memory.Start.QuadPart) << "/" << d.u.Memory.Length; break;
    case CmResourceTypeInterrupt:
        out << "interrupt vector " << d.u.Interrupt.Vector << " level " << d.u.Interrupt.Level << " "
            << ShareName(d.ShareDisposition);
        break;
    default: out << "resource type " << unsigned(d.Type); break;
    }
    return out.str();
}

std::string ListText(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &list)
{
    if (list.empty()) return "none";
    std::string text;
    for (const auto &d : list) text += (text.empty() ? "" : ", ") + DescriptorText(d);
    return text;
}

json RangeJson(const RangeView &range)
{
    if (!range.present) return nullptr;
    json out = {{"space", range.mapped ? "memory" : "io"}, {"start", Hex(range.address)}};
    if (range.mapped) out["mapped_length"] = range.mappedLength;
    return out;
}

json DriverJson(const BoardDriverView &driver)
{
    json out = {{"identified", driver.identified}, {"board_number", driver.number}};
    if (driver.identified) {
        out["model"] = driver.model;
        out["ports"] = driver.ports;
        out["brand"] = driver.brand;
    }
    out["uart"] = RangeJson(driver.uart);
    out["bridge"] = RangeJson(driver.bridge);
    return out;
}

std::string RangeText(const char *name, const RangeView &range)
{
    std::ostringstream out;
    out << name;
    if (!range.present)
        out << " none";
    else if (range.mapped)
        out << " " << Hex(range.address) << " in memory space, " << range.mappedLength << " bytes mapped";
    else
        out << " port " << Hex(range.address);
    return out.str();
}

std::string DriverText(const BoardDriverView &driver)
{
    std::ostringstream out;
    if (driver.identified) {
        out << driver.model << " board " << (driver.number.empty() ? "without a number" : driver.number) << ", "
            << driver.ports << (driver.ports == 1 ? " port, " : " ports, ") << driver.brand;
    } else {
        out << "not identified";
    }
    out << "; " << RangeText("UART", driver.uart) << ", " << RangeText("bridge", driver.bridge);
    return out.str();
}

// A DWORD in hex, as a driver engineer reads register words; JSON keeps
// the number for scripts.
std::string RegistryText(const std::vector<std::pair<std::string, hk::reg::Value>> &values)
{
    if (values.empty()) return "none";
    std::string text;
    for (const auto &value : values) {
        const json shown = RegistryValueJson(value.second);
        text += (text.empty() ? "" : ", ") + value.first + " = " +
                (shown.is_string()            ? shown.get<std::string>()
                 : shown.is_number_unsigned() ? Hex(shown.get<ULONG>())
                                              : shown.dump());
    }
    return text;
}

std::string Joined(const std::vector<std::string> &items, const char *separator)
{
    std::string text;
    for (const auto &item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

std::string ViolationText(const hk::Violation &v)
{
    return v.name + " [" + v.image + "] " + v.detail;
}

std::string StateText(const std::string &state, NTSTATUS status, const std::string &problem)
{
    std::string text = state + " (" + StatusText(status) + ")";
    if (!problem.empty()) text += ": " + problem;
    return text;
}

bool PortPassed(const PortReport &port)
{
    return port.state == "started" && port.loopback == "ok" && port.statusRegister != "failed";
}

// The outcome in a few counts: what a scenario file's "expect" compares.
json SummaryJson(const MachineReport &report)
{
    json boardStates = json::array();
    size_t ports = 0, started = 0, passed = 0, open = 0, pool = 0;
    for (const BoardReport &board : report.boards) {
        boardStates.push_back(board.state);
        for (const PortReport &port : board.ports) {
            ++ports;
            started += port.state == "started";
            passed += PortPassed(port);
            open += port.open;
        }
    }
    for (const auto &blocks : report.poolOutstanding) pool += blocks.second;
    return {{"board_states", boardStates},
            {"ports", ports},
            {"ports_started", started},
            {"ports_passed_checks", passed},
            {"ports_open", open},
            {"vetoes", report.vetoes.size()},
            {"unexpected_vetoes", report.unexpectedVetoes.size()},
            {"violations", report.violations.size()},
            {"pool_blocks_outstanding", pool},
            {"passed", report.Passed()}};
}

}  // namespace

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(ULONG(status)));
    return text;
}

bool MachineReport::Passed() const
{
    if (!violations.empty() || !unexpectedVetoes.empty()) return false;
    // A board or port the scenario stopped or removed after a good start
    // is no failure; one whose last start failed is, whatever came after.
    for (const BoardReport &board : boards) {
        if (board.state == "failed" || board.status != STATUS_SUCCESS) return false;
        for (const PortReport &port : board.ports) {
            if (port.failedByStep) continue;
            if (port.state == "failed" || port.status != STATUS_SUCCESS) return false;
            if (port.loopback == "failed" || port.statusRegister == "failed") return false;
            if (board.state == "started" && !PortPassed(port)) return false;
        }
    }
    return true;
}

std::string RenderJson(const MachineReport &report, bool trace)
{
    json document;
    document["boards"] = json::array();
    for (const BoardReport &board : report.boards) {
        json b = {{"bus", board.bus},
                  {"hardware_ids", board.hardwareIds},
                  {"instance_path", board.instancePath},
                  {"state", board.state},
                  {"status", StatusText(board.status)},
                  {"registry", RegistryJson(board.registry)},
                  {"resources", ResourcesJson(board.raw, board.translated)},
                  {"ports", json::array()}};
        if (!board.problem.empty()) b["problem"] = board.problem;
        if (board.driver.seen) b["driver"] = DriverJson(board.driver);
        for (const PortReport &port : board.ports) {
            json p = {{"device_id", port.deviceId},
                      {"instance_id", port.instanceId},
                      {"hardware_ids", port.hardwareIds},
                      {"description", port.description},
                      {"location", port.location},
                      {"state", port.state},
                      {"status", StatusText(port.status)},
                      {"registry", RegistryJson(port.registry)},
                      {"resources", ResourcesJson(port.raw, port.translated)},
                      {"checks", {{"loopback", port.loopback}, {"status_register", port.statusRegister}}},
                      {"handle", port.open ? "open" : "closed"}};
            if (!port.problem.empty()) p["problem"] = port.problem;
            if (!port.checkDetail.empty()) p["check_detail"] = port.checkDetail;
            b["ports"].push_back(p);
        }
        document["boards"].push_back(b);
    }
    document["debug_output"] = json::object();
    for (const auto &output : report.debugOutput) document["debug_output"][output.first] = output.second;
    json violations = json::array();
    for (const hk::Violation &v : report.violations) violations.push_back(ViolationText(v));
    document["verifier"] = {{"violations", violations}, {"pool_outstanding", json::object()}};
    for (const auto &pool : report.poolOutstanding) document["verifier"]["pool_outstanding"][pool.first] = pool.second;
    if (trace) {
        document["pnp_log"] = report.pnpLog;
        document["io_log"] = json::array();
        for (const hk::IoAccess &a : report.ioLog)
            document["io_log"].push_back({{"port", Hex(a.port)},
                                          {"space", a.memorySpace ? "memory" : "io"},
                                          {"width", a.width},
                                          {"direction", a.write ? "write" : "read"},
                                          {"value", Hex(a.value)},
                                          {"image", a.image},
                                          {"refused", a.refused}});
    }
    document["vetoes"] = report.vetoes;
    document["unexpected_vetoes"] = report.unexpectedVetoes;
    document["seed"] = report.seed;
    document["passed"] = report.Passed();
    document["summary"] = SummaryJson(report);
    return document.dump(2) + "\n";
}

std::string RenderText(const MachineReport &report, bool trace)
{
    std::ostringstream out;
    for (size_t i = 0; i < report.boards.size(); ++i) {
        const BoardReport &board = report.boards[i];
        out << "Board " << i << " (" << board.bus << ") " << board.instancePath << "\n"
            << "  hardware IDs  " << Joined(board.hardwareIds, "; ") << "\n"
            << "  state         " << StateText(board.state, board.status, board.problem) << "\n"
            << "  registry      " << RegistryText(board.registry) << "\n"
            << "  raw           " << ListText(board.raw) << "\n"
            << "  translated    " << ListText(board.translated) << "\n";
        if (board.driver.seen) out << "  mpsbus        " << DriverText(board.driver) << "\n";
        if (board.ports.empty()) out << "  no ports enumerated\n";
        for (const PortReport &port : board.ports) {
            out << "  Port " << port.deviceId << "\\" << port.instanceId << "\n"
                << "    hardware IDs  " << Joined(port.hardwareIds, "; ") << "\n"
                << "    description   " << port.description << "\n"
                << "    location      " << port.location << "\n"
                << "    state         " << StateText(port.state, port.status, port.problem) << "\n"
                << "    registry      " << RegistryText(port.registry) << "\n"
                << "    raw           " << ListText(port.raw) << "\n"
                << "    translated    " << ListText(port.translated) << "\n"
                << "    checks        loopback " << port.loopback << ", status register " << port.statusRegister;
            if (!port.checkDetail.empty()) out << " (" << port.checkDetail << ")";
            out << "\n    handle        " << (port.open ? "open" : "closed") << "\n";
        }
        out << "\n";
    }
    for (const std::string &veto : report.vetoes) out << "Vetoed: " << veto << "\n";
    for (const std::string &veto : report.unexpectedVetoes) out << "UNEXPECTED VETO: " << veto << "\n";
    if (!report.vetoes.empty() || !report.unexpectedVetoes.empty()) out << "\n";

    for (const auto &output : report.debugOutput) {
        out << "Debug output of " << output.first << ":\n";
        std::istringstream lines(output.second);
        for (std::string line; std::getline(lines, line);) out << "  " << line << "\n";
    }
    if (report.debugOutput.empty()) out << "No debug output.\n";

    out << "Verifier: ";
    if (report.violations.empty()) out << "no violations\n";
    else out << report.violations.size() << " violation(s)\n";
    for (const hk::Violation &v : report.violations) out << "  " << ViolationText(v) << "\n";
    out << "Pool at the end: ";
    if (report.poolOutstanding.empty()) out << "nothing outstanding\n";
    else out << "\n";
    for (const auto &pool : report.poolOutstanding) out << "  " << pool.first << ": " << pool.second << " block(s)\n";

    if (trace) {
        out << "Plug and Play requests (" << report.pnpLog.size() << "):\n";
        for (const std::string &line : report.pnpLog) out << "  " << line << "\n";
        out << "Register accesses (" << report.ioLog.size() << "):\n";
        for (const hk::IoAccess &a : report.ioLog) {
            // Memory-space accesses show the physical address behind the mapping.
            char line[128];
            std::snprintf(line, sizeof(line), "  %-8s %s%u %s0x%04lX %s 0x%0*lX%s\n", a.image.c_str(),
                          a.write ? "W" : "R", a.width * 8, a.memorySpace ? "memory " : "",
                          static_cast<unsigned long>(a.port), a.write ? "<-" : "->", int(a.width * 2),
                          static_cast<unsigned long>(a.value),
                          a.refused ? "  refused: the board is powered down" : "");
            out << line;
        }
    }
    out << (report.Passed() ? "Result: every port started and passed its checks\n"
                            : "Result: FAILED (see the states, checks and verifier above)\n");
    return out.str();
}

}  // namespace sim
