#include "scenario.h"

#include "pnp_registry.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

using nlohmann::json;

const ULONG kUartBytesPerPort = 8;
const ULONG kBridgeBytes = 128;
const unsigned kMaxPorts = 8;
const unsigned kMaxIrq = 15;  // the two 8259 PICs' lines
// x86 has 64 KB of I/O space; a port number the machine reaches through
// memory is still a 32-bit number.
const ULONGLONG kIoSpaceEnd = 0x10000, kMemoryReachedIoEnd = 0x100000000ull;

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

// A key's place in the file, as a mistake names it: boards[1].io_base.
std::string Member(const std::string &where, const std::string &key)
{
    return where.empty() ? key : where + "." + key;
}

std::string Element(const std::string &where, size_t index)
{
    return where + "[" + std::to_string(index) + "]";
}

// Every mistake reads "<path>: <what is wrong>; <what is allowed>".
[[noreturn]] void Wrong(const std::string &where, const std::string &what, const std::string &allowed)
{
    throw ScenarioError(where + ": " + what + "; " + allowed);
}

// The value as the file writes it, cut short when long.
std::string Shown(const json &value)
{
    const std::string text = value.dump();
    return text.size() <= 40 ? text : text.substr(0, 37) + "...";
}

std::string KindOf(const json &value)
{
    switch (value.type()) {
    case json::value_t::string: return "a string";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::number_float: return "not a whole number";
    case json::value_t::array: return "a list";
    case json::value_t::object: return "an object";
    case json::value_t::null: return "null";
    default: return "a number";
    }
}

[[noreturn]] void WrongType(const json &value, const std::string &where, const std::string &allowed)
{
    Wrong(where, Shown(value) + " is " + KindOf(value), allowed);
}

std::string Hex(ULONGLONG value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", value);
    return text;
}

std::string Listed(const std::vector<std::string> &names)
{
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return text;
}

// Only the keys of |allowed|: a misspelt key would otherwise leave its
// default in place without a word.
void OnlyKeys(const json &object, const std::string &where, const std::vector<std::string> &allowed,
              const std::string &in)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end())
            Wrong(Member(where, it.key()), "unknown key" + (in.empty() ? "" : " in " + in),
                  "expected " + (allowed.size() > 1 ? "one of " : std::string()) + Listed(allowed));
}

// A whole number from |low| to |high|; |allowed| says so in the words of the field.
ULONGLONG NumberIn(const json &value, const std::string &where, ULONGLONG low, ULONGLONG high,
                   const std::string &allowed)
{
    if (!value.is_number_integer()) WrongType(value, where, allowed);
    if (!value.is_number_unsigned() && value.get<long long>() < 0) Wrong(where, Shown(value) + " is out of range", allowed);
    const ULONGLONG number = value.get<ULONGLONG>();
    if (number < low || number > high) Wrong(where, Shown(value) + " is out of range", allowed);
    return number;
}

std::string FromTo(ULONGLONG low, ULONGLONG high)
{
    return "from " + std::to_string(low) + " to " + std::to_string(high);
}

bool BoolField(const json &value, const std::string &where)
{
    if (!value.is_boolean()) WrongType(value, where, "expected true or false");
    return value.get<bool>();
}

// One of |names|, the index of the one given.
size_t Choice(const json &value, const std::string &where, const std::vector<std::string> &names)
{
    std::vector<std::string> quoted;
    for (const std::string &name : names) quoted.push_back("\"" + name + "\"");
    const std::string allowed = "expected " + Listed(quoted);
    if (!value.is_string()) WrongType(value, where, allowed);
    for (size_t i = 0; i < names.size(); ++i)
        if (value.get<std::string>() == names[i]) return i;
    Wrong(where, "unknown value " + Shown(value), allowed);
}

// An address: a hex string ("0x2A0") or a number, up to |last|.
ULONGLONG HexUpTo(const json &value, const std::string &where, ULONGLONG last, const char *example)
{
    const std::string allowed = std::string("expected a hex string such as \"") + example + "\", up to " + Hex(last);
    if (value.is_number_integer()) return NumberIn(value, where, 0, last, allowed);
    if (!value.is_string()) WrongType(value, where, allowed);
    std::string digits = value.get<std::string>();
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits = digits.substr(2);
    // strtoull alone would take a sign or spaces, and wrap "-1" to all ones.
    const bool hex = !digits.empty() &&
                     std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(UCHAR(c)); });
    if (!hex) Wrong(where, Shown(value) + " is not a hex number", allowed);
    const size_t significant = digits.size() - std::min(digits.find_first_not_of('0'), digits.size());
    const ULONGLONG parsed = std::strtoull(digits.c_str(), nullptr, 16);
    if (significant > 16 || parsed > last) Wrong(where, Shown(value) + " is out of range", allowed);
    return parsed;
}

