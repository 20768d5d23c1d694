#include "pnp_ids.h"

#include <cstdio>

namespace sim {

namespace {

// MAX_DEVICE_ID_LEN (cfgmgr32.h): every device, instance, hardware and
// compatible ID ends within 200 characters, its NUL included (MSD
// install/instance-ids.md, kernel/irp-mn-query-id.md).
constexpr size_t kMaxIdChars = 200;

const char *const kParametersPath = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";

// Where the pages disagree, the looser rule holds: the bug check page allows
// 0x20-0x2B and 0x2D-0x7F, the IRP_MN_QUERY_ID page also forbids the space.
// A space passes and is rewritten to '_' in place, as ReactOS
// (ntoskrnl/io/pnpmgr/devaction.c IopValidateID) does; a comma or a control
// or non-ASCII character is refused (MSD debugger/bug-check-0xca--pnp-
// detected-fatal-error.md, parameter 1 = 0x3).
bool CharacterAllowed(WCHAR c) { return c >= 0x20 && c <= 0x7F && c != L','; }

// One ID of |type| at |id|: its length in characters, or -1 when Windows
// refuses it. Backslashes: a device ID is "<enumerator>\<device>", exactly
// one (install/device-ids.md); an instance ID has none (install/instance-
// ids.md); hardware and compatible IDs are not held to a count here (older
// ReactOS revisions accept any, the pages give the usual form only).
long CheckOne(PWSTR id, BUS_QUERY_ID_TYPE type)
{
    size_t backslashes = 0;
    for (size_t i = 0; i < kMaxIdChars; ++i) {
        const WCHAR c = id[i];
        if (c == 0) {
            if (type == BusQueryDeviceID && backslashes != 1) return -1;
            if (type == BusQueryInstanceID && backslashes != 0) return -1;
            return long(i);
        }
        if (!CharacterAllowed(c)) return -1;
        if (c == L' ') id[i] = L'_';
        if (c == L'\\') ++backslashes;
    }
    return -1;  // not terminated within MAX_DEVICE_ID_LEN
}

ULONG IdTypeParameter(BUS_QUERY_ID_TYPE type)
{
    switch (type) {
    case BusQueryDeviceID: return 1;
    case BusQueryInstanceID: return 2;
    case BusQueryHardwareIDs: return 3;
    case BusQueryCompatibleIDs: return 4;
    default: return 0;
    }
}

ULONG Crc32(const uint8_t *bytes, size_t length)
{
    // RtlComputeCrc32(0, ...): the reflected IEEE polynomial.
    ULONG crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

}  // namespace

void ValidateIdAnswer(PDEVICE_OBJECT pdo, PWSTR answer, BUS_QUERY_ID_TYPE type)
{
    const bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    PWSTR id = answer;
    do {
        const long length = CheckOne(id, type);
        if (length < 0) {
            size_t shown = 0;
            while (shown < kMaxIdChars && id[shown] != 0) ++shown;
            hk::BugCheckEx(0xCA, 0x3, reinterpret_cast<ULONG_PTR>(pdo), reinterpret_cast<ULONG_PTR>(answer),
                           IdTypeParameter(type),
                           "PNP_DETECTED_FATAL_ERROR: the bus driver answered an invalid ID \"" +
                               hk::Narrow(id, shown) + "\"");
        }
        id += length + 1;
    } while (multi && *id != 0);
}

std::string ParentIdPrefix(const std::string &parentInstancePath, unsigned parentLevel)
{
    const std::string key = kParametersPath + parentInstancePath;
    hk::reg::Value stored;
    if (hk::reg::GetValue(key, "ParentIdPrefix", &stored) && stored.type == REG_SZ && stored.data.size() >= 2)
        return hk::Narrow(reinterpret_cast<const wchar_t *>(stored.data.data()), stored.data.size() / 2 - 1);

    // The CRC runs over the path as Windows keeps it, UTF-16.
    const std::u16string wide = hk::Wide(parentInstancePath);
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "%x&%lx", parentLevel,
                  static_cast<unsigned long>(
                      Crc32(reinterpret_cast<const uint8_t *>(wide.data()), wide.size() * sizeof(char16_t))));
    hk::reg::SetString(key, "ParentIdPrefix", prefix);
    return prefix;
}

std::string InstancePathOf(const std::string &deviceId, const std::string &prefix, const std::string &instanceId)
{
    std::string path = deviceId + "\\" + prefix;
    if (!prefix.empty() && !instanceId.empty()) path += "&";
    return path + instanceId;
}

}  // namespace sim
