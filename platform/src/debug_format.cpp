/*
 * The kernel's printf dialect, as DbgPrint renders it on x86 and x64: %ws,
 * %ls and %S take 16-bit strings, %hs and %s narrow ones, %wZ a
 * UNICODE_STRING, %I64 a 64-bit integer, %l a 32-bit one on both (Windows is
 * LLP64), %p a pointer's worth of upper-case hex digits (eight on x86,
 * sixteen on x64), and a NULL string prints "(null)". Each conversion is handed to the C library with its directive
 * rebuilt, so flags, width and precision behave as in any printf.
 */
#include <hk/host.h>

#include <cstdio>

namespace hk {
namespace {

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    enum { Default, Short, Long, LongLong, Wide } size = Default;
};

std::string Render(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Render(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char small[256];
    int n = vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    if (n < 0) return std::string();
    if (size_t(n) < sizeof(small)) return std::string(small, size_t(n));
    std::string out(size_t(n) + 1, '\0');
    va_start(args, format);
    vsnprintf(&out[0], out.size(), format, args);
    va_end(args);
    out.resize(size_t(n));
    return out;
}

std::string Prefix(const Spec &spec, bool withPrecision)
{
    std::string f = "%" + spec.flags;
    if (spec.width >= 0) f += std::to_string(spec.width);
    if (withPrecision && spec.precision >= 0) f += "." + std::to_string(spec.precision);
    return f;
}

// Text already converted to narrow, padded and cut as %s would.
std::string Text(const Spec &spec, const std::string &text)
{
    return Render((Prefix(spec, true) + "s").c_str(), text.c_str());
}

std::string WideText(const Spec &spec, const wchar_t *s, size_t chars = size_t(-1))
{
    if (s == nullptr) return Text(spec, "(null)");
    if (chars == size_t(-1)) {
        chars = 0;
        while (s[chars] != 0 && (spec.precision < 0 || chars < size_t(spec.precision))) ++chars;
    }
    return Text(spec, Narrow(s, chars));
}

}  // namespace

std::string FormatKernelString(const char *format, va_list args)
{
    std::string out;
    if (format == nullptr) return out;
    for (const char *p = format; *p != 0; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += '%';
            continue;
        }
        Spec spec;
        while (*p == '-' || *p == '+' || *p == '0' || *p == ' ' || *p == '#') spec.flags += *p++;
        if (*p == '*') {
            spec.width = va_arg(args, int);
            if (spec.width < 0) {
                spec.flags += '-';
                spec.width = -spec.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') spec.width = (spec.width < 0 ? 0 : spec.width * 10) + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            if (*p == '*') {
                spec.precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') spec.precision = spec.precision * 10 + (*p++ - '0');
            }
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            spec.size = Spec::LongLong;
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            spec.size = Spec::LongLong;
            p += 2;
        } else if (*p == 'l') {
            spec.size = Spec::Long;
            ++p;
        } else if (*p == 'h') {
            spec.size = Spec::Short;
            ++p;
        } else if (*p == 'w') {
            spec.size = Spec::Wide;
            ++p;
        }

        const char conv = *p;
        switch (conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            const bool isSigned = conv == 'd' || conv == 'i';
            std::string f = Prefix(spec, true);
            if (spec.size == Spec::LongLong) {
                long long v = va_arg(args, long long);
                out += Render((f + "ll" + conv).c_str(), v);
            } else {
                unsigned v = va_arg(args, unsigned);
                if (spec.size == Spec::Short) v = isSigned ? unsigned(int(short(v))) : unsigned(v & 0xFFFF);
                out += Render((f + conv).c_str(), v);
            }
            break;
        }
        case 'p': {
            void *v = va_arg(args, void *);
            out += Text(spec, Render("%0*llX", int(2 * sizeof(void *)),
                                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v))));
            break;
        }
        case 'c':
        case 'C': {
            unsigned v = va_arg(args, unsigned);
            const bool wide = conv == 'C' ? spec.size != Spec::Short : (spec.size == Spec::Long || spec.size == Spec::Wide);
            wchar_t w[2] = {wchar_t(wide ? (v & 0xFFFF) : (v & 0xFF)), 0};
            spec.precision = -1;
            out += WideText(spec, w);
            break;
        }
        case 's':
        case 'S': {
            const bool wide = conv == 'S' ? spec.size != Spec::Short : (spec.size == Spec::Long || spec.size == Spec::Wide);
            if (wide) {
                out += WideText(spec, va_arg(args, const wchar_t *));
            } else {
                const char *s = va_arg(args, const char *);
                out += Text(spec, s == nullptr ? "(null)" : s);
            }
            break;
        }
        case 'Z': {
            // %wZ: a UNICODE_STRING; %Z: a counted narrow string of the same shape.
            const void *v = va_arg(args, const void *);
            if (v == nullptr) {
                out += Text(spec, "(null)");
            } else if (spec.size == Spec::Wide) {
                auto *u = static_cast<const UNICODE_STRING *>(v);
                out += u->Buffer == nullptr ? Text(spec, "(null)") : WideText(spec, u->Buffer, u->Length / 2);
            } else {
                struct Counted {
                    USHORT Length, MaximumLength;
                    const char *Buffer;
                };
                auto *a = static_cast<const Counted *>(v);
                out += Text(spec, a->Buffer == nullptr ? "(null)" : std::string(a->Buffer, a->Length));
            }
            break;
        }
        case 'n':
            (void)va_arg(args, void *);  // never written: debug output must not store through arguments
            break;
        case '\0':
            return out;
        default:
            out += '%';
            out += conv;
            break;
        }
    }
    return out;
}

}  // namespace hk
