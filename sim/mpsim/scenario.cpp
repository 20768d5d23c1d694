#include "scenario.h"

#include "pnp_registry.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

using nlohmann::json;

const ULONG kUartBytesPerPort = 8;

struct BusDefaults {
    ULONG uartBase, uartStride, bridgeBase, interrupt;
};

BusDefaults DefaultsOf(BusKind bus)
{
    switch (bus) {
    case BusKind::Pci: return {0xD000, 0x100, 0xD080, 11};
    case BusKind::Pcmcia: return {0x100, 0x40, 0, 10};
    case BusKind::Root: return {0x200, 0x40, 0, 5};
    }
    return {};
}

[[noreturn]] void Wrong(const std::string &where, const std::string &what)
{
    throw ScenarioError(where + ": " + what);
}

ULONG HexField(const json &value, const std::string &where)
{
    if (value.is_number_unsigned()) return value.get<ULONG>();
    if (!value.is_string()) Wrong(where, "expected a hex string such as \"0x2A0\"");
    std::string text = value.get<std::string>();
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) text = text.substr(2);
    char *end = nullptr;
    // 64 bits on either target: where unsigned long is 32 bits, strtoul
    // would saturate a larger number to 0xFFFFFFFF and let it pass.
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0' || parsed > 0xFFFFFFFFull) Wrong(where, "not a hex number: " + value.dump());
    return ULONG(parsed);
}

// A physical address: any 64-bit number, as PHYSICAL_ADDRESS holds on either target.
ULONGLONG AddressField(const json &value, const std::string &where)
{
    if (value.is_number_unsigned()) return value.get<ULONGLONG>();
    if (!value.is_string()) Wrong(where, "expected a hex string such as \"0xFE000000\"");
    std::string text = value.get<std::string>();
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) text = text.substr(2);
    char *end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0' || errno == ERANGE) Wrong(where, "not a hex number: " + value.dump());
    return ULONGLONG(parsed);
}

unsigned NumberField(const json &value, const std::string &where)
{
    if (!value.is_number_unsigned()) Wrong(where, "expected a non-negative number");
    return value.get<unsigned>();
}

bool BoolField(const json &value, const std::string &where)
{
    if (!value.is_boolean()) Wrong(where, "expected true or false");
    return value.get<bool>();
}

BusKind BusField(const json &value, const std::string &where)
{
    static const std::pair<const char *, BusKind> names[] = {
        {"pci", BusKind::Pci}, {"pcmcia", BusKind::Pcmcia}, {"isa", BusKind::Root}};
    if (value.is_string())
        for (const auto &name : names)
            if (value.get<std::string>() == name.first) return name.second;
    Wrong(where, "expected \"pci\", \"pcmcia\" or \"isa\"");
}

OptionField OptionFieldOf(const json &object, const char *name, const std::string &where)
{
    OptionField field;
    if (!object.contains(name)) return field;
    const json &value = object.at(name);
    if (value.is_string() && value.get<std::string>() == "settable") return field;
    field.settable = false;
    field.value = NumberField(value, where + "." + name);
    return field;
}

OptionRegisterScenario OptionRegistersOf(const json &value, const std::string &where)
{
    if (!value.is_object()) Wrong(where, "expected an object");
    OptionRegisterScenario registers;
    if (value.contains("present")) registers.present = BoolField(value.at("present"), where + ".present");
    registers.option = OptionFieldOf(value, "option", where);
    registers.modeLow = OptionFieldOf(value, "mode_low", where);
    registers.modeHigh = OptionFieldOf(value, "mode_high", where);
    return registers;
}

std::vector<std::pair<std::string, hk::reg::Value>> RegistryOf(const json &value, const std::string &where)
{
    if (!value.is_object()) Wrong(where, "expected an object");
    std::vector<std::pair<std::string, hk::reg::Value>> values;
    for (auto it = value.begin(); it != value.end(); ++it) {
        hk::reg::Value stored;
        if (it->is_number_unsigned() || it->is_number_integer()) {
            const ULONG number = ULONG(it->get<long long>());
            stored.type = REG_DWORD;
            stored.data.resize(sizeof(ULONG));
            std::memcpy(stored.data.data(), &number, sizeof(ULONG));
        } else if (it->is_string()) {
            stored.type = REG_SZ;
            stored.data = StringValue(it->get<std::string>());
        } else {
            Wrong(where + "." + it.key(), "expected a number or a string");
        }
        values.emplace_back(it.key(), stored);
    }
    return values;
}

