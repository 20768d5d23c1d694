/*
 * The image loader: driver images are shared objects opened by service name,
 * each with a driver object, a service key path and a DriverEntry run at
 * PASSIVE_LEVEL. Unloading checks what the image still holds, as Driver
 * Verifier does at unload, and closes the image, so that a reload starts
 * with fresh globals. Drivers built into the host get the same objects.
 */
#include "irql_rules.h"
#include "kernel_core.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr const char *kServicesKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

struct Image {
    std::string service;
    void *handle = nullptr;        // from dlopen; null for a builtin driver
    const void *base = nullptr;    // load address, for ownership of code
    // Where the image is mapped (its loadable segments), for ownership.
    std::vector<std::pair<const char *, const char *>> segments;
    PDRIVER_OBJECT driver = nullptr;
    std::u16string driverName, serviceName;
};

std::string &ImageDirectory()
{
    static std::string directory = MPS_IMAGE_DIR;
    return directory;
}

std::map<std::string, std::unique_ptr<Image>> &Loaded()
{
    static auto *loaded = new std::map<std::string, std::unique_ptr<Image>>;
    return *loaded;
}

// Driver objects of unloaded drivers: devices that outlived their driver may
// still point at them, so they stay, answering nothing, until the reset.
std::vector<PDRIVER_OBJECT> &Retired()
{
    static auto *retired = new std::vector<PDRIVER_OBJECT>;
    return *retired;
}

// The loadable segments of the object that holds |code|: what dladdr
// searches to tell which object an address is in. Read once at load, since
// ownership is asked on nearly every kernel call and dladdr also walks the
// object's symbols each time.
std::vector<std::pair<const char *, const char *>> SegmentsOf(const void *code)
{
    struct Search {
        const char *code;
        std::vector<std::pair<const char *, const char *>> segments;
    } search{static_cast<const char *>(code), {}};
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            auto *search = static_cast<Search *>(data);
            std::vector<std::pair<const char *, const char *>> segments;
            bool holdsCode = false;
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr) &header = info->dlpi_phdr[i];
                if (header.p_type != PT_LOAD) continue;
                const char *begin = reinterpret_cast<const char *>(info->dlpi_addr + header.p_vaddr);
                segments.emplace_back(begin, begin + header.p_memsz);
                holdsCode = holdsCode || (search->code >= begin && search->code < begin + header.p_memsz);
            }
            if (!holdsCode) return 0;
            search->segments = std::move(segments);
            return 1;
        },
        &search);
    return search.segments;
}

std::u16string Widen(const std::string &text) { return std::u16string(text.begin(), text.end()); }

UNICODE_STRING Counted(std::u16string &text)
{
    UNICODE_STRING counted;
    counted.Length = USHORT(text.size() * sizeof(WCHAR));
    counted.MaximumLength = USHORT(counted.Length + sizeof(WCHAR));
    counted.Buffer = reinterpret_cast<PWSTR>(text.data());
    return counted;
}

PDRIVER_OBJECT CreateDriverObject(Image &image, PDRIVER_INITIALIZE entry)
{
    auto *driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION)));
    auto *extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    image.driverName = Widen("\\Driver\\" + image.service);
    image.serviceName = Widen(image.service);

    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverStart = const_cast<void *>(image.base);
    driver->DriverExtension = extension;
    driver->DriverName = Counted(image.driverName);
    driver->DriverInit = entry;
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = hk::internal::DefaultDispatch;
    extension->DriverObject = driver;
    extension->ServiceKeyName = Counted(image.serviceName);
    return driver;
}

// Runs a driver routine as the I/O manager and the PnP manager do, at
// PASSIVE_LEVEL (DRIVER_INITIALIZE, DRIVER_ADD_DEVICE, DRIVER_UNLOAD: "IRQL:
// PASSIVE_LEVEL"), and expects it back there with no spin lock held.
template <typename Call>
auto AtPassive(const void *routine, const std::string &what, Call call)
{
    const KIRQL previous = hk::CurrentIrql();
    hk::SetCurrentIrql(PASSIVE_LEVEL);
    hk::internal::RoutineFrame frame;
    auto result = call();
    frame.Check(routine, [&] { return what; }, "its caller runs at PASSIVE_LEVEL and goes on there");
    hk::SetCurrentIrql(previous);
    return result;
}

