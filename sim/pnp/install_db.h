/*
 * The installation database: which drivers form the stack of a device, found
 * from its hardware and compatible IDs as INF files would bind them.
 */
#pragma once

#include <string>
#include <vector>

namespace sim {

struct DriverBinding {
    std::string functionService;
    std::vector<std::string> upperFilters, lowerFilters;
};

class InstallDatabase {
public:
    enum class Match { Contains, Exact };  // both case-insensitive

    void Add(Match match, const std::string &id, const DriverBinding &binding);

    // The first rule that matches the first ID that any rule matches:
    // hardware IDs before compatible IDs, each in the order the bus gave them.
    const DriverBinding *Find(const std::vector<std::string> &hardwareIds,
                              const std::vector<std::string> &compatibleIds) const;

    // The boards' IDs to mpsbus; the port IDs to the serial port driver
    // with mpsfilt above it. |boardLowerFilter| puts the host's pass-through
    // lower filter (lower_filter.h) between mpsbus and the board's PDO, as
    // real stacks often have one: what mpsbus forwards must pass it.
    static InstallDatabase Default(bool boardLowerFilter = true);

private:
    struct Rule {
        Match match;
        std::string id;  // upper case
        DriverBinding binding;
    };
    const DriverBinding *FindOne(const std::string &id) const;
    std::vector<Rule> rules_;
};

std::string UpperCase(std::string text);

}  // namespace sim
