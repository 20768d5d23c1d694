// Reading an INF file's lines as SetupAPI does: names compared without case,
// fields separated by commas, blanks around them dropped.
#pragma once

#include <cctype>
#include <string>
#include <vector>

namespace inftext {

inline std::string Upper(std::string text)
{
    for (char &c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

inline std::string Trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    const size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

inline std::vector<std::string> Fields(const std::string &text)
{
    std::vector<std::string> fields;
    size_t from = 0;
    for (size_t comma; (comma = text.find(',', from)) != std::string::npos; from = comma + 1)
        fields.push_back(Trimmed(text.substr(from, comma - from)));
    fields.push_back(Trimmed(text.substr(from)));
    return fields;
}

}  // namespace inftext
