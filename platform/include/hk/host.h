/*
 * Host-side control of the kernel stand-in: what the simulated machine and
 * the tests use to drive, inspect and break the host kernel. Never included
 * by driver code. Host-side translation units are compiled with HK_HOST_SIDE,
 * so the C library's wide-character declarations stay theirs.
 */
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hk {

// ------------------------------------------------------------------ verifier
// Every breach of a kernel rule is recorded as a named violation with the
// image that committed it. A breach that would bug-check Windows stops the
// process through BugCheck() instead.
struct Violation {
    std::string name;    // e.g. "POOL_DOUBLE_FREE", "IRP_DOUBLE_COMPLETION"
    std::string image;   // offending image ("mpsbus", "mpsfilt", "host", ...)
    std::string detail;  // the call and its arguments, human readable
};
void ReportViolation(const std::string &name, const std::string &image, const std::string &detail);
std::vector<Violation> Violations();
void ClearViolations();
[[noreturn]] void BugCheck(ULONG code, const std::string &why);
// KeBugCheckEx's form: the stop code and its four parameters, as a debugger
// shows them, then |why|.
[[noreturn]] void BugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                             const std::string &why);

// Checks the freed memory the kernel still holds back (pool blocks, IRPs,
// deleted device objects) and reports each block written since it was freed
// as WRITE_AFTER_FREE; returns how many. (Under AddressSanitizer such a write
// stops the run where it happens.)
size_t CheckFreedMemory();

// Image owning a code address (a driver image's service name, else "host").
std::string ImageOfAddress(const void *address);
#define HK_CALLER_IMAGE() ::hk::ImageOfAddress(__builtin_return_address(0))

// ---------------------------------------------------------------------- pool
struct PoolBlock {
    const void *address;
    ULONG tag;
    POOL_TYPE type;
    size_t size;
    std::string owner;  // image that allocated it
};
std::vector<PoolBlock> LivePool();
size_t LivePoolCount(const std::string &owner = std::string());
// Every block allocated since the kernel was last reset, freed or not, in
// the order of the calls (the address may have been handed out again since).
std::vector<PoolBlock> PoolAllocations();
// True while |address| is the start of a block not yet freed.
bool IsLivePoolBlock(const void *address);
// Reports every live block of |owner| (all when empty) as POOL_LEAK and frees
// nothing; returns how many were reported.
size_t ReportLeaks(const std::string &owner, const std::string &when);

// ------------------------------------------------------------ fault injection
enum class Service {
    Pool,
    Irp,
    CreateDevice,
    Attach,
    MapIoSpace,
    RegistryOpen,
    RegistryRead,
    RegistryWrite,
    Property,
    Count
};
const char *ServiceName(Service s);
// Fail the n-th (1-based) call of one service, or of any fallible service.
void FailNthCall(Service s, unsigned n);
void FailNthCallOverall(unsigned n);
void ResetFaults();            // clears plans and counters
unsigned CallCount(Service s); // calls seen since the last reset
unsigned TotalCallCount();
// Called by each fallible service on entry with the image that called it
// and the status it returns when failed (STATUS_SUCCESS for a service that
// fails by returning NULL); true means "fail this call".
bool ShouldFail(Service s, const std::string &image, NTSTATUS reported = STATUS_SUCCESS);
// What the failed call returned: its status, or STATUS_SUCCESS when it
// failed by returning NULL or no call was failed since the last reset.
NTSTATUS FailedCallStatus();
// A failed registry write: ZwSetValueKey's documented refusal (DDI
// zwsetvaluekey), which RtlWriteRegistryValue passes on.
constexpr NTSTATUS kRegistryWriteFailure = STATUS_ACCESS_DENIED;
// Aims fault injection at the calls of |images| ("mpsbus", "mpsfilt"):
// calls made by any other image (the stand-ins, the host) are neither
// counted nor failed. Empty: every image. Cleared by ResetFaults.
void AimFaultsAt(const std::vector<std::string> &images);
// The calls counted since the last reset, in order.
struct FallibleCall {
    Service service;
    std::string image;
};
std::vector<FallibleCall> CountedCalls();
// The routines of loaded images on the stack of the call that fault
// injection failed last, innermost first, as a debugger names them
// ("mpsfilt!MP_ExAllocatePool", "mpsfilt!GetPortOffset", ...); the host's
// own frames are left out. Empty until a call failed.
std::vector<std::string> FailedCallStack();

// Runs |scenario| once with counting only, then once per counted call with
// that call failing. |check| gets the 1-based failing call (0 for the clean
// run) and inspects the outcome.
void Sweep(const std::function<void()> &scenario, const std::function<void(unsigned failingCall)> &check);