// The service key path DriverEntry gets lives only for the call: "the
// I/O manager frees the RegistryPath buffer after DriverEntry returns; a
// driver that needs it later saves a copy" (DRIVER_INITIALIZE). It is pool
// of the kernel's, so that a driver keeping the pointer reads freed pool.
PUNICODE_STRING NewRegistryPath(const std::string &service)
{
    const std::u16string path = Widen(kServicesKey + service);
    const size_t bytes = path.size() * sizeof(char16_t);
    auto *counted = static_cast<PUNICODE_STRING>(
        hk::internal::AllocateKernelPool(sizeof(UNICODE_STRING) + bytes + sizeof(char16_t)));
    counted->Buffer = reinterpret_cast<PWSTR>(counted + 1);
    counted->Length = USHORT(bytes);
    counted->MaximumLength = USHORT(bytes + sizeof(char16_t));
    std::memcpy(counted->Buffer, path.c_str(), bytes + sizeof(char16_t));
    return counted;
}

// Reports what the image still holds and takes it back; the driver object
// stays behind without routines.
void Retire(std::unique_ptr<Image> image, const std::string &when)
{
    if (image == nullptr) return;
    const std::string &name = image->service;
    hk::internal::RetireDevicesOf(image->driver, name);
    hk::ReportLeaks(name, when);
    hk::internal::ReportOpenHandlesOf(name, when);
    hk::internal::FreePoolOf(name);
    hk::internal::ReportIrpsOf(name, when);

    PDRIVER_OBJECT driver = image->driver;
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = hk::internal::DefaultDispatch;
    driver->DriverUnload = nullptr;
    driver->DriverExtension->AddDevice = nullptr;
    // The names pointed into the image record, which goes now.
    driver->DriverName = UNICODE_STRING{};
    driver->DriverExtension->ServiceKeyName = UNICODE_STRING{};
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    Retired().push_back(driver);
    if (image->handle != nullptr) dlclose(image->handle);
}

std::unique_ptr<Image> TakeLoaded(const std::string &service)
{
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    auto found = Loaded().find(service);
    if (found == Loaded().end()) return nullptr;
    std::unique_ptr<Image> image = std::move(found->second);
    Loaded().erase(found);
    return image;
}

// Registers the image, runs DriverEntry, and retires it again on failure.
NTSTATUS Start(std::unique_ptr<Image> owned, PDRIVER_INITIALIZE entry)
{
    Image &image = *owned;
    const std::string service = image.service;
    image.driver = CreateDriverObject(image, entry);
    {
        std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
        Loaded()[service] = std::move(owned);
    }
    PUNICODE_STRING registryPath = NewRegistryPath(service);
    const NTSTATUS status = AtPassive(reinterpret_cast<const void *>(entry), "DriverEntry of " + service,
                                      [&] { return entry(image.driver, registryPath); });
    hk::internal::FreeKernelPool(registryPath);
    if (!NT_SUCCESS(status)) Retire(TakeLoaded(service), "after its DriverEntry failed");
    return status;
}

void Stop(const std::string &service)
{
    PDRIVER_OBJECT driver = hk::DriverOf(service);
    if (driver == nullptr) return;
    if (PDRIVER_UNLOAD unload = driver->DriverUnload) {
        AtPassive(reinterpret_cast<const void *>(unload), "DriverUnload of " + service, [&] {
            unload(driver);
            return 0;
        });
    }
    Retire(TakeLoaded(service), "at unload of " + service);
}

}  // namespace

namespace hk {

void SetImageDirectory(const std::string &dir)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    ImageDirectory() = dir;
}

