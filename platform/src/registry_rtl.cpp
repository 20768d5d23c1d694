/*
 * The Rtl registry helpers: RtlQueryRegistryValues with its query routines,
 * direct entries, defaults and type check; RtlWriteRegistryValue and
 * RtlCheckRegistryKey. Paths are absolute or relative to one of the
 * RTL_REGISTRY_xxx roots, or (RTL_REGISTRY_HANDLE) the path is a key handle.
 * RTL_REGISTRY_OPTIONAL only keeps a write from creating a missing key: a
 * query of a missing key fails with STATUS_OBJECT_NAME_NOT_FOUND either way,
 * before any entry is looked at, so no default is stored.
 */
#include "irql_rules.h"
#include "registry_tree.h"

#include <cstring>

namespace {

using namespace hk::internal::registry;

constexpr ULONG kTypeCheck = 0x00000100;      // RTL_QUERY_REGISTRY_TYPECHECK
constexpr ULONG kTypeCheckShift = 24;         // RTL_QUERY_REGISTRY_TYPECHECK_SHIFT
constexpr ULONG kTypeMask = (1u << kTypeCheckShift) - 1;
constexpr ULONG kRegistryStringTag = 'SgeR';

std::recursive_mutex &Lock() { return hk::internal::BookkeepingLock(); }

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

NTSTATUS BadHandle(const std::string &image, const char *call, const void *handle)
{
    char detail[96];
    snprintf(detail, sizeof(detail), "%s(RTL_REGISTRY_HANDLE, %p): not an open registry handle", call, handle);
    hk::ReportViolation("REGISTRY_BAD_HANDLE", image, detail);
    return STATUS_INVALID_HANDLE;
}

enum class Open { Query, Write };

NTSTATUS OpenRelative(ULONG relativeTo, PCWSTR path, Open mode, const std::string &image, const char *call,
                      KeyPtr *key)
{
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        std::unique_lock<std::recursive_mutex> hold(Lock());
        *key = KeyOfHandle(const_cast<PWSTR>(path));
        if (*key != nullptr) return STATUS_SUCCESS;
        hold.unlock();
        return BadHandle(image, call, path);
    }
    const bool optional = (relativeTo & RTL_REGISTRY_OPTIONAL) != 0;
    std::string full;
    if (!RelativeRoot(relativeTo & ~RTL_REGISTRY_OPTIONAL, &full)) return STATUS_INVALID_PARAMETER;
    const std::string rest = NameOf(path);
    if (full.empty() && (rest.empty() || rest[0] != '\\')) return STATUS_OBJECT_PATH_NOT_FOUND;
    full += full.empty() || (!rest.empty() && rest[0] == '\\') ? rest : "\\" + rest;

    // A key that cannot be opened reads as not there (DDI rtlqueryregistryvalues:
    // STATUS_OBJECT_NAME_NOT_FOUND), which is what a caller must pass up.
    if (mode == Open::Query && hk::ShouldFail(hk::Service::RegistryOpen, image, STATUS_OBJECT_NAME_NOT_FOUND))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::lock_guard<std::recursive_mutex> hold(Lock());
    *key = Find(nullptr, full);
    if (*key == nullptr && mode == Open::Write && !optional) *key = CreateLeaf(nullptr, full);
    return *key != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// Bytes of a default given with DefaultLength 0: strings are measured.
ULONG DefaultLengthOf(ULONG type, const void *data, ULONG length)
{
    if (length != 0 || data == nullptr || !IsStringType(type)) return length;
    const WCHAR *s = static_cast<const WCHAR *>(data);
    size_t chars = 0;
    if (type == REG_MULTI_SZ) {
        while (s[chars] != 0 || s[chars + 1] != 0) ++chars;
        chars += 2;
    } else {
        while (s[chars] != 0) ++chars;
        ++chars;
    }
    return ULONG(chars * sizeof(WCHAR));
}

// Calls |each| with every string of a multi-string (its characters, the
// count without the NUL) to the end of the data; stops at the first failure.
// An empty string inside the data is one of them, the one that ends the data
// is only the terminator (ReactOS kmtests rtl/RtlRegistry.c, run on Windows
// too: "S1\0\0S3\0" gives three strings, the middle one empty).
template <typename Each>
NTSTATUS ForEachString(const void *data, ULONG length, Each each)
{
    const WCHAR *s = static_cast<const WCHAR *>(data);
    const WCHAR *const end = s + length / sizeof(WCHAR);
    while (s < end) {
        ULONG chars = 0;
        while (s + chars < end && s[chars] != 0) ++chars;
        if (chars == 0 && s + 1 >= end) break;
        NTSTATUS status = each(s, chars);
        if (!NT_SUCCESS(status)) return status;
        s += chars + 1;
    }
    return STATUS_SUCCESS;
}

// A value that cannot be read reads as missing (DDI rtlqueryregistryvalues:
// STATUS_OBJECT_NAME_NOT_FOUND for a value that is not there).
constexpr NTSTATUS kReadFailure = STATUS_OBJECT_NAME_NOT_FOUND;

class Query {
public:
    Query(const std::string &image, PVOID context) : image_(image), context_(context) {}

