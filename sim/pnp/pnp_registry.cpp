#include "pnp_registry.h"

namespace sim {

const char kServicesPath[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const char kEnumPath[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

namespace {

const ULONG kServiceKernelDriver = 1;
const ULONG kStartDemand = 3;
const ULONG kErrorNormal = 1;

void SetBytes(const std::string &key, const std::string &name, ULONG type, const std::vector<uint8_t> &data)
{
    hk::reg::SetValue(key, name, type, data.data(), data.size());
}

}  // namespace

std::vector<uint8_t> StringValue(const std::string &text)
{
    const std::u16string wide = hk::Wide(text);
    std::vector<uint8_t> bytes((wide.size() + 1) * 2, 0);
    for (size_t i = 0; i < wide.size(); ++i) {
        bytes[2 * i] = uint8_t(wide[i] & 0xFF);
        bytes[2 * i + 1] = uint8_t(wide[i] >> 8);
    }
    return bytes;
}

std::vector<uint8_t> MultiStringValue(const std::vector<std::string> &texts)
{
    std::vector<uint8_t> bytes;
    for (const std::string &text : texts) {
        const std::vector<uint8_t> one = StringValue(text);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    if (texts.empty()) bytes.insert(bytes.end(), {0, 0});  // an empty multi-string is two NULs
    return bytes;
}

std::string HardwareKeyPath(const std::string &instancePath)
{
    return std::string(kEnumPath) + "\\" + instancePath;
}

void WriteHardwareKey(const DeviceNode &node)
{
    const std::string key = HardwareKeyPath(node.instancePath);
    hk::reg::CreateKey(key);
    SetBytes(key, "HardwareID", REG_MULTI_SZ, MultiStringValue(node.hardwareIds));
    if (!node.compatibleIds.empty())
        SetBytes(key, "CompatibleIDs", REG_MULTI_SZ, MultiStringValue(node.compatibleIds));
    if (node.hasDescription) SetBytes(key, "DeviceDesc", REG_SZ, StringValue(node.description));
    if (node.hasLocation) SetBytes(key, "LocationInformation", REG_SZ, StringValue(node.location));
}

void WriteDriverValues(const DeviceNode &node)
{
    const std::string key = HardwareKeyPath(node.instancePath);
    SetBytes(key, "Service", REG_SZ, StringValue(node.functionService));
    if (!node.upperFilters.empty()) SetBytes(key, "UpperFilters", REG_MULTI_SZ, MultiStringValue(node.upperFilters));
    if (!node.lowerFilters.empty()) SetBytes(key, "LowerFilters", REG_MULTI_SZ, MultiStringValue(node.lowerFilters));
}

void WriteServiceKey(const std::string &service, bool hasImage)
{
    const std::string key = std::string(kServicesPath) + "\\" + service;
    hk::reg::CreateKey(key);
    hk::reg::SetDword(key, "Type", kServiceKernelDriver);
    hk::reg::SetDword(key, "Start", kStartDemand);
    hk::reg::SetDword(key, "ErrorControl", kErrorNormal);
    if (hasImage)
        SetBytes(key, "ImagePath", REG_EXPAND_SZ, StringValue("\\SystemRoot\\System32\\drivers\\" + service + ".sys"));
}

}  // namespace sim
