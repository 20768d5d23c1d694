#pragma once

#include <hk/host.h>

#include <string>
#include <vector>

// A kernel path and counted strings over host-owned 16-bit text.
constexpr const char *kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mpsfilt";

struct KernelString {
    explicit KernelString(const std::string &text) : wide(hk::Wide(text))
    {
        us.Buffer = reinterpret_cast<PWSTR>(&wide[0]);
        us.Length = USHORT(wide.size() * 2);
        us.MaximumLength = USHORT(us.Length + 2);
    }
    KernelString(const KernelString &) = delete;
    PCWSTR c_str() const { return reinterpret_cast<PCWSTR>(wide.c_str()); }
    std::u16string wide;
    UNICODE_STRING us;
};

inline HANDLE OpenKey(const std::string &path, NTSTATUS *status = nullptr, HANDLE root = nullptr)
{
    KernelString name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE h = nullptr;
    NTSTATUS s = ZwOpenKey(&h, KEY_READ, &oa);
    if (status != nullptr) *status = s;
    return h;
}