    NTSTATUS Run(const KeyPtr &top, PRTL_QUERY_REGISTRY_TABLE table)
    {
        KeyPtr current = top;
        for (PRTL_QUERY_REGISTRY_TABLE entry = table; entry->QueryRoutine != nullptr || entry->Name != nullptr;
             ++entry) {
            if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) current = top;
            if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
                std::lock_guard<std::recursive_mutex> hold(Lock());
                current = Find(top, NameOf(entry->Name));
                if (current == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
                continue;
            }
            if (entry->QueryRoutine == nullptr && !(entry->Flags & RTL_QUERY_REGISTRY_DIRECT)) {
                return STATUS_INVALID_PARAMETER;
            }
            NTSTATUS status = entry->Name == nullptr ? EveryValue(*current, entry) : OneValue(*current, entry);
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }

private:
    NTSTATUS EveryValue(Key &key, PRTL_QUERY_REGISTRY_TABLE entry)
    {
        if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return STATUS_INVALID_PARAMETER;
        if (hk::ShouldFail(hk::Service::RegistryRead, image_, kReadFailure)) return kReadFailure;
        std::vector<std::pair<std::string, hk::reg::Value>> values;
        {
            std::lock_guard<std::recursive_mutex> hold(Lock());
            values = key.values;
        }
        for (const auto &v : values) {
            hk::CountWork(hk::Work::ValueSearch);
            std::u16string name = hk::Wide(v.first);
            NTSTATUS status = Deliver(entry, reinterpret_cast<PWSTR>(&name[0]), v.second.type, v.second.data.data(),
                                      ULONG(v.second.data.size()), true);
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS OneValue(Key &key, PRTL_QUERY_REGISTRY_TABLE entry)
    {
        if (hk::ShouldFail(hk::Service::RegistryRead, image_, kReadFailure)) return kReadFailure;
        const std::string name = NameOf(entry->Name);
        hk::reg::Value value;
        bool found;
        {
            std::lock_guard<std::recursive_mutex> hold(Lock());
            hk::reg::Value *stored = FindValue(key, name);
            found = stored != nullptr;
            if (found) value = *stored;
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (found) {
            status = Deliver(entry, entry->Name, value.type, value.data.data(), ULONG(value.data.size()), true);
            if (NT_SUCCESS(status) && (entry->Flags & RTL_QUERY_REGISTRY_DELETE)) {
                std::lock_guard<std::recursive_mutex> hold(Lock());
                DeleteValue(key, name);
            }
        } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            const ULONG defaultType = entry->DefaultType & kTypeMask;
            if (defaultType != REG_NONE) {
                status = Deliver(entry, entry->Name, defaultType, entry->DefaultData,
                                 DefaultLengthOf(defaultType, entry->DefaultData, entry->DefaultLength), false);
            }
        }
        return status;
    }

    NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, ULONG type, const void *data, ULONG length,
                     bool fromRegistry)
    {
        if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry, type, data, length, fromRegistry);

        std::vector<uint8_t> copy(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + length);
        copy.resize(copy.size() + 2 * sizeof(WCHAR));  // strings handed out are always terminated
        const bool expand = !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND);
        if (type == REG_MULTI_SZ && expand) {
            // One call per string of the multi-string, each as a REG_SZ.
            return ForEachString(copy.data(), length, [&](const WCHAR *s, ULONG chars) {
                return entry->QueryRoutine(name, REG_SZ, const_cast<PWSTR>(s), (chars + 1) * sizeof(WCHAR), context_,
                                           entry->EntryContext);
            });
        }
        if (type == REG_EXPAND_SZ && expand) type = REG_SZ;  // nothing to expand on this machine
        return entry->QueryRoutine(name, type, copy.data(), length, context_, entry->EntryContext);
    }

