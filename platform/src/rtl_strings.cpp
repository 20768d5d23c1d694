/*
 * Counted Unicode strings as the kernel's Rtl routines treat them: lengths in
 * bytes, no terminator required, a NUL added only where the buffer has room.
 */
#include "irql_rules.h"

#include <cstring>

namespace {

constexpr ULONG kStringTag = 'GrtS';
constexpr USHORT kMaxCountedBytes = 0xFFFE;

USHORT Chars(const UNICODE_STRING *s) { return USHORT(s->Length / sizeof(WCHAR)); }

void TerminateIfRoom(PUNICODE_STRING s)
{
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[Chars(s)] = 0;
}

NTSTATUS Append(PUNICODE_STRING dest, const WCHAR *src, size_t bytes)
{
    if (bytes == 0) return STATUS_SUCCESS;
    if (dest->Length + bytes > dest->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char *>(dest->Buffer) + dest->Length, src, bytes);
    dest->Length = USHORT(dest->Length + bytes);
    TerminateIfRoom(dest);
    return STATUS_SUCCESS;
}

LONG Compare(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    USHORT na = Chars(a), nb = Chars(b);
    for (USHORT i = 0; i < na && i < nb; ++i) {
        WCHAR ca = a->Buffer[i], cb = b->Buffer[i];
        if (caseInsensitive) {
            ca = RtlUpcaseUnicodeChar(ca);
            cb = RtlUpcaseUnicodeChar(cb);
        }
        if (ca != cb) return LONG(ca) - LONG(cb);
    }
    return LONG(na) - LONG(nb);
}

NTSTATUS Upcase(PUNICODE_STRING dest, PCUNICODE_STRING src, BOOLEAN allocate, const void *caller)
{
    if (allocate) {
        // The copy belongs to the driver that asked for it; it frees it with
        // RtlFreeUnicodeString.
        PVOID buffer = hk::internal::AllocatePoolFor(hk::ImageOfAddress(caller), PagedPool, src->Length, kStringTag);
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        dest->Buffer = static_cast<PWSTR>(buffer);
        dest->MaximumLength = src->Length;
    } else if (src->Length > dest->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < Chars(src); ++i) dest->Buffer[i] = RtlUpcaseUnicodeChar(src->Buffer[i]);
    dest->Length = src->Length;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR c)
{
    if (c >= L'a' && c <= L'z') return WCHAR(c - 0x20);
    // Latin-1 lower case letters map 0x20 down, except the division sign
    // and y-diaeresis, whose capital lives in Latin Extended-A.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return WCHAR(c - 0x20);
    if (c == 0xFF) return WCHAR(0x178);
    return c;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR src)
{
    dest->Buffer = const_cast<PWSTR>(src);
    dest->Length = dest->MaximumLength = 0;
    if (src == nullptr) return;
    size_t bytes = 0;
    while (src[bytes / sizeof(WCHAR)] != 0) bytes += sizeof(WCHAR);
    if (bytes > kMaxCountedBytes - sizeof(WCHAR)) bytes = kMaxCountedBytes - sizeof(WCHAR);
    dest->Length = USHORT(bytes);
    dest->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING src)
{
    if (src == nullptr) {
        dest->Length = 0;
        return;
    }
    USHORT bytes = src->Length <= dest->MaximumLength ? src->Length : dest->MaximumLength;
    memmove(dest->Buffer, src->Buffer, bytes);
    dest->Length = bytes;
    TerminateIfRoom(dest);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING dest, PCWSTR src)
{
    if (src == nullptr) return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, src);
    return Append(dest, s.Buffer, s.Length);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING dest, PCUNICODE_STRING src)
{
    return Append(dest, src->Buffer, src->Length);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    hk::internal::CheckIrql(hk::internal::Ddi::RtlCompareUnicodeString, __builtin_return_address(0));
    return Compare(a, b, caseInsensitive);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    hk::internal::CheckIrql(hk::internal::Ddi::RtlEqualUnicodeString, __builtin_return_address(0));
    if (a->Length != b->Length) return FALSE;
    return Compare(a, b, caseInsensitive) == 0;
}

NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING src, BOOLEAN allocate)
{
    hk::internal::CheckIrql(hk::internal::Ddi::RtlUpcaseUnicodeString, __builtin_return_address(0));
    return Upcase(dest, src, allocate, __builtin_return_address(0));
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING s)
{
    if (s->Buffer != nullptr) ExFreePool(s->Buffer);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

SIZE_T NTAPI hk_RtlCompareMemory(const VOID *a, const VOID *b, SIZE_T length)
{
    const UCHAR *pa = static_cast<const UCHAR *>(a), *pb = static_cast<const UCHAR *>(b);
    SIZE_T same = 0;
    while (same < length && pa[same] == pb[same]) ++same;
    return same;
}

}  // extern "C"
