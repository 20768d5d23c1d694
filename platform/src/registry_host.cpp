/*
 * The host's view of the registry: what the simulator seeds (services,
 * device keys, stored values) and what tests read back and check.
 */
#include "registry_tree.h"

namespace hk {
namespace {

using namespace internal::registry;

std::recursive_mutex &Lock() { return internal::BookkeepingLock(); }

size_t Report(const std::string &image, const std::string &when)
{
    std::vector<std::pair<std::string, std::string>> open;
    {
        std::lock_guard<std::recursive_mutex> hold(Lock());
        open = OpenHandlesOf(image);
    }
    for (const auto &h : open) ReportViolation("REGISTRY_HANDLE_LEAK", h.first, h.second + " still open " + when);
    return open.size();
}

}  // namespace

namespace reg {

void CreateKey(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> hold(Lock());
    Create(nullptr, path);
}

bool KeyExists(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> hold(Lock());
    return Find(nullptr, path) != nullptr;
}

void SetValue(const std::string &path, const std::string &name, ULONG type, const void *data, size_t size)
{
    std::lock_guard<std::recursive_mutex> hold(Lock());
    internal::registry::SetValue(*Create(nullptr, path), name, type, data, size);
}

void SetDword(const std::string &path, const std::string &name, ULONG value)
{
    SetValue(path, name, REG_DWORD, &value, sizeof(value));
}

void SetString(const std::string &path, const std::string &name, const std::string &value)
{
    std::u16string wide = Wide(value);
    SetValue(path, name, REG_SZ, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
}

bool GetValue(const std::string &path, const std::string &name, Value *out)
{
    std::lock_guard<std::recursive_mutex> hold(Lock());
    KeyPtr key = Find(nullptr, path);
    Value *value = key == nullptr ? nullptr : FindValue(*key, name);
    if (value == nullptr) return false;
    if (out != nullptr) *out = *value;
    return true;
}

std::vector<std::pair<std::string, Value>> Values(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> hold(Lock());
    KeyPtr key = Find(nullptr, path);
    return key == nullptr ? std::vector<std::pair<std::string, Value>>() : key->values;
}

void DeleteTree(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> hold(Lock());
    size_t cut = path.rfind('\\');
    KeyPtr parent = cut == std::string::npos ? Root() : Find(nullptr, path.substr(0, cut));
    KeyPtr key = Find(nullptr, path);
    if (parent == nullptr || key == nullptr) return;
    DetachSubkey(*parent, key);  // open handles keep the detached subtree alive
}

void Reset()
{
    std::lock_guard<std::recursive_mutex> hold(Lock());
    Clear();
}

size_t OpenHandleCount()
{
    std::lock_guard<std::recursive_mutex> hold(Lock());
    return HandleCount();
}

size_t ReportOpenHandles(const std::string &when) { return Report(std::string(), when); }

}  // namespace reg

namespace internal {

// The Plug and Play manager's hooks go too: they answer for device nodes of
// a machine that no longer exists.
void ResetRegistry()
{
    reg::Reset();
    SetPnpHooks(PnpHooks());
}

size_t ReportOpenHandlesOf(const std::string &image, const std::string &when) { return Report(image, when); }

}  // namespace internal
}  // namespace hk
