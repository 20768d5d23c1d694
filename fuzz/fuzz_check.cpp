#include "fuzz_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

void Fail(const std::string &why)
{
    std::fprintf(stderr, "fuzz finding: %s\n", why.c_str());
    std::abort();
}

void StartKernel(const decltype(hk::PnpHooks::getProperty) &answer)
{
    hk::ResetKernel();
    hk::PnpHooks hooks;
    hooks.getProperty = answer;
    hk::SetPnpHooks(hooks);
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

void ExpectKernelClean(const char *after, size_t poolBlocksKept)
{
    for (const hk::Violation &v : hk::Violations()) Fail(std::string(after) + ": " + v.name + " " + v.detail);
    const std::vector<hk::PoolBlock> pool = hk::LivePool();
    if (pool.size() != poolBlocksKept)
        Fail(std::string(after) + ": " + std::to_string(pool.size()) + " pool block(s) live, " +
             std::to_string(poolBlocksKept) + " expected");
    if (hk::reg::OpenHandleCount() != 0) Fail(std::string(after) + ": a registry handle left open");
    hk::ClearDiagnostics();
}

void Input::Bytes(void *to, size_t count)
{
    auto *bytes = static_cast<uint8_t *>(to);
    for (size_t i = 0; i < count; ++i) bytes[i] = Byte();
}

void Input::Descriptors(CM_PARTIAL_RESOURCE_DESCRIPTOR *to, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        uint8_t record[kDescriptorInputBytes];
        Bytes(record, sizeof record);
        std::memcpy(&to[i], record, sizeof to[i]);
    }
}

std::vector<uint8_t> Input::Rest()
{
    std::vector<uint8_t> rest(data_ + at_, data_ + size_);
    at_ = size_;
    return rest;
}

NTSTATUS AnswerProperty(const std::vector<uint8_t> &value, uint8_t fill, ULONG length, PVOID buffer,
                        PULONG resultLength)
{
    *resultLength = ULONG(value.size());
    if (length < value.size()) return STATUS_BUFFER_TOO_SMALL;
    if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
    std::memset(static_cast<uint8_t *>(buffer) + value.size(), fill, length - value.size());
    return STATUS_SUCCESS;
}

}  // namespace fuzz
