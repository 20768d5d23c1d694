/*
 * What each product of the board family physically carries: the number of
 * UARTs, and on four PC Cards the option and mode control registers, by the
 * code its hardware ID gives. This is the manufacturer's catalogue, used to
 * build the simulated hardware.
 */
#include "install_db.h"
#include "scenario.h"

#include <cstdlib>

namespace sim {

namespace {

struct Product {
    unsigned code;
    unsigned ports;
    bool optionRegisters = false;
};

const Product kPciProducts[] = {
    {0x001, 4}, {0x012, 4}, {0x002, 2}, {0x013, 2}, {0x003, 2}, {0x015, 2}, {0x004, 4}, {0x014, 4},
    {0x005, 8}, {0x006, 8}, {0x017, 4}, {0x018, 2}, {0x019, 1}, {0x01A, 4}, {0x01B, 2}, {0x01C, 1},
};

const Product kPcCardProducts[] = {
    {0x0001, 1}, {0x0034, 1}, {0x004B, 1, true}, {0x0002, 1}, {0x000D, 1}, {0x0035, 1}, {0x004C, 1, true},
    {0x0007, 2}, {0x0046, 2}, {0x004D, 2, true}, {0x0022, 2}, {0x0052, 2}, {0x000E, 2}, {0x004E, 2, true},
    {0x0023, 2}, {0x001B, 4}, {0x0032, 4}, {0x0025, 4}, {0x0045, 4}, {0x004F, 4},
};

struct IsaProduct {
    const char *token;
    Product product;
};

const IsaProduct kIsaProducts[] = {
    {"IB4AX", {0, 4}}, {"IB4AY", {0, 4}}, {"IB4BX", {0, 4}}, {"IB4BY", {0, 4}}, {"IB8AX", {0, 8}}, {"IB8AY", {0, 8}},
};

// The hex digits after |marker|, at most |digits| of them; false when absent.
bool CodeAfter(const std::string &id, const std::string &marker, size_t digits, unsigned *code)
{
    const size_t at = id.find(marker);
    if (at == std::string::npos) return false;
    const std::string field = id.substr(at + marker.size(), digits);
    if (field.size() != digits) return false;
    char *end = nullptr;
    *code = unsigned(std::strtoul(field.c_str(), &end, 16));
    return end && *end == '\0';
}

template <size_t N>
const Product *Lookup(const Product (&table)[N], unsigned code)
{
    for (const Product &p : table)
        if (p.code == code) return &p;
    return nullptr;
}

// The product a hardware ID names; null when it names none.
const Product *ProductOf(BusKind bus, const std::string &rawId)
{
    const std::string id = UpperCase(rawId);
    unsigned code = 0;
    switch (bus) {
    case BusKind::Pci:
        // The device field's first three digits name the product.
        return CodeAfter(id, "PCI\\VEN_7A3E&DEV_", 3, &code) ? Lookup(kPciProducts, code) : nullptr;
    case BusKind::Pcmcia: return CodeAfter(id, "-05D3-", 4, &code) ? Lookup(kPcCardProducts, code) : nullptr;
    case BusKind::Root: {
        const std::string marker = "VELMORA_ISA_SERIAL_";
        const size_t at = id.find(marker);
        if (at == std::string::npos) return nullptr;
        const std::string token = id.substr(at + marker.size());
        for (const IsaProduct &p : kIsaProducts)
            if (token == p.token) return &p.product;
        return nullptr;
    }
    }
    return nullptr;
}

}  // namespace

unsigned ProductPortCount(BusKind bus, const std::vector<std::string> &hardwareIds)
{
    for (const std::string &id : hardwareIds)
        if (const Product *product = ProductOf(bus, id)) return product->ports;
    return 0;
}

const char kMultiportStopVeto[] = "a port on a multiport card is never stopped";

bool PortsRefuseStop(const BoardScenario &board)
{
    return board.bus != BusKind::Pcmcia && ProductPortCount(board.bus, board.hardwareIds) >= 2;
}

bool ProductHasOptionRegisters(BusKind bus, const std::vector<std::string> &hardwareIds)
{
    for (const std::string &id : hardwareIds)
        if (const Product *product = ProductOf(bus, id)) return product->optionRegisters;
    return false;
}

}  // namespace sim