    NTSTATUS StoreDirect(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, const void *data, ULONG length,
                         bool fromRegistry)
    {
        const bool typeCheck = (entry->Flags & kTypeCheck) != 0;
        if (fromRegistry && typeCheck && type != (entry->DefaultType >> kTypeCheckShift)) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (type == REG_MULTI_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
            // A direct multi-string without RTL_QUERY_REGISTRY_NOEXPAND is
            // expanded as for a query routine: each string goes to the next
            // UNICODE_STRING at EntryContext (ReactOS sdk/lib/rtl/registry.c
            // advances the entry context per string; the DDI page asks for
            // NOEXPAND, so a caller that omits it gets exactly this).
            auto *target = static_cast<PUNICODE_STRING>(entry->EntryContext);
            return ForEachString(data, length, [&](const WCHAR *s, ULONG chars) {
                return StoreString(entry, target++, s, (chars + 1) * sizeof(WCHAR), fromRegistry && !typeCheck);
            });
        }
        if (IsStringType(type)) {
            return StoreString(entry, static_cast<PUNICODE_STRING>(entry->EntryContext), data, length,
                               fromRegistry && !typeCheck);
        }
        if (length <= sizeof(ULONG)) {
            memcpy(entry->EntryContext, data, length);
            return STATUS_SUCCESS;
        }
        // Larger data: the target starts with a signed size. Negative: room
        // for the data alone; positive: room for length, type and data.
        LONG *target = static_cast<LONG *>(entry->EntryContext);
        const LONG room = *target;
        if (room < 0) {
            if (length > ULONG(-room)) return STATUS_BUFFER_TOO_SMALL;
            memcpy(target, data, length);
        } else {
            if (length + 2 * sizeof(ULONG) > ULONG(room)) return STATUS_BUFFER_TOO_SMALL;
            target[0] = LONG(length);
            target[1] = LONG(type);
            memcpy(target + 2, data, length);
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS StoreString(PRTL_QUERY_REGISTRY_TABLE entry, PUNICODE_STRING target, const void *data, ULONG length,
                         bool unchecked)
    {
        const ULONG declared = entry->DefaultType & kTypeMask;
        const bool declaredScalar =
            (declared != REG_NONE && !IsStringType(declared)) || (!IsStringType(declared) && entry->DefaultLength == 4);
        if (unchecked && declaredScalar) {
            // Windows would write a UNICODE_STRING (8 bytes on x86, 16 on
            // x64) over a 4-byte variable and whatever follows it; here the
            // entry is skipped.
            hk::ReportViolation("REGISTRY_DIRECT_QUERY_UNSAFE", image_,
                                "RtlQueryRegistryValues: string value \"" + NameOf(entry->Name) +
                                    "\" queried directly into a 4-byte non-string target without "
                                    "RTL_QUERY_REGISTRY_TYPECHECK");
            return STATUS_SUCCESS;
        }
        ULONG bytes = length & ~ULONG(1);
        const WCHAR *chars = static_cast<const WCHAR *>(data);
        if (target->Buffer == nullptr) {
            const ULONG size = bytes < sizeof(WCHAR) ? ULONG(sizeof(WCHAR)) : bytes;
            PVOID buffer = hk::internal::AllocatePoolFor(image_, PagedPool, size, kRegistryStringTag);
            if (buffer == nullptr) return STATUS_NO_MEMORY;
            memset(buffer, 0, size);
            target->Buffer = static_cast<PWSTR>(buffer);
            target->MaximumLength = USHORT(size);
        } else if (bytes > target->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(target->Buffer, chars, bytes);
        ULONG textBytes = bytes;
        if (textBytes >= sizeof(WCHAR) && chars[textBytes / sizeof(WCHAR) - 1] == 0) textBytes -= sizeof(WCHAR);
        target->Length = USHORT(textBytes);
        return STATUS_SUCCESS;
    }

    std::string image_;
    PVOID context_;
};

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE queryTable,
                                      PVOID context, PVOID)
{
    hk::internal::CheckIrql(hk::internal::Ddi::RtlQueryRegistryValues, __builtin_return_address(0));
    const std::string image = HK_CALLER_IMAGE();
    if (queryTable == nullptr) return STATUS_INVALID_PARAMETER;
    KeyPtr key;
    NTSTATUS status = OpenRelative(relativeTo, path, Open::Query, image, "RtlQueryRegistryValues", &key);
    if (!NT_SUCCESS(status)) return status;
    return Query(image, context).Run(key, queryTable);
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                                     PVOID valueData, ULONG valueLength)
{
    hk::internal::CheckIrql(hk::internal::Ddi::RtlWriteRegistryValue, __builtin_return_address(0));
    const std::string image = HK_CALLER_IMAGE();
    KeyPtr key;
    NTSTATUS status = OpenRelative(relativeTo, path, Open::Write, image, "RtlWriteRegistryValue", &key);
    if (!NT_SUCCESS(status)) return status;
    // The write's own status, as ZwSetValueKey gives it.
    if (hk::ShouldFail(hk::Service::RegistryWrite, image, hk::kRegistryWriteFailure)) return hk::kRegistryWriteFailure;
    if (valueData == nullptr && valueLength != 0) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> hold(Lock());
    SetValue(*key, NameOf(valueName), valueType, valueData, valueLength);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCheckRegistryKey(ULONG relativeTo, PWSTR path)
{
    hk::internal::CheckIrql(hk::internal::Ddi::RtlCheckRegistryKey, __builtin_return_address(0));
    const std::string image = HK_CALLER_IMAGE();
    KeyPtr key;
    return OpenRelative(relativeTo, path, Open::Query, image, "RtlCheckRegistryKey", &key);
}

}  // extern "C"