// The base of a range of |length| bytes, which must lie in the I/O space
// the board is reached through.
ULONG RangeBase(const json &value, const std::string &where, ULONG length, bool inMemorySpace)
{
    const ULONGLONG end = inMemorySpace ? kMemoryReachedIoEnd : kIoSpaceEnd;
    const ULONGLONG base = HexUpTo(value, where, end - length, "0x2A0");
    return ULONG(base);
}

OptionField OptionFieldOf(const json &object, const char *name, unsigned last, const std::string &where)
{
    OptionField field;
    if (!object.contains(name)) return field;
    const json &value = object.at(name);
    if (value == "settable") return field;
    field.settable = false;
    field.value = unsigned(NumberIn(value, Member(where, name), 0, last,
                                    "expected \"settable\" or the number the field is fixed at, " + FromTo(0, last)));
    return field;
}

OptionRegisterScenario OptionRegistersOf(const json &value, const std::string &where)
{
    if (!value.is_object()) WrongType(value, where, "expected an object of present, option, mode_low, mode_high");
    OnlyKeys(value, where, {"present", "option", "mode_low", "mode_high"}, "");
    OptionRegisterScenario registers;
    if (value.contains("present")) registers.present = BoolField(value.at("present"), Member(where, "present"));
    registers.option = OptionFieldOf(value, "option", 3, where);       // option register bits 0-1
    registers.modeLow = OptionFieldOf(value, "mode_low", 3, where);    // mode control bits 0-1
    registers.modeHigh = OptionFieldOf(value, "mode_high", 7, where);  // mode control bits 2-4
    return registers;
}

std::vector<std::pair<std::string, hk::reg::Value>> RegistryOf(const json &value, const std::string &where)
{
    if (!value.is_object()) WrongType(value, where, "expected an object of value names");
    std::vector<std::pair<std::string, hk::reg::Value>> values;
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string allowed = "expected a number from 0 to 0xFFFFFFFF (REG_DWORD) or a string (REG_SZ)";
        hk::reg::Value stored;
        if (it->is_string()) {
            stored.type = REG_SZ;
            stored.data = StringValue(it->get<std::string>());
        } else {
            const ULONG number = ULONG(NumberIn(*it, Member(where, it.key()), 0, 0xFFFFFFFF, allowed));
            stored.type = REG_DWORD;
            stored.data.resize(sizeof(ULONG));
            std::memcpy(stored.data.data(), &number, sizeof(ULONG));
        }
        values.emplace_back(it.key(), stored);
    }
    return values;
}

