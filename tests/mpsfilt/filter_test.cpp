#include "filter_test.h"

#include <algorithm>
#include <cstring>
#include <regex>

namespace filtertest {

const char kFilterParameters[] =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VelmoraMultiportSerial\\Parameters";
const char kFilterServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mpsfilt";
const char FilterTest::kInstancePath[] = "VelmoraMultiportSerial\\PB8-A_1\\PORT_3";

void FilterTest::SetUp()
{
    KernelTest::SetUp();
    sim::ResetSerialRecords();

    sim::BoardHardwareConfig config;
    config.ports = 8;
    config.ioBase = kIoBase;
    board = std::make_unique<sim::BoardHardware>(config);
    board->Plug();

    hk::PnpHooks hooks;
    hooks.getProperty = [this](PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                               PVOID buffer, PULONG resultLength) {
        if (device != pdo) return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
        if (property != DevicePropertyLocationInformation) return STATUS_OBJECT_NAME_NOT_FOUND;
        return ReadLocation(length, buffer, resultLength);
    };
    hooks.instancePath = [this](PDEVICE_OBJECT device) {
        return device == pdo ? std::string(kInstancePath) : std::string();
    };
    hk::SetPnpHooks(hooks);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ASSERT_NE(hk::LoadBuiltinDriver(kPortBusService, PortBusEntry, &status), nullptr);
    ASSERT_EQ(status, STATUS_SUCCESS);
    pdo = CreatePortDevice(&port);
    ASSERT_NE(pdo, nullptr);

    FreshScript();
    // What the PnP manager assigned the port itself.
    managerRaw = std::make_unique<ResourceList>(std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>{InterruptDescriptor(9, 9)});
    managerTranslated = std::make_unique<ResourceList>(std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>{InterruptDescriptor(9, 0x39)});
}

void FilterTest::TearDown()
{
    if (port.completer.joinable()) port.completer.join();
    if (pdo != nullptr && pdo->AttachedDevice != nullptr) Remove();
    if (pdo != nullptr) IoDeleteDevice(pdo);
    UnloadFilter();
    hk::UnloadBuiltinDriver(sim::kSerialService);
    hk::UnloadBuiltinDriver(kPortBusService);
    board.reset();
    KernelTest::TearDown();
}

void FilterTest::FreshScript()
{
    script = PortScript{};
    // The board's lists: the UART range, the status register as a port of
    // its own, the shared interrupt.
    script.raw = {PortDescriptor(kIoBase, kRangeLength), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};
    script.translated = {PortDescriptor(kIoBase, kRangeLength), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 0x35)};
}

NTSTATUS FilterTest::ReadLocation(ULONG length, PVOID buffer, PULONG resultLength)
{
    locationReads.push_back(length);
    if (!NT_SUCCESS(locationStatus)) return locationStatus;
    const ULONG bytes = ULONG((location.size() + (locationUnterminated ? 0 : 1)) * sizeof(char16_t));
    if (locationSizeLies) {
        *resultLength = length;
        return STATUS_BUFFER_TOO_SMALL;
    }
    *resultLength = bytes;
    if (length < bytes) return STATUS_BUFFER_TOO_SMALL;
    // The rest of the caller's buffer holds digits, to find a reader that
    // goes past what the property returned.
    std::fill_n(static_cast<char16_t *>(buffer), length / sizeof(char16_t), u'5');
    std::memcpy(buffer, location.c_str(), bytes);
    return STATUS_SUCCESS;
}

NTSTATUS FilterTest::LoadFilter()
{
    hk::LoadedDriver loaded = hk::LoadDriver("mpsfilt");
    driver = loaded.driver;
    return loaded.entryStatus;
}

NTSTATUS FilterTest::AddFilter(bool withSerial)
{
    if (driver == nullptr) {
        NTSTATUS status = LoadFilter();
        if (!NT_SUCCESS(status)) return status;
    }
    if (withSerial && serial == nullptr) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDRIVER_OBJECT serialDriver = hk::DriverOf(sim::kSerialService);
        if (serialDriver == nullptr) serialDriver = hk::LoadBuiltinDriver(sim::kSerialService, sim::SerialDriverEntry, &status);
        if (serialDriver == nullptr) return status;
        status = serialDriver->DriverExtension->AddDevice(serialDriver, pdo);
        if (!NT_SUCCESS(status)) return status;
        serial = pdo->AttachedDevice;
    }
    PDEVICE_OBJECT below = serial != nullptr ? serial : pdo;
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
    filter = NT_SUCCESS(status) ? below->AttachedDevice : nullptr;
    return status;
}

NTSTATUS FilterTest::Start()
{
    return hk::test::StartDevice(filter, managerRaw->get(), managerTranslated->get());
}

NTSTATUS FilterTest::FilterRequirements(PIO_RESOURCE_REQUIREMENTS_LIST offered, ULONG_PTR *information)
{
    hk::Request request;
    request.minor = IRP_MN_FILTER_RESOURCE_REQUIREMENTS;
    request.initialInformation = reinterpret_cast<ULONG_PTR>(offered);
    request.fill = [offered](PIO_STACK_LOCATION stack) {
        stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = offered;
    };
    const hk::RequestResult result = hk::SendRequest(filter, request);
    *information = result.information;
    return result.status;
}

void FilterTest::Remove()
{
    PDEVICE_OBJECT top = pdo->AttachedDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    EXPECT_EQ(hk::test::SendPnp(top, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    filter = serial = nullptr;
}

void FilterTest::UnloadFilter()
{
    if (hk::DriverOf("mpsfilt") != nullptr) hk::UnloadDriver("mpsfilt");
    driver = nullptr;
}

void FilterTest::SetDebugLevel(ULONG level) { hk::reg::SetDword(kFilterParameters, "DebugLevel", level); }

void FilterTest::SetPortIndex(ULONG index)
{
    hk::reg::SetDword(hk::DeviceParametersPath(kInstancePath), "PortIndex", index);
}

long FilterTest::LastAllocCount(const std::string &trace)
{
    static const std::regex count("gExAllocCount = (-?[0-9]+)\n");
    long last = -1000;
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), count); it != std::sregex_iterator(); ++it)
        last = std::stol((*it)[1]);
    return last;
}

}  // namespace filtertest
