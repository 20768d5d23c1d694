/*
 * Conversions between the kernel's 16-bit strings and the host's narrow
 * strings. wchar_t is 16 bits in this build, so the C library's wide
 * routines (which count 32-bit units) must never touch kernel strings.
 */
#include <hk/host.h>

namespace hk {
namespace {

size_t Length16(const wchar_t *wide)
{
    size_t n = 0;
    while (wide[n] != 0) ++n;
    return n;
}

void AppendUtf8(std::string &out, char16_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::u16string Wide(const std::string &ascii)
{
    std::u16string out;
    out.reserve(ascii.size());
    for (unsigned char c : ascii) out += char16_t(c);
    return out;
}

std::u16string WideOf(const wchar_t *wide, size_t chars)
{
    if (wide == nullptr) return std::u16string();
    if (chars == size_t(-1)) chars = Length16(wide);
    return std::u16string(reinterpret_cast<const char16_t *>(wide), chars);
}

std::string Narrow(const std::u16string &wide)
{
    std::string out;
    out.reserve(wide.size());
    for (char16_t c : wide) AppendUtf8(out, c);
    return out;
}

std::string Narrow(const wchar_t *wide, size_t chars)
{
    return Narrow(WideOf(wide, chars));
}

std::vector<std::string> NarrowMulti(const wchar_t *multi)
{
    std::vector<std::string> out;
    if (multi == nullptr) return out;
    while (*multi != 0) {
        size_t n = Length16(multi);
        out.push_back(Narrow(multi, n));
        multi += n + 1;
    }
    return out;
}

}  // namespace hk
