/*
 * Shared between the host kernel's own modules; not seen by drivers, the
 * simulator or the tests.
 */
#pragma once

#include <hk/host.h>

#include <mutex>

namespace hk::internal {

// The kernel's big lock for its own bookkeeping tables. Never held while a
// driver routine runs (dispatch, completion, callbacks) and never while a
// thread blocks on a kernel event.
std::recursive_mutex &BookkeepingLock();

// Each module returns to its fresh state; ResetKernel calls them in order.
void ResetImages();       // unloads every image and builtin driver
void ResetObjects();      // device objects, IRPs
void ResetPool();
void ResetRegistry();     // keys, values and handles
void ResetIoSpace();      // ranges, access log
void ResetMappings();
void ResetSync();         // remove-lock records, IRQL of this thread
void ResetDiagnostics();  // debug output, assertions
void ResetViolations();
void ResetWdmVersion();
void ResetWorkCounts();
bool WdmVersionAtLeast(UCHAR major, UCHAR minor);  // IoIsWdmVersionAvailable without its IRQL check

// Memory-space register access at a physical address, decoded and logged
// like port I/O on behalf of |image| (the mapping's user).
ULONG ReadMemorySpace(ULONGLONG physical, unsigned width, const std::string &image);
void WriteMemorySpace(ULONGLONG physical, unsigned width, ULONG value, const std::string &image);

// The routine holding a code address, from the symbol table of its image
// ("CaptureResources"); empty when unknown.
std::string RoutineAt(const void *address);

// Pool accounting used by the object manager for its own allocations, which
// are not driver pool and never counted as a driver's.
bool IsPoolBlock(const void *p);

// Remove-lock bookkeeping forgets a lock whose storage is being freed.
void ForgetRemoveLocksIn(const void *begin, size_t length);

// Pool that a kernel service allocates on a driver's behalf (a registry
// string, an upcased copy): the block is |owner|'s to free and counts as its
// pool, as on Windows. A pool call like any other for fault injection.
PVOID AllocatePoolFor(const std::string &owner, POOL_TYPE type, size_t size, ULONG tag);

// Pool of the kernel's own ("host"), never failed by fault injection: what
// it lends a driver for the time of one call and frees afterwards.
PVOID AllocateKernelPool(size_t size);
void FreeKernelPool(PVOID block);

// The image loader reports the registry handles an image left open when it
// unloads; returns how many were reported.
size_t ReportOpenHandlesOf(const std::string &image, const std::string &when);

// Whether this thread is inside the processing of a Plug and Play request
// of |minor| (its dispatch routine or a completion routine is running).
bool InsidePnpRequest(UCHAR minor);

// Remove-lock acquisitions and releases made by the dispatch routine running
// on this thread, for the check that it still holds what it acquired when it
// forwards its request.
void NoteRemoveLockAcquired(const void *lock, const void *tag);
void NoteRemoveLockReleased(const void *lock, const void *tag);

// What became of a device object: IoDeleteDevice not called, called while
// the object is still referenced or attached to, or called and the object
// freed. Unknown for anything that never was a device object.
enum class DeviceLife { Live, DeletePending, Freed, Unknown };
DeviceLife LifeOf(PDEVICE_OBJECT device);

// Freed memory still held back (pool blocks, IRPs, device objects): each
// written since it was freed is reported as WRITE_AFTER_FREE.
size_t CheckFreedPool();
size_t CheckFreedIrps();
size_t CheckFreedDevices();

// Whether |address| lies in freed memory still held back: a freed pool
// block, or a deleted and freed device object with its extension.
bool InFreedPool(const void *address);
bool InFreedDevice(const void *address);

// Remove-lock acquisitions held in locks inside [begin, begin + length), as
// text ("tag 0x...: 2, ..."); empty when none is held.
std::string RemoveLocksHeldIn(const void *begin, size_t length);

}  // namespace hk::internal