LoadedDriver LoadDriver(const std::string &service)
{
    LoadedDriver result;
    result.service = service;
    if (PDRIVER_OBJECT driver = DriverOf(service)) {
        result.driver = driver;
        result.entryStatus = STATUS_SUCCESS;
        return result;
    }
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
        path = ImageDirectory() + "/" + service + ".so";
    }
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "hk: cannot load %s: %s\n", path.c_str(), dlerror());
        result.entryStatus = STATUS_OBJECT_NAME_NOT_FOUND;
        return result;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    Dl_info info{};
    if (entry == nullptr || dladdr(reinterpret_cast<void *>(entry), &info) == 0) {
        std::fprintf(stderr, "hk: %s has no DriverEntry\n", path.c_str());
        dlclose(handle);
        result.entryStatus = STATUS_INVALID_PARAMETER;
        return result;
    }
    auto image = std::make_unique<Image>();
    image->service = service;
    image->handle = handle;
    image->base = info.dli_fbase;
    image->segments = SegmentsOf(reinterpret_cast<const void *>(entry));
    result.entryStatus = Start(std::move(image), entry);
    result.driver = NT_SUCCESS(result.entryStatus) ? DriverOf(service) : nullptr;
    return result;
}

void UnloadDriver(const std::string &service) { Stop(service); }

PDRIVER_OBJECT DriverOf(const std::string &service)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    auto found = Loaded().find(service);
    return found == Loaded().end() ? nullptr : found->second->driver;
}

std::vector<std::string> LoadedDrivers()
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    std::vector<std::string> services;
    for (const auto &entry : Loaded()) services.push_back(entry.first);
    return services;
}

PDRIVER_OBJECT LoadBuiltinDriver(const std::string &service, PDRIVER_INITIALIZE entry, NTSTATUS *status)
{
    PDRIVER_OBJECT driver = DriverOf(service);
    NTSTATUS result = STATUS_SUCCESS;
    if (driver == nullptr) {
        auto image = std::make_unique<Image>();
        image->service = service;
        result = Start(std::move(image), entry);
        driver = NT_SUCCESS(result) ? DriverOf(service) : nullptr;
    }
    if (status != nullptr) *status = result;
    return driver;
}

void UnloadBuiltinDriver(const std::string &service) { Stop(service); }

const void *ImageSymbol(const std::string &service, const std::string &symbol)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    auto image = Loaded().find(service);
    if (image == Loaded().end() || image->second->handle == nullptr) return nullptr;
    return dlsym(image->second->handle, symbol.c_str());
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    const void *routine = reinterpret_cast<const void *>(addDevice);
    return AtPassive(routine, "AddDevice of " + ImageOfAddress(routine), [&] { return addDevice(driver, pdo); });
}

namespace internal {

std::string ImageOwningAddress(const void *address)
{
    const char *at = static_cast<const char *>(address);
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    // One step per image looked at, counted once: this runs on nearly every
    // kernel call.
    uint64_t steps = 0;
    for (const auto &entry : Loaded()) {
        ++steps;
        if (entry.second->handle == nullptr) continue;
        for (const auto &[begin, end] : entry.second->segments) {
            if (at >= begin && at < end) {
                hk::CountWork(hk::Work::HostWalk, steps);
                return entry.first;
            }
        }
    }
    hk::CountWork(hk::Work::HostWalk, steps);
    return std::string();
}

// Nothing of a driver runs any more: its images close without DriverUnload
// (a test may have left it half way), and what it held goes with the pool
// and object resets that follow.
void ResetImages()
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    for (auto &entry : Loaded()) {
        if (entry.second->handle != nullptr) dlclose(entry.second->handle);
        Retired().push_back(entry.second->driver);
    }
    Loaded().clear();
    for (PDRIVER_OBJECT driver : Retired()) std::free(driver);
    Retired().clear();
    ImageDirectory() = MPS_IMAGE_DIR;
}

}  // namespace internal
}  // namespace hk