BoardScenario BoardOf(const json &value, size_t index, size_t indexOnBus[3])
{
    const std::string where = "boards[" + std::to_string(index) + "]";
    if (!value.is_object()) Wrong(where, "expected an object");
    if (!value.contains("bus")) Wrong(where, "\"bus\" is required");
    BoardScenario board;
    board.bus = BusField(value.at("bus"), where + ".bus");
    if (!value.contains("hardware_ids") || !value.at("hardware_ids").is_array())
        Wrong(where, "\"hardware_ids\" (a list of strings) is required");
    for (const json &id : value.at("hardware_ids")) {
        if (!id.is_string()) Wrong(where + ".hardware_ids", "expected strings");
        board.hardwareIds.push_back(id.get<std::string>());
    }

    board.ports = ProductPortCount(board.bus, board.hardwareIds);
    if (value.contains("ports")) board.ports = NumberField(value.at("ports"), where + ".ports");
    if (board.ports == 0 && !value.contains("ports")) board.ports = 1;
    if (board.ports > 8) Wrong(where + ".ports", "a board carries at most 8 UARTs");

    const size_t n = indexOnBus[int(board.bus)]++;
    const BusDefaults defaults = DefaultsOf(board.bus);
    BoardResources &r = board.resources;
    r.uartBase = value.contains("io_base") ? HexField(value.at("io_base"), where + ".io_base")
                                           : ULONG(defaults.uartBase + defaults.uartStride * n);
    r.uartLength = kUartBytesPerPort * board.ports;
    if (board.bus == BusKind::Pci)
        r.bridgeBase = value.contains("bridge_base") ? HexField(value.at("bridge_base"), where + ".bridge_base")
                                                     : ULONG(defaults.bridgeBase + defaults.uartStride * n);
    r.interrupt = value.contains("interrupt") ? NumberField(value.at("interrupt"), where + ".interrupt")
                                              : defaults.interrupt;
    if (value.contains("ports_in_memory_space"))
        r.inMemorySpace = BoolField(value.at("ports_in_memory_space"), where + ".ports_in_memory_space");

    if (value.contains("status_register")) {
        const json &kind = value.at("status_register");
        if (kind == "scratch")
            board.scratchStatusRegister = true;
        else if (kind != "read-only")
            Wrong(where + ".status_register", "expected \"read-only\" or \"scratch\"");
    }
    if (value.contains("option_registers"))
        board.optionRegisters = OptionRegistersOf(value.at("option_registers"), where + ".option_registers");
    else if (ProductHasOptionRegisters(board.bus, board.hardwareIds))
        board.optionRegisters = OptionRegisterScenario{};
    if (value.contains("registry")) board.registry = RegistryOf(value.at("registry"), where + ".registry");
    return board;
}

ScenarioStep StepOf(const json &value, size_t index, size_t boards)
{
    const std::string where = "steps[" + std::to_string(index) + "]";
    ScenarioStep step;
    if (value.is_string()) {
        if (value != "start") Wrong(where, "the only plain step is \"start\"");
        return step;
    }
    if (!value.is_object()) Wrong(where, "expected \"start\" or an object");
    if (value.contains("power")) {
        const json &state = value.at("power");
        if (state == "sleep")
            step.kind = ScenarioStep::Kind::Sleep;
        else if (state == "wake")
            step.kind = ScenarioStep::Kind::Wake;
        else
            Wrong(where + ".power", "expected \"sleep\" or \"wake\"");
        return step;
    }
    static const std::pair<const char *, ScenarioStep::Kind> kinds[] = {
        {"stop", ScenarioStep::Kind::Stop},
        {"restart", ScenarioStep::Kind::Restart},
        {"remove", ScenarioStep::Kind::Remove},
        {"surprise_remove", ScenarioStep::Kind::SurpriseRemove},
        {"query_stop", ScenarioStep::Kind::QueryStopThenCancel},
        {"query_remove", ScenarioStep::Kind::QueryRemoveThenCancel},
        {"open", ScenarioStep::Kind::Open},
        {"close", ScenarioStep::Kind::Close},
        {"control", ScenarioStep::Kind::DeviceControl},
        {"port_fails", ScenarioStep::Kind::PortFails},
    };
    for (const auto &kind : kinds) {
        if (!value.contains(kind.first)) continue;
        step.kind = kind.second;
        step.board = NumberField(value.at(kind.first), where + "." + kind.first);
        if (step.board >= boards) Wrong(where + "." + kind.first, "no board " + std::to_string(step.board));
        if (value.contains("io_base")) step.ioBase = HexField(value.at("io_base"), where + ".io_base");
        if (value.contains("bridge_base")) step.bridgeBase = HexField(value.at("bridge_base"), where + ".bridge_base");
        if (value.contains("port")) {
            step.port = NumberField(value.at("port"), where + ".port");
            if (step.port == 0) Wrong(where + ".port", "ports are numbered from 1");
        }
        if (value.contains("veto")) {
            if (!value.at("veto").is_string() || value.at("veto").get<std::string>().empty())
                Wrong(where + ".veto", "expected the reason the step is refused");
            step.expectedVeto = value.at("veto").get<std::string>();
        }
        return step;
    }
    Wrong(where, "expected one of stop, restart, remove, surprise_remove, query_stop, query_remove, open, close, "
                 "control, port_fails, power");
}

