/*
 * Routine names of code addresses, read from the symbol table of the file
 * that holds them, as a debugger names a frame "mpsbus!CaptureResources".
 * The dynamic symbols alone would name a file-local routine after the
 * exported one before it, so the full table (.symtab) is read.
 */
#include "internal.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

namespace {

struct Symbol {
    uintptr_t begin, end;
    std::string name;  // as the table holds it, mangled
};

// A demangled name without its namespaces' anonymity or parameter list.
std::string RoutineName(const std::string &mangled)
{
    int status = 0;
    char *plain = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    std::string name = status == 0 && plain ? plain : mangled;
    std::free(plain);
    const std::string anonymous = "(anonymous namespace)::";
    for (size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
    const size_t paren = name.find('(');
    if (paren != std::string::npos && paren > 0) name.resize(paren);
    return name;
}

std::vector<Symbol> ReadSymbols(const std::string &path)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    std::vector<char> bytes(file ? size_t(file.tellg()) : 0);
    file.seekg(0);
    if (!file.read(bytes.data(), std::streamsize(bytes.size()))) bytes.clear();
    std::vector<Symbol> symbols;
    if (bytes.size() < sizeof(ElfW(Ehdr))) return symbols;
    const auto *header = reinterpret_cast<const ElfW(Ehdr) *>(bytes.data());
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_shoff + size_t(header->e_shnum) * sizeof(ElfW(Shdr)) > bytes.size())
        return symbols;
    const auto *sections = reinterpret_cast<const ElfW(Shdr) *>(bytes.data() + header->e_shoff);
    for (unsigned i = 0; i < header->e_shnum; ++i) {
        const ElfW(Shdr) &table = sections[i];
        if (table.sh_type != SHT_SYMTAB || table.sh_link >= header->e_shnum) continue;
        const ElfW(Shdr) &strings = sections[table.sh_link];
        if (table.sh_offset + table.sh_size > bytes.size() || strings.sh_offset + strings.sh_size > bytes.size())
            continue;
        const auto *entries = reinterpret_cast<const ElfW(Sym) *>(bytes.data() + table.sh_offset);
        for (size_t n = 0; n < table.sh_size / sizeof(ElfW(Sym)); ++n) {
            const ElfW(Sym) &s = entries[n];
            if ((s.st_info & 0xF) != STT_FUNC || s.st_size == 0 || s.st_name >= strings.sh_size) continue;
            // Demangled when asked for: an executable has thousands.
            symbols.push_back(Symbol{s.st_value, s.st_value + s.st_size, bytes.data() + strings.sh_offset + s.st_name});
        }
    }
    return symbols;
}

}  // namespace

namespace hk::internal {

std::string RoutineAt(const void *address)
{
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
    static std::map<std::string, std::vector<Symbol>> files;
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    auto known = files.find(info.dli_fname);
    if (known == files.end()) known = files.emplace(info.dli_fname, ReadSymbols(info.dli_fname)).first;
    // A shared object's symbols count from its load address; the
    // executable's are absolute.
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    for (const uintptr_t offset : {at - reinterpret_cast<uintptr_t>(info.dli_fbase), at}) {
        for (const Symbol &s : known->second)
            if (offset >= s.begin && offset < s.end) return RoutineName(s.name);
    }
    return std::string();
}

}  // namespace hk::internal