// ---------------------------------------------------------------------- IRQL
KIRQL CurrentIrql();
void SetCurrentIrql(KIRQL irql);

// ----------------------------------------------------------- Windows version
// The Windows the kernel is: what RtlGetVersion reports, the WDM version
// IoIsWdmVersionAvailable answers for, and what it lacks (NonPagedPoolNx
// before Windows 8) or checks (Driver Verifier's code integrity check from
// Windows 8 on). Windows 2000 by default, the oldest the x86 images load on,
// where the power rules are strictest.
enum class Windows { W2000, XP, Server2003, Vista, W7, W8, W81, W10, W11, Count };
struct WindowsRelease {
    Windows id;
    const char *name;     // as mpsim and scenarios take it: "2000", "xp", ..., "8.1", "10", "11"
    const char *title;    // "Windows 8.1"
    ULONG major, minor, build;
    UCHAR wdmMajor, wdmMinor;
};
const WindowsRelease &WindowsInfo(Windows windows);
const WindowsRelease *ReleaseNamed(const std::string &name);  // nullptr when none
std::string ReleaseNames();                                   // "2000, xp, ..., 11"
void SetWindowsVersion(Windows windows);  // also sets its WDM version
Windows WindowsVersion();
bool WindowsAtLeast(Windows windows);

// Overrides the WDM version alone (a system offering less than the drivers
// need); SetWindowsVersion sets it back to the release's.
void SetWdmVersion(UCHAR major, UCHAR minor);  // default 1.10 (1, 0x10)

// --------------------------------------------------------------- diagnostics
// Exactly what a kernel debugger showed for one image, in order.
std::string DebugOutput(const std::string &image);
// The same output call by call: one entry per DbgPrint call, as the call
// transmitted it (at most 512 bytes). Assertion reports are not DbgPrint
// calls and show in DebugOutput only.
std::vector<std::string> DebugWrites(const std::string &image);
std::vector<std::string> DebugImages();
struct AssertRecord {
    std::string image, expression, file, message;
    ULONG line;
};
std::vector<AssertRecord> Asserts(const std::string &image = std::string());
void ClearDiagnostics();
// Windows-style formatting (%ws/%S wide strings, %x, %d, %ld, %08x, ...).
std::string FormatKernelString(const char *format, va_list args);

// ------------------------------------------------------------- wide strings
std::u16string Wide(const std::string &ascii);
std::string Narrow(const wchar_t *wide, size_t chars = size_t(-1));
std::string Narrow(const std::u16string &wide);
std::u16string WideOf(const wchar_t *wide, size_t chars = size_t(-1));
// Multi-string to a list of narrow strings.
std::vector<std::string> NarrowMulti(const wchar_t *multi);

// ------------------------------------------------------------------ registry
// Paths are absolute kernel paths such as
// "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mpsbus".
namespace reg {
struct Value {
    ULONG type;
    std::vector<uint8_t> data;
};
void CreateKey(const std::string &path);
bool KeyExists(const std::string &path);
void SetValue(const std::string &path, const std::string &name, ULONG type, const void *data, size_t size);
void SetDword(const std::string &path, const std::string &name, ULONG value);
void SetString(const std::string &path, const std::string &name, const std::string &value);  // REG_SZ
bool GetValue(const std::string &path, const std::string &name, Value *out);
std::vector<std::pair<std::string, Value>> Values(const std::string &path);  // in creation order
void DeleteTree(const std::string &path);
void Reset();
size_t OpenHandleCount();
// Reports every open handle as REGISTRY_HANDLE_LEAK.
size_t ReportOpenHandles(const std::string &when);
}  // namespace reg

// --------------------------------------------------------------- I/O space
// Board hardware is plugged into the port I/O space as ranges, or into the
// physical memory space where a bus decodes its registers there; a driver
// reaches the latter through a mapping that MmMapIoSpace made of them, with
// READ_REGISTER_* / WRITE_REGISTER_*.
class IoRange {
public:
    virtual ~IoRange() = default;
    virtual ULONG Read(ULONG offset, unsigned width) = 0;              // width 1, 2 or 4
    virtual void Write(ULONG offset, unsigned width, ULONG value) = 0;
    // True while the hardware answers no access (a board in D3): reads float
    // to all ones, writes are lost, and the I/O log marks the access refused.
    virtual bool Refuses() const { return false; }
};
void AttachIoRange(ULONG base, ULONG length, IoRange *range);  // range stays owned by the caller
void AttachMemoryRange(ULONGLONG physical, ULONG length, IoRange *range);
void DetachIoRange(IoRange *range);  // from whichever space it is in
void DetachAllIoRanges();
struct IoAccess {
    ULONG port;  // the port, or in memory space the physical address
    unsigned width;
    bool write;
    ULONG value;
    std::string image;
    bool memorySpace = false;  // through a mapping, with READ_REGISTER_* / WRITE_REGISTER_*
    bool refused = false;      // the range decoding it did not answer (IoRange::Refuses)
};
const std::vector<IoAccess> &IoLog();
void ClearIoLog();

