#include "install_db.h"

#include "lower_filter.h"

#include <cctype>

namespace sim {

namespace {

const char kBoardService[] = "mpsbus";
const char kPortFilter[] = "mpsfilt";
const char kSerialServiceName[] = "serial";

// Board IDs are matched by the text the bus driver itself searches for, so
// that its own identification, not this table, decides which boards start.
const char *const kBoardIdTexts[] = {"PCI\\VEN_7A3E&DEV_", "-05D3-", "VELMORA_ISA_SERIAL_"};

const char *const kPortIds[] = {"VELMORA_PCI_SERIAL_PORT", "VELMORA_ISA_SERIAL_PORT", "VELMORA_PCMCIA_SERIAL_PORT",
                                "TARVO_PCMCIA_SERIAL_PORT", "BRISEL_PCMCIA_SERIAL_PORT"};

}  // namespace

std::string UpperCase(std::string text)
{
    for (char &c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void InstallDatabase::Add(Match match, const std::string &id, const DriverBinding &binding)
{
    rules_.push_back(Rule{match, UpperCase(id), binding});
}

const DriverBinding *InstallDatabase::FindOne(const std::string &id) const
{
    // An exact rule is the more specific one: a port's ID also contains the
    // text that binds its board.
    const std::string upper = UpperCase(id);
    for (const Rule &rule : rules_)
        if (rule.match == Match::Exact && upper == rule.id) return &rule.binding;
    for (const Rule &rule : rules_)
        if (rule.match == Match::Contains && upper.find(rule.id) != std::string::npos) return &rule.binding;
    return nullptr;
}

const DriverBinding *InstallDatabase::Find(const std::vector<std::string> &hardwareIds,
                                           const std::vector<std::string> &compatibleIds) const
{
    for (const auto *ids : {&hardwareIds, &compatibleIds})
        for (const std::string &id : *ids)
            if (const DriverBinding *binding = FindOne(id)) return binding;
    return nullptr;
}

InstallDatabase InstallDatabase::Default(bool boardLowerFilter)
{
    InstallDatabase db;
    std::vector<std::string> lower;
    if (boardLowerFilter) lower.push_back(kLowerFilterService);
    for (const char *text : kBoardIdTexts) db.Add(Match::Contains, text, DriverBinding{kBoardService, {}, lower});
    for (const char *id : kPortIds) db.Add(Match::Exact, id, DriverBinding{kSerialServiceName, {kPortFilter}, {}});
    return db;
}

}  // namespace sim
