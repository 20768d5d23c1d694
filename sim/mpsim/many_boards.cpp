/*
 * Machines of many boards, for load and for the benchmark: every board at
 * ranges of its own, 256 bytes apart (UART range first, a PCI board's bridge
 * range 0x80 above it). x86 has 64 KB of I/O space, room for 240 boards
 * above 0x1000; a machine with more reaches its buses' I/O space through
 * memory, every board alike, and the boards' bus addresses go on past 64 KB.
 */
#include "scenario.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace sim {

namespace {

using json = nlohmann::json;

constexpr unsigned kFirstBase = 0x1000;
constexpr unsigned kStride = 0x100;
constexpr unsigned kBridgeOffset = 0x80;
constexpr unsigned kIoSpaceEnd = 0x10000;

// One product of each model, in the driver's model order (0 to 22).
struct ModelProduct {
    const char *bus;
    const char *hardwareId;
};

const ModelProduct kModelProducts[] = {
    {"pci", "PCI\\VEN_7A3E&DEV_0020"},          {"pci", "PCI\\VEN_7A3E&DEV_0030"},
    {"pci", "PCI\\VEN_7A3E&DEV_0010"},          {"pci", "PCI\\VEN_7A3E&DEV_0040"},
    {"pci", "PCI\\VEN_7A3E&DEV_0050"},          {"pcmcia", "PCMCIA\\VELMORA-CB1A-05D3-0001"},
    {"pcmcia", "PCMCIA\\VELMORA-CB1B-05D3-0002"}, {"pcmcia", "PCMCIA\\VELMORA-CB2A-05D3-0007"},
    {"pcmcia", "PCMCIA\\VELMORA-CB2B-05D3-000E"}, {"pcmcia", "PCMCIA\\VELMORA-CB4A-05D3-001B"},
    {"pcmcia", "PCMCIA\\VELMORA-CB4B-05D3-0045"}, {"isa", "VELMORA_ISA_SERIAL_IB4AX"},
    {"isa", "VELMORA_ISA_SERIAL_IB4AY"},        {"isa", "VELMORA_ISA_SERIAL_IB4BX"},
    {"isa", "VELMORA_ISA_SERIAL_IB4BY"},        {"isa", "VELMORA_ISA_SERIAL_IB8AX"},
    {"isa", "VELMORA_ISA_SERIAL_IB8AY"},        {"pci", "PCI\\VEN_7A3E&DEV_0170"},
    {"pci", "PCI\\VEN_7A3E&DEV_0180"},          {"pci", "PCI\\VEN_7A3E&DEV_0190"},
    {"pci", "PCI\\VEN_7A3E&DEV_01A0"},          {"pci", "PCI\\VEN_7A3E&DEV_01B0"},
    {"pci", "PCI\\VEN_7A3E&DEV_01C0"},
};

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

bool FitsIoSpace(size_t boards) { return kFirstBase + kStride * boards <= kIoSpaceEnd; }

Scenario LaidOut(const std::vector<ModelProduct> &products, bool throughMemory)
{
    json boards = json::array();
    for (size_t n = 0; n < products.size(); ++n) {
        const unsigned base = unsigned(kFirstBase + kStride * n);
        json board = {{"bus", products[n].bus}, {"hardware_ids", {products[n].hardwareId}}, {"io_base", Hex(base)}};
        if (board["bus"] == "pci") board["bridge_base"] = Hex(base + kBridgeOffset);
        if (throughMemory) board["ports_in_memory_space"] = true;
        boards.push_back(board);
    }
    return ParseScenario(json{{"boards", boards}}.dump());
}

}  // namespace

size_t ModelCount() { return sizeof(kModelProducts) / sizeof(kModelProducts[0]); }

Scenario ManyBoardsScenario(size_t count)
{
    std::vector<ModelProduct> products;
    for (size_t n = 0; n < count; ++n) products.push_back(kModelProducts[n % ModelCount()]);
    return LaidOut(products, !FitsIoSpace(count));
}

Scenario SameBoardsScenario(size_t count, size_t model, bool throughMemory)
{
    return LaidOut(std::vector<ModelProduct>(count, kModelProducts[model]), throughMemory || !FitsIoSpace(count));
}

}  // namespace sim