// Physical memory ranges that MmMapIoSpace may map.
struct Mapping {
    const void *address;
    uint64_t physical;
    size_t length;
    std::string owner;
    MEMORY_CACHING_TYPE caching = MmNonCached;
};
std::vector<Mapping> LiveMappings();
// The live mapping at |address|, as MmMapIoSpace returned it; false if none.
bool MappingAt(const void *address, Mapping *mapping);
size_t ReportLiveMappings(const std::string &when);

// ------------------------------------------------------------------ objects
// Host-side view of a device object's bookkeeping.
PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device);  // the device it is attached to, or null
bool IsDeletePending(PDEVICE_OBJECT device);
// What the PnP manager checks once a filter driver's AddDevice has put
// |filter| on a stack: the filter looks like the device below it to the
// drivers above (Driver Verifier 0xC9/0x23F, 0x244, 0x245, 0x246; charged to
// |service|).
void CheckFilterAdded(const std::string &service, PDEVICE_OBJECT filter);
size_t LiveDeviceCount();
// Every device object not yet freed: the image that created it, whether
// IoDeleteDevice was called (freed once the last reference goes) and its
// reference count. What a debugger's !devobj shows, for leak reports.
struct LiveDevice {
    std::string owner;
    bool deletePending;
    LONG references;
};
std::vector<LiveDevice> LiveDevices();
// The device power state its drivers last recorded with PoSetPowerState.
DEVICE_POWER_STATE DevicePowerStateOf(PDEVICE_OBJECT device);
// Waits until every power IRP that PoRequestPowerIrp handed to a worker
// thread (asked for above PASSIVE_LEVEL) has been delivered.
void JoinPowerWorkers();
// Threads blocked right now in a wait on |event|: KeWaitForSingleObject, or
// IoReleaseRemoveLockAndWait on its lock's RemoveEvent.
unsigned ThreadsWaitingOn(const KEVENT *event);
// Blocks until a thread waits on |event| (any event if null) (true) or
// |instead| holds (false), whichever comes first: a verdict from what the host knows, never from how
// long something took, so the same on a loaded machine. |instead| is asked
// again every few milliseconds; the clock only paces the asking.
bool AwaitWaiterOn(const KEVENT *event, const std::function<bool()> &instead);

// The one way every sender (tests, the Plug and Play manager, the power
// manager) sends a request and waits for it, as the kernel's own synchronous
// requests do: an IRP of the device's stack size with IoStatus preset, sent
// to |device| itself (no attachment walk; power requests through
// PoCallDriver), waited for at PASSIVE_LEVEL. The result is the dispatch
// routine's return value, unless that is STATUS_PENDING: then the status the
// request completed with. A request neither completed nor returned pending,
// or never completed after STATUS_PENDING, is reported as IRP_NOT_COMPLETED
// and left with the driver (|completed| false).
struct Request {
    UCHAR major = IRP_MJ_PNP;
    UCHAR minor = 0;
    std::function<void(PIO_STACK_LOCATION)> fill;
    NTSTATUS initialStatus = STATUS_NOT_SUPPORTED;
    ULONG_PTR initialInformation = 0;
};
struct RequestResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;  // IoStatus.Information once completed
    bool completed = false;
};
RequestResult SendRequest(PDEVICE_OBJECT device, const Request &request);

// SendRequest for callers that want the status alone.
NTSTATUS SendIrpSync(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)> &fill, ULONG_PTR *information = nullptr,
                     NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);

// An IRP that the Plug and Play or power manager sends on its own account:
// owned by the host and never failed by fault injection, which is aimed at
// the drivers' calls.
PIRP AllocateManagerIrp(CCHAR stackSize);
// Pool that a stand-in for a Windows component (the PnP manager, the bus
// drivers below the boards) takes on its own account: like its IRPs, never
// failed by fault injection, which is aimed at the drivers under test.
PVOID AllocateManagerPool(POOL_TYPE type, size_t size, ULONG tag);