BoardScenario BoardOf(const json &value, const std::string &where, size_t indexOnBus[3])
{
    if (!value.is_object()) WrongType(value, where, "expected an object with \"bus\" and \"hardware_ids\"");
    if (!value.contains("bus")) Wrong(where, "no \"bus\"", "expected \"bus\": \"pci\", \"pcmcia\" or \"isa\"");
    BoardScenario board;
    static const BusKind buses[] = {BusKind::Pci, BusKind::Pcmcia, BusKind::Root};
    board.bus = buses[Choice(value.at("bus"), Member(where, "bus"), {"pci", "pcmcia", "isa"})];

    std::vector<std::string> keys = {"bus", "hardware_ids", "io_base", "interrupt", "ports", "ports_in_memory_space",
                                     "status_register", "option_registers", "registry"};
    if (board.bus == BusKind::Pci) keys.push_back("bridge_base");
    OnlyKeys(value, where, keys, std::string(board.bus == BusKind::Root ? "an " : "a ") + BusKindName(board.bus) + " board");

    const std::string idsAt = Member(where, "hardware_ids");
    const std::string idsAllowed = "expected a list of hardware ID strings, at least one";
    if (!value.contains("hardware_ids")) Wrong(where, "no \"hardware_ids\"", idsAllowed);
    const json &ids = value.at("hardware_ids");
    if (!ids.is_array()) WrongType(ids, idsAt, idsAllowed);
    if (ids.empty()) Wrong(idsAt, "an empty list", idsAllowed);
    for (size_t i = 0; i < ids.size(); ++i) {
        if (!ids[i].is_string()) WrongType(ids[i], Element(idsAt, i), "expected a hardware ID string");
        board.hardwareIds.push_back(ids[i].get<std::string>());
    }

    board.ports = ProductPortCount(board.bus, board.hardwareIds);
    if (value.contains("ports"))
        board.ports = unsigned(NumberIn(value.at("ports"), Member(where, "ports"), 1, kMaxPorts,
                                        "expected a number of UARTs " + FromTo(1, kMaxPorts)));
    if (board.ports == 0) board.ports = 1;

    const size_t n = indexOnBus[int(board.bus)]++;
    const BusDefaults defaults = DefaultsOf(board.bus);
    BoardResources &r = board.resources;
    if (value.contains("ports_in_memory_space"))
        r.inMemorySpace = BoolField(value.at("ports_in_memory_space"), Member(where, "ports_in_memory_space"));
    r.uartLength = kUartBytesPerPort * board.ports;
    r.uartBase = value.contains("io_base")
                     ? RangeBase(value.at("io_base"), Member(where, "io_base"), r.uartLength, r.inMemorySpace)
                     : ULONG(defaults.uartBase + defaults.uartStride * n);
    if (board.bus == BusKind::Pci)
        r.bridgeBase = value.contains("bridge_base")
                           ? RangeBase(value.at("bridge_base"), Member(where, "bridge_base"), kBridgeBytes, r.inMemorySpace)
                           : ULONG(defaults.bridgeBase + defaults.uartStride * n);
    r.interrupt = value.contains("interrupt")
                      ? ULONG(NumberIn(value.at("interrupt"), Member(where, "interrupt"), 0, kMaxIrq,
                                       "expected an IRQ line " + FromTo(0, kMaxIrq)))
                      : defaults.interrupt;

    if (value.contains("status_register"))
        board.scratchStatusRegister =
            Choice(value.at("status_register"), Member(where, "status_register"), {"read-only", "scratch"}) == 1;
    if (value.contains("option_registers"))
        board.optionRegisters = OptionRegistersOf(value.at("option_registers"), Member(where, "option_registers"));
    else if (ProductHasOptionRegisters(board.bus, board.hardwareIds))
        board.optionRegisters = OptionRegisterScenario{};
    if (value.contains("registry")) board.registry = RegistryOf(value.at("registry"), Member(where, "registry"));
    return board;
}

// What a step object may say beside the board it names.
struct StepForm {
    const char *action;
    ScenarioStep::Kind kind;
    std::vector<std::string> extra;
};

const StepForm kStepForms[] = {
    {"stop", ScenarioStep::Kind::Stop, {"veto"}},
    {"restart", ScenarioStep::Kind::Restart, {"io_base", "bridge_base", "veto"}},
    {"remove", ScenarioStep::Kind::Remove, {"veto"}},
    {"surprise_remove", ScenarioStep::Kind::SurpriseRemove, {}},
    {"query_stop", ScenarioStep::Kind::QueryStopThenCancel, {"veto"}},
    {"query_remove", ScenarioStep::Kind::QueryRemoveThenCancel, {"veto"}},
    {"open", ScenarioStep::Kind::Open, {"port"}},
    {"close", ScenarioStep::Kind::Close, {"port"}},
    {"control", ScenarioStep::Kind::DeviceControl, {"port"}},
    {"port_fails", ScenarioStep::Kind::PortFails, {"port"}},
    {"power", ScenarioStep::Kind::Sleep, {}},
};

