#include "registry_tree.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace hk::internal::registry {
namespace {

struct HandleEntry {
    KeyPtr key;
    std::string opener;
};

struct Registry {
    KeyPtr root = std::make_shared<Key>();
    std::map<uintptr_t, HandleEntry> handles;  // ordered, so reports come in opening order
    uintptr_t nextHandle = kFirstHandle;
    static constexpr uintptr_t kFirstHandle = 0x80000010;  // kernel handles have the top bit set
};

Registry &State()
{
    static Registry registry;
    return registry;
}

bool SameName(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'a' && x <= 'z' ? x - 32 : x) == (y >= 'a' && y <= 'z' ? y - 32 : y);
           });
}

std::vector<std::string> Split(const std::string &path)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string Folded(const std::string &name)
{
    std::string folded = name;
    for (char &c : folded)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return folded;
}

KeyPtr Child(const Key &key, const std::string &name)
{
    hk::CountWork(hk::Work::KeySearch);
    auto found = key.subkeyByName.find(Folded(name));
    return found == key.subkeyByName.end() ? nullptr : found->second;
}

KeyPtr Start(const KeyPtr &base, const std::string &path)
{
    return (base == nullptr || (!path.empty() && path[0] == '\\')) ? State().root : base;
}

}  // namespace

KeyPtr Root() { return State().root; }

KeyPtr Find(const KeyPtr &base, const std::string &path)
{
    KeyPtr key = Start(base, path);
    for (const std::string &part : Split(path)) {
        key = Child(*key, part);
        if (key == nullptr) return nullptr;
    }
    return key;
}

KeyPtr Create(const KeyPtr &base, const std::string &path)
{
    KeyPtr key = Start(base, path);
    for (const std::string &part : Split(path)) {
        KeyPtr next = Child(*key, part);
        if (next == nullptr) {
            next = std::make_shared<Key>();
            next->name = part;
            key->subkeys.push_back(next);
            key->subkeyByName[Folded(part)] = next;
        }
        key = next;
    }
    return key;
}

KeyPtr CreateLeaf(const KeyPtr &base, const std::string &path)
{
    std::vector<std::string> parts = Split(path);
    if (parts.empty()) return Start(base, path);
    std::string parentPath = path.substr(0, path.rfind('\\') == std::string::npos ? 0 : path.rfind('\\'));
    if (!path.empty() && path[0] == '\\' && parentPath.empty()) parentPath = "\\";
    KeyPtr parent = parentPath.empty() ? Start(base, path) : Find(base, parentPath);
    if (parent == nullptr) return nullptr;
    return Create(parent, parts.back());
}

void DetachSubkey(Key &parent, const KeyPtr &key)
{
    for (auto it = parent.subkeys.begin(); it != parent.subkeys.end(); ++it) {
        hk::CountWork(hk::Work::KeySearch);
        if (*it == key) {
            parent.subkeys.erase(it);
            parent.subkeyByName.erase(Folded(key->name));
            return;
        }
    }
}

reg::Value *FindValue(Key &key, const std::string &name)
{
    for (auto &v : key.values) {
        hk::CountWork(hk::Work::ValueSearch);
        if (SameName(v.first, name)) return &v.second;
    }
    return nullptr;
}

void SetValue(Key &key, const std::string &name, ULONG type, const void *data, size_t size)
{
    reg::Value value{type, std::vector<uint8_t>(size)};
    if (size != 0) memcpy(value.data.data(), data, size);
    if (reg::Value *existing = FindValue(key, name)) {
        *existing = value;  // a value rewritten keeps its place
    } else {
        key.values.emplace_back(name, value);
    }
}

bool DeleteValue(Key &key, const std::string &name)
{
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        hk::CountWork(hk::Work::ValueSearch);
        if (SameName(it->first, name)) {
            key.values.erase(it);
            return true;
        }
    }
    return false;
}

HANDLE OpenHandle(const KeyPtr &key, const std::string &opener)
{
    Registry &r = State();
    uintptr_t value = r.nextHandle;
    r.nextHandle += 4;  // never reused until reset, so a stale handle stays bad
    r.handles[value] = HandleEntry{key, opener};
    return reinterpret_cast<HANDLE>(value);
}

KeyPtr KeyOfHandle(HANDLE handle)
{
    auto it = State().handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == State().handles.end() ? nullptr : it->second.key;
}

bool CloseHandle(HANDLE handle) { return State().handles.erase(reinterpret_cast<uintptr_t>(handle)) != 0; }

std::string NameOf(PCUNICODE_STRING name)
{
    if (name == nullptr || name->Buffer == nullptr) return std::string();
    return Narrow(name->Buffer, name->Length / sizeof(WCHAR));
}

std::string NameOf(PCWSTR name) { return name == nullptr ? std::string() : Narrow(name); }

bool RelativeRoot(ULONG relativeTo, std::string *prefix)
{
    static const char *const kRoots[RTL_REGISTRY_MAXIMUM] = {
        "",                                                  // RTL_REGISTRY_ABSOLUTE
        "\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        "\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        "\\Registry\\Machine\\Hardware\\DeviceMap",
        "\\Registry\\User\\.Default",
    };
    if (relativeTo >= RTL_REGISTRY_MAXIMUM) return false;
    *prefix = kRoots[relativeTo];
    return true;
}

// Host-side reporting and reset live beside the table they read.
std::vector<std::pair<std::string, std::string>> OpenHandlesOf(const std::string &image)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto &h : State().handles) {
        if (image.empty() || h.second.opener == image) {
            char text[64];
            snprintf(text, sizeof(text), "registry handle %#lx on key \"%s\"", static_cast<unsigned long>(h.first),
                     h.second.key->name.c_str());
            out.emplace_back(h.second.opener, text);
        }
    }
    return out;
}

size_t HandleCount() { return State().handles.size(); }

void Clear() { State() = Registry(); }

}  // namespace hk::internal::registry
