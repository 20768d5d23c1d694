/*
 * The kernel's wide-character routines. Driver images reach these through
 * the distinct link names that wdm.h gives wcslen and friends, so a driver's
 * wcslen counts 16-bit characters as on Windows and never binds to glibc's.
 * Case mapping is that of the "C" locale, as in the kernel's runtime.
 */
#include <wdm.h>

namespace {

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? wchar_t(c - (L'a' - L'A')) : c; }
wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c + (L'a' - L'A')) : c; }

}  // namespace

extern "C" {

size_t hk_wcslen(const wchar_t *s)
{
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

wchar_t *hk_wcscpy(wchar_t *d, const wchar_t *s)
{
    wchar_t *out = d;
    while ((*d++ = *s++) != 0) {}
    return out;
}

wchar_t *hk_wcsncpy(wchar_t *d, const wchar_t *s, size_t n)
{
    size_t i = 0;
    for (; i < n && s[i] != 0; ++i) d[i] = s[i];
    for (; i < n; ++i) d[i] = 0;
    return d;
}

wchar_t *hk_wcscat(wchar_t *d, const wchar_t *s)
{
    hk_wcscpy(d + hk_wcslen(d), s);
    return d;
}

int hk_wcsncmp(const wchar_t *a, const wchar_t *b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        unsigned short ca = (unsigned short)a[i], cb = (unsigned short)b[i];
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) break;
    }
    return 0;
}

int hk_wcscmp(const wchar_t *a, const wchar_t *b) { return hk_wcsncmp(a, b, size_t(-1)); }

wchar_t *hk_wcschr(const wchar_t *s, wchar_t c)
{
    for (;; ++s) {
        if (*s == c) return const_cast<wchar_t *>(s);
        if (*s == 0) return nullptr;
    }
}

wchar_t *hk_wcsstr(const wchar_t *s, const wchar_t *find)
{
    size_t n = hk_wcslen(find);
    if (n == 0) return const_cast<wchar_t *>(s);
    for (; *s != 0; ++s) {
        if (hk_wcsncmp(s, find, n) == 0) return const_cast<wchar_t *>(s);
    }
    return nullptr;
}

wchar_t *hk_wcsupr(wchar_t *s)
{
    for (wchar_t *p = s; *p != 0; ++p) *p = UpperAscii(*p);
    return s;
}

int hk_wcsicmp(const wchar_t *a, const wchar_t *b)
{
    for (;; ++a, ++b) {
        unsigned short ca = (unsigned short)LowerAscii(*a), cb = (unsigned short)LowerAscii(*b);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

}  // extern "C"