// -------------------------------------------------------------- PnP hooks
// The Plug and Play manager answers for its device nodes.
struct PnpHooks {
    // IoGetDeviceProperty for a PDO; null means "not a PDO the manager knows".
    std::function<NTSTATUS(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                           PULONG resultLength)>
        getProperty;
    // Instance path ("PCI\\VEN_7A3E&DEV_0010\\1") of a PDO; empty if unknown.
    std::function<std::string(PDEVICE_OBJECT pdo)> instancePath;
    // True for a PDO the manager has a device node for. When set, the
    // services that take a PDO bug-check on anything else (0xCA/0x2).
    std::function<bool(PDEVICE_OBJECT device)> isPdo;
    // IoInvalidateDeviceRelations: the manager queries the relations again.
    std::function<void(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type)> invalidateRelations;
    // IoInvalidateDeviceState: the manager queries the device's PnP state again.
    std::function<void(PDEVICE_OBJECT pdo)> invalidateState;
    // True for a PDO whose device node the manager still holds and has not
    // yet sent IRP_MN_REMOVE_DEVICE: its bus driver may not delete it yet.
    std::function<bool(PDEVICE_OBJECT pdo)> awaitingRemoval;
    // True for a PDO its bus no longer reports (left out of the last bus
    // relations, or its parent removed): its bus driver deletes it at its
    // IRP_MN_REMOVE_DEVICE.
    std::function<bool(PDEVICE_OBJECT pdo)> reportedMissing;
};
void SetPnpHooks(const PnpHooks &hooks);
// The hardware key of a PDO: "...\\Enum\\<instance path>\\Device Parameters".
std::string DeviceParametersPath(const std::string &instancePath);

// ------------------------------------------------------------------- images
// Driver images are shared objects "<dir>/<service>.so" loaded by service
// name. DriverEntry runs with the service key path
// "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\<service>".
void SetImageDirectory(const std::string &dir);
struct LoadedDriver {
    std::string service;
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
};
// Loads and runs DriverEntry. A failed entry unloads the image again.
LoadedDriver LoadDriver(const std::string &service);
// Calls DriverUnload (when set), checks the image's pool, then dlclose.
void UnloadDriver(const std::string &service);
PDRIVER_OBJECT DriverOf(const std::string &service);  // null if not loaded
// Service names of every loaded driver, images and builtin ones alike.
std::vector<std::string> LoadedDrivers();
// Registers a driver that lives in the host executable (the serial port
// driver stand-in, test drivers): same objects, no image file.
PDRIVER_OBJECT LoadBuiltinDriver(const std::string &service, PDRIVER_INITIALIZE entry, NTSTATUS *status);
void UnloadBuiltinDriver(const std::string &service);
// Calls |driver|'s AddDevice for |pdo| as the PnP manager does: at
// PASSIVE_LEVEL, and checked like every driver routine (it must return at
// the IRQL it was called at, holding no spin lock).
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// Maps a code range to an image name for ownership (used by builtin drivers).
void RegisterImageRange(const std::string &image, const void *begin, const void *end);
// Driver Verifier checks the drivers selected for verification only: an
// image named here (a stand-in for one of Windows' own drivers, such as the
// system serial driver) is not judged by the PnP and power request rules
// (Driver Verifier 0xC9/0x2xx). Our drivers and the test images always are.
void ExcludeFromVerification(const std::string &image);
bool UnderVerification(const std::string &image);
// A global of a loaded image by its symbol name, as a debugger resolves
// "mpsbus!BoardModels"; null when the image or the symbol is not there.
const void *ImageSymbol(const std::string &service, const std::string &symbol);

// ------------------------------------------------------------- work counts
// What the kernel and the simulated machine did, counted rather than timed,
// so that a cost check gives the same verdict on a fast machine, a loaded
// one or an emulated one. A search step is one entry looked at while finding
// something: a lookup by key is one step, a walk one step per entry passed.
enum class Work {
    KernelCall,         // a service entered (every caller)
    RequestDispatched,  // an IRP handed to a driver's dispatch routine
    PoolAllocation,
    NodeSearch,         // the PnP manager finding a device node
    RangeSearch,        // the buses finding the range that decodes an access
    KeySearch,          // the registry finding a key, one path component each
    DeviceListSearch,   // a device looked for in its driver's device list
    ValueSearch,        // the registry finding a value in its key, one step per value compared
    HostWalk,           // the kernel's own walks: image of a caller, top of a stack, frames in hand
    Count
};
void CountWork(Work what, uint64_t steps = 1);
uint64_t WorkDone(Work what);
const char *WorkName(Work what);
// Makes the kernel find each device object's record by walking every live
// device, a cost that grows with the machine, so that a test can prove the
// cost check catches such a walk. Off until a test turns it on; a kernel
// reset leaves it as it is, so that it lasts through a whole measured run.
void WalkEveryDeviceForTest(bool on);

// ------------------------------------------------------- whole-kernel reset
// Returns the kernel to a fresh state between tests: unloads images, clears
// pool records, registry, handles, I/O space, faults, diagnostics, violations.
void ResetKernel();

}  // namespace hk
