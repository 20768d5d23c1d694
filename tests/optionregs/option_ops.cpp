#include "option_ops.h"

#include <cstdio>

namespace optiontest {
namespace {

constexpr ULONG kLcr = 3, kMode = 4, kOption = 7;

struct Access {
    ULONG offset;
    bool write;
    ULONG value;
};

std::string Hex(ULONG value)
{
    char text[8];
    snprintf(text, sizeof(text), "%02X", unsigned(value));
    return text;
}

std::string Unexpected(const Access &a)
{
    return "? " + std::string(a.write ? "out(+" : "in(+") + std::to_string(a.offset) + ") " + Hex(a.value);
}

class Decoder {
public:
    Decoder(ULONG base, const std::string &image)
    {
        for (const hk::IoAccess &a : hk::IoLog()) {
            const bool inBlock = a.port >= base && a.port - base < 8;
            if (image.empty() || (a.image == image && inBlock)) log_.push_back({a.port - base, a.write, a.value});
        }
    }

    std::vector<std::string> Run()
    {
        std::vector<std::string> ops;
        size_t i = 0;
        while (i < log_.size()) {
            std::string op;
            size_t used = Sequence(i, &op);
            if (used == 0) {
                ops.push_back(Unexpected(log_[i]));
                ++i;
            } else {
                ops.push_back(op);
                i += used;
            }
        }
        return ops;
    }

private:
    bool Is(size_t k, ULONG offset, bool write, long value = -1) const
    {
        return k < log_.size() && log_[k].offset == offset && log_[k].write == write &&
               (value < 0 || log_[k].value == ULONG(value));
    }
    ULONG V(size_t k) const { return log_[k].value; }

    // The number of accesses of the sequence starting at |i|, 0 if none.
    size_t Sequence(size_t i, std::string *op) const
    {
        if (!Is(i, kLcr, false)) return 0;
        const ULONG saved = V(i);
        if (Is(i + 1, kLcr, true, 0xBF) && Is(i + 2, kOption, false)) {
            const ULONG option = V(i + 2);
            if (Is(i + 3, kLcr, true, saved)) {
                *op = "RO=" + Hex(option);
                return 4;
            }
            if (Is(i + 3, kOption, true, option | 0x10) && Is(i + 5, kOption, true, option) &&
                Is(i + 6, kLcr, true, saved)) {
                if (Is(i + 4, kMode, false)) {
                    *op = "RM=" + Hex(V(i + 4));
                    return 7;
                }
                if (Is(i + 4, kMode, true)) {
                    *op = "WM " + Hex(V(i + 4));
                    return 7;
                }
            }
            if (Is(i + 3, kOption, true) && Is(i + 4, kLcr, true, saved)) {
                *op = "WO " + Hex(V(i + 3));
                return 5;
            }
            return 0;
        }
        if (Is(i + 1, kLcr, true, saved | 0x80) && Is(i + 2, kOption, false) && Is(i + 3, kOption, true) &&
            (V(i + 3) & 0xFC) == (V(i + 2) & 0xFC) && Is(i + 4, kLcr, true, saved)) {
            *op = "SET " + std::to_string(V(i + 3) & 0x03);
            return 5;
        }
        return 0;
    }

    std::vector<Access> log_;
};

}  // namespace

std::vector<std::string> OptionOps(ULONG uartBase, const std::string &image)
{
    return Decoder(uartBase, image).Run();
}

std::vector<std::string> GenuineSignature(unsigned char original)
{
    const ULONG o = original & 0x3F;
    return {"RO=" + Hex(o),        "WO " + Hex(o),        "RO=" + Hex(o),        "WO " + Hex(o | 0x40),
            "RO=" + Hex(o | 0x40), "WO " + Hex(o | 0x80), "RO=" + Hex(o | 0x40), "WO " + Hex(o | 0xC0),
            "RO=" + Hex(o | 0x80), "WO " + Hex(o)};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace optiontest
