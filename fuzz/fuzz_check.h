/*
 * What every fuzz target checks after each input, and how it reports a
 * finding: the reason on stderr, then abort(), so that libFuzzer keeps the
 * input as a crash.
 */
#pragma once

#include <hk/host.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

[[noreturn]] void Fail(const std::string &why);

// A fresh kernel whose device properties |answer| serves (none if null).
void StartKernel(const decltype(hk::PnpHooks::getProperty) &answer = nullptr);

#define FUZZ_CHECK(condition, why)                                            \
    do {                                                                      \
        if (!(condition)) ::fuzz::Fail(std::string(#condition) + ": " + (why)); \
    } while (0)

// No verifier finding and no pool block (beyond the |poolBlocksKept| that
// the target holds across inputs) or registry handle left over; then the
// debugger output of the run is forgotten (it would grow without end).
void ExpectKernelClean(const char *after, size_t poolBlocksKept = 0);

std::string Hex(uint64_t value);

// Each partial descriptor of a START list takes this many input bytes on
// either target, x64's descriptor size. They are the descriptor's bytes in
// order; x86's 16-byte descriptor takes the first 16 and leaves the rest,
// which on x64 are the upper half of an interrupt's affinity. So one corpus
// means the same lists on both targets.
constexpr size_t kDescriptorInputBytes = 20;
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) <= kDescriptorInputBytes, "a descriptor fits its input");

// Reads the input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    void Bytes(void *to, size_t count);
    void Descriptors(CM_PARTIAL_RESOURCE_DESCRIPTOR *to, size_t count);
    std::vector<uint8_t> Rest();
    size_t Left() const { return size_ - at_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// A property read as the Plug and Play manager answers it: the value, or
// STATUS_BUFFER_TOO_SMALL with the size it needs. What the buffer holds
// beyond the value is |fill|, so that a reader that looks past what it was
// given sees something else in every run.
NTSTATUS AnswerProperty(const std::vector<uint8_t> &value, uint8_t fill, ULONG length, PVOID buffer,
                        PULONG resultLength);

}  // namespace fuzz
