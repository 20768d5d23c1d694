/*
 * The in-memory registry shared by the registry modules: keys with typed
 * values in creation order, names compared without regard to case, and the
 * table of kernel handles. Every routine here expects the bookkeeping lock
 * to be held by its caller.
 */
#pragma once

#include "internal.h"

#include <memory>
#include <unordered_map>

namespace hk::internal::registry {

struct Key {
    std::string name;
    std::vector<std::shared_ptr<Key>> subkeys;                // creation order
    std::vector<std::pair<std::string, reg::Value>> values;   // creation order
    // The same subkeys by upper-case name: an Enum key of a machine with
    // hundreds of boards has hundreds of instances to look up.
    std::unordered_map<std::string, std::shared_ptr<Key>> subkeyByName;
};
using KeyPtr = std::shared_ptr<Key>;

// Absolute paths ("\\Registry\\Machine\\...") or paths relative to |base|.
KeyPtr Root();
KeyPtr Find(const KeyPtr &base, const std::string &path);
KeyPtr Create(const KeyPtr &base, const std::string &path);  // creates what is missing
// Creates only the last component; null when its parent is missing.
KeyPtr CreateLeaf(const KeyPtr &base, const std::string &path);

// Takes |key| out of |parent|'s subkeys; open handles keep it alive.
void DetachSubkey(Key &parent, const KeyPtr &key);

reg::Value *FindValue(Key &key, const std::string &name);
void SetValue(Key &key, const std::string &name, ULONG type, const void *data, size_t size);
bool DeleteValue(Key &key, const std::string &name);

// Kernel handles. A handle keeps its key alive even when the tree drops it.
HANDLE OpenHandle(const KeyPtr &key, const std::string &opener);
KeyPtr KeyOfHandle(HANDLE handle);  // null for a handle that is not open
bool CloseHandle(HANDLE handle);

// Narrow forms of the names drivers pass.
std::string NameOf(PCUNICODE_STRING name);
std::string NameOf(PCWSTR name);

// (opener image, description) of each open handle of |image|, all when empty.
std::vector<std::pair<std::string, std::string>> OpenHandlesOf(const std::string &image);
size_t HandleCount();
void Clear();  // an empty tree, no handles

// The prefix that an RTL_REGISTRY_xxx relative-to value stands for.
bool RelativeRoot(ULONG relativeTo, std::string *prefix);

}  // namespace hk::internal::registry