void ParseWdmVersion(const std::string &text, Scenario *scenario)
{
    // "1.10" is major 1, minor 0x10: WDM minor versions are written in hex.
    const size_t dot = text.find('.');
    const std::string majorText = text.substr(0, dot);
    char *end = nullptr;
    const unsigned long major = std::strtoul(majorText.c_str(), &end, 10);
    const std::string minorText = dot == std::string::npos ? "0" : text.substr(dot + 1);
    char *minorEnd = nullptr;
    const unsigned long minor = std::strtoul(minorText.c_str(), &minorEnd, 16);
    if (dot == 0 || *end != '\0' || *minorEnd != '\0' || minorText.empty() || major > 0xFF || minor > 0xFF)
        Wrong("wdm_version", "expected a version such as \"1.10\"");
    scenario->wdmVersionGiven = true;
    scenario->wdmVersion = text;
    scenario->wdmMajor = UCHAR(major);
    scenario->wdmMinor = UCHAR(minor);
}

}  // namespace

Scenario ParseScenario(const std::string &text)
{
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error &e) {
        throw ScenarioError(std::string("not JSON: ") + e.what());
    }
    if (!document.is_object()) Wrong("scenario", "expected an object");

    Scenario scenario;
    if (document.contains("wdm_version")) {
        if (!document.at("wdm_version").is_string()) Wrong("wdm_version", "expected a string");
        ParseWdmVersion(document.at("wdm_version").get<std::string>(), &scenario);
    }
    if (document.contains("windows")) {
        const json &windows = document.at("windows");
        const hk::WindowsRelease *release = windows.is_string() ? hk::ReleaseNamed(windows.get<std::string>()) : nullptr;
        if (release == nullptr) Wrong("windows", "expected one of " + hk::ReleaseNames());
        scenario.windows = release->id;
    }
    if (document.contains("board_lower_filter")) {
        if (!document.at("board_lower_filter").is_boolean()) Wrong("board_lower_filter", "expected true or false");
        scenario.boardLowerFilter = document.at("board_lower_filter").get<bool>();
    }
    if (document.contains("filter_debug_level"))
        scenario.filterDebugLevel = NumberField(document.at("filter_debug_level"), "filter_debug_level");

    if (document.contains("boards")) {
        const json &boards = document.at("boards");
        if (!boards.is_array()) Wrong("boards", "expected a list");
        size_t indexOnBus[3] = {0, 0, 0};
        for (size_t i = 0; i < boards.size(); ++i) scenario.boards.push_back(BoardOf(boards[i], i, indexOnBus));
    }
    if (document.contains("memory_window")) {
        const ULONGLONG window = AddressField(document.at("memory_window"), "memory_window");
        // The whole 64 KB I/O space must fit below the top of the address space.
        if (window > ~ULONGLONG(0) - 0xFFFF) Wrong("memory_window", "the I/O space would wrap past the top");
        for (BoardScenario &board : scenario.boards) board.resources.memoryWindow = window;
    }
    if (document.contains("steps")) {
        const json &steps = document.at("steps");
        if (!steps.is_array()) Wrong("steps", "expected a list");
        for (size_t i = 0; i < steps.size(); ++i) scenario.steps.push_back(StepOf(steps[i], i, scenario.boards.size()));
    } else {
        scenario.steps.push_back(ScenarioStep{});
    }
    return scenario;
}

Scenario BuiltinScenario()
{
    return ParseScenario(R"({
        "board_lower_filter": true,
        "boards": [
            {"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0010&SUBSYS_00107A3E&REV_01",
                                            "PCI\\VEN_7A3E&DEV_0010"]},
            {"bus": "pcmcia", "hardware_ids": ["PCMCIA\\TARVO-CB2A-05D3-0022"]},
            {"bus": "isa", "hardware_ids": ["VELMORA_ISA_SERIAL_IB8AY"]}
        ]
    })");
}

BoardDescription DescribeBoard(const BoardScenario &board)
{
    BoardDescription description;
    description.bus = board.bus;
    description.hardwareIds = board.hardwareIds;
    description.resources = board.resources;
    description.deviceParameters = board.registry;
    return description;
}

}  // namespace sim
