/*
 * Integer <-> counted string conversions with the kernel's rules: the text
 * must fit with its terminator, and parsing stops quietly at the first
 * character that is not a digit of the base.
 */
#include "irql_rules.h"

namespace {

constexpr NTSTATUS kStatusAccessViolation = NTSTATUS(0xC0000005L);

bool IsValidBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

int DigitValue(WCHAR c)
{
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return 99;
}

ULONG PrefixBase(WCHAR c)
{
    switch (c) {
    case L'x': return 16;
    case L'o': return 8;
    case L'b': return 2;
    default: return 0;
    }
}

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string)
{
    hk::internal::CheckIrql(hk::internal::Ddi::RtlIntegerToUnicodeString, __builtin_return_address(0));
    if (base == 0) base = 10;
    if (!IsValidBase(base)) return STATUS_INVALID_PARAMETER;

    WCHAR digits[33];
    USHORT count = 0;
    do {
        digits[count++] = L"0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0);

    // The text is produced with its terminator, so the digits alone filling
    // the buffer exactly is already too much.
    if ((count + 1) * sizeof(WCHAR) > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (USHORT i = 0; i < count; ++i) string->Buffer[i] = digits[count - 1 - i];
    string->Buffer[count] = 0;
    string->Length = USHORT(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value)
{
    hk::internal::CheckIrql(hk::internal::Ddi::RtlUnicodeStringToInteger, __builtin_return_address(0));
    const WCHAR *p = string->Buffer;
    size_t left = string->Length / sizeof(WCHAR);

    while (left > 0 && *p <= L' ') { ++p; --left; }
    bool negative = false;
    if (left > 0 && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        ++p;
        --left;
    }
    if (base == 0) {
        base = 10;
        if (left >= 2 && p[0] == L'0' && PrefixBase(p[1]) != 0) {
            base = PrefixBase(p[1]);
            p += 2;
            left -= 2;
        }
    } else if (!IsValidBase(base)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (value == nullptr) return kStatusAccessViolation;

    ULONG total = 0;
    for (; left > 0; ++p, --left) {
        int digit = DigitValue(*p);
        if (digit >= int(base)) break;
        total = total * base + ULONG(digit);
    }
    *value = negative ? ULONG(0) - total : total;
    return STATUS_SUCCESS;
}

}  // extern "C"