// |started|: a "start" step came before this one, so the boards are in the machine.
ScenarioStep StepOf(const json &value, const std::string &where, const std::vector<BoardScenario> &boards,
                    bool started)
{
    std::vector<std::string> actions;
    for (const StepForm &form : kStepForms) actions.push_back(form.action);
    const std::string anAction = "expected \"start\" or an object of one of " + Listed(actions);
    ScenarioStep step;
    if (value.is_string()) {
        if (value != "start") Wrong(where, "unknown step " + Shown(value), anAction);
        return step;
    }
    if (!value.is_object()) WrongType(value, where, anAction);

    const StepForm *form = nullptr;
    for (const StepForm &candidate : kStepForms) {
        if (!value.contains(candidate.action)) continue;
        if (form)
            Wrong(Member(where, candidate.action), std::string("a second action beside \"") + form->action + "\"",
                  "expected one action per step");
        form = &candidate;
    }
    if (!form) {
        if (value.empty()) Wrong(where, "an empty step", anAction);
        Wrong(Member(where, value.begin().key()), "unknown key", anAction);
    }
    std::vector<std::string> keys = {form->action};
    keys.insert(keys.end(), form->extra.begin(), form->extra.end());
    OnlyKeys(value, where, keys, std::string("a \"") + form->action + "\" step");

    const std::string actionAt = Member(where, form->action);
    if (form->kind == ScenarioStep::Kind::Sleep) {
        const bool wake = Choice(value.at("power"), actionAt, {"sleep", "wake"}) == 1;
        step.kind = wake ? ScenarioStep::Kind::Wake : ScenarioStep::Kind::Sleep;
        return step;
    }
    step.kind = form->kind;
    if (boards.empty()) Wrong(actionAt, "the scenario has no boards", "expected the index of a board in \"boards\"");
    step.board = size_t(NumberIn(value.at(form->action), actionAt, 0, boards.size() - 1,
                                 "expected a board index " + FromTo(0, boards.size() - 1)));
    if (!started)
        Wrong(actionAt, "board " + std::to_string(step.board) + " is not in the machine yet",
              "expected a \"start\" step before it");
    const BoardScenario &board = boards[step.board];
    if (value.contains("bridge_base") && board.bus != BusKind::Pci)
        Wrong(Member(where, "bridge_base"), "board " + std::to_string(step.board) + " is not a PCI board",
              "expected io_base alone");
    if (value.contains("io_base"))
        step.ioBase = RangeBase(value.at("io_base"), Member(where, "io_base"), board.resources.uartLength,
                                board.resources.inMemorySpace);
    if (value.contains("bridge_base"))
        step.bridgeBase = RangeBase(value.at("bridge_base"), Member(where, "bridge_base"), kBridgeBytes,
                                    board.resources.inMemorySpace);
    if (value.contains("port"))
        step.port = size_t(NumberIn(value.at("port"), Member(where, "port"), 1, board.ports,
                                    "expected a port of board " + std::to_string(step.board) + " " +
                                        FromTo(1, board.ports)));
    if (value.contains("veto")) {
        const json &veto = value.at("veto");
        const std::string allowed = "expected the reason the step is refused";
        if (!veto.is_string()) WrongType(veto, Member(where, "veto"), allowed);
        if (veto.get<std::string>().empty()) Wrong(Member(where, "veto"), "an empty reason", allowed);
        step.expectedVeto = veto.get<std::string>();
    }
    return step;
}

void ParseWdmVersion(const json &value, Scenario *scenario)
{
    const std::string allowed = "expected a version such as \"1.10\"";
    if (!value.is_string()) WrongType(value, "wdm_version", allowed);
    const std::string text = value.get<std::string>();
    // "1.10" is major 1, minor 0x10: WDM minor versions are written in hex.
    const size_t dot = text.find('.');
    const std::string majorText = text.substr(0, dot);
    char *end = nullptr;
    const unsigned long major = std::strtoul(majorText.c_str(), &end, 10);
    const std::string minorText = dot == std::string::npos ? "0" : text.substr(dot + 1);
    char *minorEnd = nullptr;
    const unsigned long minor = std::strtoul(minorText.c_str(), &minorEnd, 16);
    if (dot == 0 || *end != '\0' || *minorEnd != '\0' || minorText.empty() || major > 0xFF || minor > 0xFF)
        Wrong("wdm_version", "unknown version " + Shown(value), allowed);
    scenario->wdmVersionGiven = true;
    scenario->wdmVersion = text;
    scenario->wdmMajor = UCHAR(major);
    scenario->wdmMinor = UCHAR(minor);
}

