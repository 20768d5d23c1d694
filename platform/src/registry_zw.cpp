/*
 * The Zw registry services on kernel handles. Calls from kernel mode are not
 * access-checked, so the access a handle was opened with is not kept.
 */
#include "irql_rules.h"
#include "registry_tree.h"

#include <cstring>

namespace {

using namespace hk::internal::registry;

constexpr ULONG kFullFixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG kPartialFixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
constexpr ULONG kBasicFixed = 3 * sizeof(ULONG);  // TitleIndex, Type, NameLength, then the name

ULONG AlignUlong(ULONG offset) { return (offset + sizeof(ULONG) - 1) & ~ULONG(sizeof(ULONG) - 1); }

std::recursive_mutex &Lock() { return hk::internal::BookkeepingLock(); }

NTSTATUS BadHandle(const std::string &image, const char *call, HANDLE handle)
{
    char detail[96];
    snprintf(detail, sizeof(detail), "%s(%p): not an open registry handle", call, handle);
    hk::ReportViolation("REGISTRY_BAD_HANDLE", image, detail);
    return STATUS_INVALID_HANDLE;
}

void PutUlong(UCHAR *out, ULONG offset, ULONG value) { memcpy(out + offset, &value, sizeof(value)); }

void PutPart(UCHAR *out, ULONG length, ULONG offset, const void *data, ULONG size)
{
    // An empty value has no data to copy (and no storage to point at).
    if (offset >= length || size == 0) return;
    memcpy(out + offset, data, size < length - offset ? size : length - offset);
}

// Lays out one value as the information class asks. A buffer that holds the
// fixed part but not everything gets the fixed part and whatever of the name
// and the data fits (STATUS_BUFFER_OVERFLOW: "partial data written", DDI
// zwqueryvaluekey; ReactOS config/cmvalche.c CmpQueryKeyValueData copies
// the part that fits); one that cannot hold the fixed part gets nothing
// (STATUS_BUFFER_TOO_SMALL). Either way the needed size is returned.
NTSTATUS Describe(KEY_VALUE_INFORMATION_CLASS infoClass, const std::string &name, const hk::reg::Value &value,
                  UCHAR *out, ULONG length, PULONG resultLength)
{
    const std::u16string wideName = hk::Wide(name);
    const ULONG nameLength = ULONG(wideName.size() * sizeof(char16_t));
    const ULONG dataLength = ULONG(value.data.size());

    ULONG fixed = 0, needed = 0, dataOffset = 0;
    switch (infoClass) {
    case KeyValueBasicInformation:
        fixed = kBasicFixed;
        needed = fixed + nameLength;
        break;
    case KeyValueFullInformation:
        fixed = kFullFixed;
        dataOffset = AlignUlong(fixed + nameLength);
        needed = dataOffset + dataLength;
        break;
    case KeyValuePartialInformation:
        fixed = kPartialFixed;
        dataOffset = fixed;
        needed = fixed + dataLength;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *resultLength = needed;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;

    PutUlong(out, 0, 0);  // TitleIndex
    PutUlong(out, 4, value.type);
    switch (infoClass) {
    case KeyValueBasicInformation:
        PutUlong(out, 8, nameLength);
        PutPart(out, length, fixed, wideName.data(), nameLength);
        break;
    case KeyValueFullInformation:
        PutUlong(out, 8, dataOffset);
        PutUlong(out, 12, dataLength);
        PutUlong(out, 16, nameLength);
        PutPart(out, length, fixed, wideName.data(), nameLength);
        PutPart(out, length, dataOffset, value.data.data(), dataLength);
        break;
    default:
        PutUlong(out, 8, dataLength);
        PutPart(out, length, dataOffset, value.data.data(), dataLength);
        break;
    }
    return length >= needed ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES attributes)
{
    hk::internal::CheckIrql(hk::internal::Ddi::ZwOpenKey, __builtin_return_address(0));
    const std::string image = HK_CALLER_IMAGE();
    if (keyHandle == nullptr || attributes == nullptr) return STATUS_INVALID_PARAMETER;
    // DDI zwopenkey: a key that is not there.
    if (hk::ShouldFail(hk::Service::RegistryOpen, image, STATUS_OBJECT_NAME_NOT_FOUND))
        return STATUS_OBJECT_NAME_NOT_FOUND;

    const std::string path = NameOf(attributes->ObjectName);
    std::unique_lock<std::recursive_mutex> hold(Lock());
    KeyPtr base;
    if (attributes->RootDirectory != nullptr) {
        base = KeyOfHandle(attributes->RootDirectory);
        if (base == nullptr) {
            hold.unlock();
            return BadHandle(image, "ZwOpenKey", attributes->RootDirectory);
        }
        if (!path.empty() && path[0] == '\\') return STATUS_OBJECT_PATH_NOT_FOUND;
    } else if (path.empty() || path[0] != '\\') {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    KeyPtr key = Find(base, path);
    if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    *keyHandle = OpenHandle(key, image);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                               PVOID information, ULONG length, PULONG resultLength)
{
    hk::internal::CheckIrql(hk::internal::Ddi::ZwQueryValueKey, __builtin_return_address(0));
    const std::string image = HK_CALLER_IMAGE();
    std::unique_lock<std::recursive_mutex> hold(Lock());
    KeyPtr key = KeyOfHandle(keyHandle);
    if (key == nullptr) {
        hold.unlock();
        return BadHandle(image, "ZwQueryValueKey", keyHandle);
    }
    hold.unlock();
    // DDI zwqueryvaluekey: "the registry value was not available".
    if (hk::ShouldFail(hk::Service::RegistryRead, image, STATUS_OBJECT_NAME_NOT_FOUND))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (resultLength == nullptr) return STATUS_INVALID_PARAMETER;

    hold.lock();
    const std::string name = NameOf(valueName);
    hk::reg::Value *value = FindValue(*key, name);
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (information == nullptr && length != 0) return STATUS_INVALID_PARAMETER;
    return Describe(infoClass, name, *value, static_cast<UCHAR *>(information), length, resultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG, ULONG type, PVOID data,
                             ULONG dataSize)
{
    hk::internal::CheckIrql(hk::internal::Ddi::ZwSetValueKey, __builtin_return_address(0));
    const std::string image = HK_CALLER_IMAGE();
    std::unique_lock<std::recursive_mutex> hold(Lock());
    KeyPtr key = KeyOfHandle(keyHandle);
    if (key == nullptr) {
        hold.unlock();
        return BadHandle(image, "ZwSetValueKey", keyHandle);
    }
    hold.unlock();
    if (hk::ShouldFail(hk::Service::RegistryWrite, image, hk::kRegistryWriteFailure)) return hk::kRegistryWriteFailure;
    if (data == nullptr && dataSize != 0) return STATUS_INVALID_PARAMETER;

    hold.lock();
    SetValue(*key, NameOf(valueName), type, data, dataSize);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE handle)
{
    hk::internal::CheckIrql(hk::internal::Ddi::ZwClose, __builtin_return_address(0));
    const std::string image = HK_CALLER_IMAGE();
    bool closed;
    {
        std::lock_guard<std::recursive_mutex> hold(Lock());
        closed = CloseHandle(handle);
    }
    return closed ? STATUS_SUCCESS : BadHandle(image, "ZwClose", handle);
}

}  // extern "C"
