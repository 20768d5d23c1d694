#include "support/kernel_test.h"

#include <sstream>

namespace hk::test {

void KernelTest::SetUp()
{
    ResetKernel();
    consumed_.clear();
}

size_t KernelTest::ExpectViolation(const std::string &name)
{
    const std::vector<Violation> recorded = Violations();
    consumed_.resize(recorded.size(), false);
    size_t count = 0;
    for (size_t i = 0; i < recorded.size(); ++i) {
        if (!consumed_[i] && recorded[i].name == name) {
            consumed_[i] = true;
            ++count;
        }
    }
    return count;
}

void KernelTest::TearDown()
{
    for (const std::string &service : LoadedDrivers()) {
        PDRIVER_OBJECT driver = DriverOf(service);
        if (driver != nullptr && driver->DeviceObject == nullptr) UnloadDriver(service);
    }
    // Every block left, whoever owns it: a list one driver hands another (or
    // the PnP manager hands a driver) is the receiver's to free, and a
    // receiver that drops it leaks a block it never allocated.
    ReportLeaks(std::string(), "at the end of the test");
    ReportLiveMappings("at the end of the test");
    CheckFreedMemory();
    reg::ReportOpenHandles("at the end of the test");

    const std::vector<Violation> recorded = Violations();
    consumed_.resize(recorded.size(), false);
    std::ostringstream unexpected;
    size_t count = 0;
    for (size_t i = 0; i < recorded.size(); ++i) {
        if (consumed_[i]) continue;
        unexpected << "\n  " << recorded[i].name << " by " << recorded[i].image << ": " << recorded[i].detail;
        ++count;
    }
    if (count != 0) ADD_FAILURE() << count << " unexpected verifier violation(s):" << unexpected.str();
}

std::string AsciiOf(const wchar_t *wide)
{
    std::string text;
    for (; wide != nullptr && *wide != 0; ++wide) text += char(*wide);
    return text;
}

NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &fill,
                 ULONG_PTR *information)
{
    return SendIrpSync(device, IRP_MJ_PNP, minor, fill, information, STATUS_NOT_SUPPORTED);
}

NTSTATUS StartDevice(PDEVICE_OBJECT device, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated)
{
    return SendPnp(device, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.StartDevice.AllocatedResources = raw;
        stack->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
    });
}

NTSTATUS QueryId(PDEVICE_OBJECT device, BUS_QUERY_ID_TYPE type, std::vector<std::string> *strings)
{
    strings->clear();
    ULONG_PTR information = 0;
    const NTSTATUS status = SendPnp(
        device, IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; },
        &information);
    auto *answer = reinterpret_cast<const wchar_t *>(information);
    if (!NT_SUCCESS(status) || answer == nullptr) return status;
    const bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    const wchar_t *at = answer;
    do {
        strings->push_back(AsciiOf(at));
        at += strings->back().size() + 1;
    } while (multi && *at != 0);
    ExFreePool(const_cast<wchar_t *>(answer));
    return status;
}

NTSTATUS QueryText(PDEVICE_OBJECT device, DEVICE_TEXT_TYPE type, std::string *text)
{
    text->clear();
    ULONG_PTR information = 0;
    const NTSTATUS status = SendPnp(
        device, IRP_MN_QUERY_DEVICE_TEXT,
        [&](PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryDeviceText.DeviceTextType = type;
            stack->Parameters.QueryDeviceText.LocaleId = 0x409;
        },
        &information);
    auto *answer = reinterpret_cast<wchar_t *>(information);
    if (NT_SUCCESS(status) && answer != nullptr) {
        *text = AsciiOf(answer);
        ExFreePool(answer);
    }
    return status;
}

NTSTATUS QueryRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type, std::vector<PDEVICE_OBJECT> *objects)
{
    objects->clear();
    ULONG_PTR information = 0;
    const NTSTATUS status = SendPnp(
        device, IRP_MN_QUERY_DEVICE_RELATIONS,
        [&](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = type; }, &information);
    auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (NT_SUCCESS(status) && relations != nullptr) {
        for (ULONG i = 0; i < relations->Count; ++i) {
            objects->push_back(relations->Objects[i]);
            ObDereferenceObject(relations->Objects[i]);
        }
        ExFreePool(relations);
    }
    return status;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES *capabilities)
{
    *capabilities = DEVICE_CAPABILITIES{};
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = ULONG(-1);
    capabilities->UINumber = ULONG(-1);
    return SendPnp(device, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
    });
}

NTSTATUS SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state)
{
    return SendIrpSync(
        device, IRP_MJ_POWER, minor,
        [&](PIO_STACK_LOCATION stack) {
            stack->Parameters.Power.Type = type;
            stack->Parameters.Power.State = state;
            stack->Parameters.Power.ShutdownType = PowerActionNone;
        },
        nullptr, STATUS_NOT_SUPPORTED);
}

}  // namespace hk::test