// What the file says about itself: read by people and by the example
// runner, not by the run, but held to its form like the rest.
void CheckNotes(const json &document)
{
    if (document.contains("comment")) {
        const json &comment = document.at("comment");
        const std::string allowed = "expected a string or a list of strings";
        if (comment.is_array()) {
            for (size_t i = 0; i < comment.size(); ++i)
                if (!comment[i].is_string()) WrongType(comment[i], Element("comment", i), allowed);
        } else if (!comment.is_string()) {
            WrongType(comment, "comment", allowed);
        }
    }
    if (document.contains("expect")) {
        const json &expect = document.at("expect");
        const std::string allowed = "expected {\"exit\": 0, 1 or 2, \"summary\": {...}}";
        if (!expect.is_object()) WrongType(expect, "expect", allowed);
        OnlyKeys(expect, "expect", {"exit", "summary"}, "");
        if (!expect.contains("exit")) Wrong("expect", "no \"exit\"", allowed);
        NumberIn(expect.at("exit"), "expect.exit", 0, 2, "expected the exit status, 0, 1 or 2");
        if (expect.contains("summary") && !expect.at("summary").is_object())
            WrongType(expect.at("summary"), "expect.summary", "expected an object: a part of the --json summary");
    }
}

// Where the parser stopped, as "line 3, column 7", and why.
[[noreturn]] void NotJson(const json::parse_error &e)
{
    const std::string text = e.what();
    const size_t at = text.find("at line ");
    const size_t colon = at == std::string::npos ? std::string::npos : text.find(": ", at);
    if (colon == std::string::npos) Wrong("byte " + std::to_string(e.byte), "not JSON", "expected a JSON object");
    std::string why = text.substr(colon + 2);
    if (why.find("; ") == std::string::npos) why += "; expected a JSON object";
    throw ScenarioError(text.substr(at + 3, colon - at - 3) + ": not JSON, " + why);
}

}  // namespace

Scenario ParseScenario(const std::string &text)
{
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error &e) {
        NotJson(e);
    }
    if (!document.is_object()) WrongType(document, "scenario", "expected an object of boards and steps");
    OnlyKeys(document, "",
             {"comment", "expect", "windows", "wdm_version", "filter_debug_level", "board_lower_filter",
              "memory_window", "boards", "steps"},
             "");
    CheckNotes(document);

    Scenario scenario;
    if (document.contains("wdm_version")) ParseWdmVersion(document.at("wdm_version"), &scenario);
    if (document.contains("windows")) {
        const json &windows = document.at("windows");
        const std::string allowed = "expected one of " + hk::ReleaseNames();
        if (!windows.is_string()) WrongType(windows, "windows", allowed);
        const hk::WindowsRelease *release = hk::ReleaseNamed(windows.get<std::string>());
        if (release == nullptr) Wrong("windows", "unknown value " + Shown(windows), allowed);
        scenario.windows = release->id;
    }
    if (document.contains("board_lower_filter"))
        scenario.boardLowerFilter = BoolField(document.at("board_lower_filter"), "board_lower_filter");
    if (document.contains("filter_debug_level"))
        scenario.filterDebugLevel = ULONG(NumberIn(document.at("filter_debug_level"), "filter_debug_level", 0,
                                                   0xFFFFFFFF, "expected a number from 0 to 0xFFFFFFFF (a DWORD)"));

    if (document.contains("boards")) {
        const json &boards = document.at("boards");
        if (!boards.is_array()) WrongType(boards, "boards", "expected a list of boards");
        size_t indexOnBus[3] = {0, 0, 0};
        for (size_t i = 0; i < boards.size(); ++i)
            scenario.boards.push_back(BoardOf(boards[i], Element("boards", i), indexOnBus));
    }
    if (document.contains("memory_window")) {
        // Every port the machine reaches through the window must lie below
        // the top of the address space: the whole 64 KB I/O space, and the
        // ranges of boards placed beyond it.
        ULONGLONG reachedEnd = kIoSpaceEnd;
        for (const BoardScenario &board : scenario.boards)
            if (board.resources.inMemorySpace)
                reachedEnd = std::max({reachedEnd, ULONGLONG(board.resources.uartBase) + board.resources.uartLength,
                                       ULONGLONG(board.resources.bridgeBase) + kBridgeBytes});
        const ULONGLONG window = HexUpTo(document.at("memory_window"), "memory_window", ~ULONGLONG(0) - (reachedEnd - 1),
                                         "0xFE000000");
        for (BoardScenario &board : scenario.boards) board.resources.memoryWindow = window;
    }
    if (document.contains("steps")) {
        const json &steps = document.at("steps");
        if (!steps.is_array()) WrongType(steps, "steps", "expected a list of steps");
        bool started = false;
        for (size_t i = 0; i < steps.size(); ++i) {
            scenario.steps.push_back(StepOf(steps[i], Element("steps", i), scenario.boards, started));
            started = started || scenario.steps.back().kind == ScenarioStep::Kind::Start;
        }
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
