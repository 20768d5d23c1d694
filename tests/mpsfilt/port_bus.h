/*
 * The port device under test stacks: a PDO of the tests' own bus driver in
 * place of mpsbus's. It answers the bus interface query with lists the test
 * sets, counts the references the interface carries, records what every
 * request brought, and can hold a request until the test lets it go.
 */
#pragma once

#include "support/resource_lists.h"

#include <wdm.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace filtertest {

extern const char kPortBusService[];  // its pool and devices count as this image's

enum class InterfaceAnswer {
    Interface,  // fill the record, take a reference, succeed
    Refuse,     // fail the query with refuseStatus
    Ignore,     // leave the request as it came, as a driver that knows no such interface
    Unfilled,   // succeed and leave the record as it came
    NoLists,    // take a reference and fill the record, all but GetResourceLists
};

enum class RequirementsAnswer {
    Leave,         // complete with IoStatus as it came, as a bus driver does
    FreeTheList,   // free the list it was handed and return none
};

// The ways a bus driver completes a request it answers: in its dispatch
// routine, in its dispatch routine at DISPATCH_LEVEL (from a DPC or under a
// spin lock), or pended and completed later from another thread.
enum class Completion { AtOnce, AtDispatch, Later };

struct PortScript {
    // ---- the bus interface
    InterfaceAnswer answer = InterfaceAnswer::Interface;
    NTSTATUS refuseStatus = STATUS_INVALID_PARAMETER;
    NTSTATUS listsStatus = STATUS_SUCCESS;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;  // what GetResourceLists hands out
    LONG references = 0;  // held now: taken with each answer, given back by InterfaceDereference
    unsigned answers = 0, referenceCalls = 0, dereferences = 0, listCalls = 0;
    bool referenceHeldDuringListCall = false;
    // The last query for the interface as it arrived.
    USHORT querySize = 0, queryVersion = 0;
    bool queryDataNull = false, queryRecordZeroed = false;
    NTSTATUS queryPresetStatus = 0;
    std::vector<const void *> listsHandedOut;

    // ---- START as it reached the port device
    NTSTATUS startStatus = STATUS_SUCCESS;
    // How START and the interface query are completed.
    Completion completion = Completion::AtOnce;
    unsigned starts = 0;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> startRaw, startTranslated;

    // ---- FILTER_RESOURCE_REQUIREMENTS as it reached the port device
    RequirementsAnswer requirements = RequirementsAnswer::Leave;
    ULONG_PTR filterInformation = 0;
    PIO_RESOURCE_REQUIREMENTS_LIST filterParameter = nullptr;
    std::vector<unsigned char> filterList;  // the bytes of the list in Information, ListSize long

    // ---- every request that reached the port device: major, minor
    std::vector<std::pair<UCHAR, UCHAR>> seen;
    // ---- and every one that reached the device above the filter, if any
    std::vector<std::pair<UCHAR, UCHAR>> seenAbove;

    // ---- IRP_MJ_DEVICE_CONTROL waits in the port device while set
    bool holdRequests = false;
};

// One port device: its script, which a test may replace whole, and what it
// keeps across requests.
struct PortDevice {
    PortScript script;
    std::atomic<bool> holding{false};  // a request waits for ReleaseHeldRequest
    KEVENT release;
    std::thread completer;             // completes a pended request
};

NTSTATUS NTAPI PortBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
// A new port device of the bus driver loaded as kPortBusService.
PDEVICE_OBJECT CreatePortDevice(PortDevice *port);
// A device of the same driver on top of |pdo|'s stack that passes every
// request down and notes it in |port|'s seenAbove, as another upper filter.
PDEVICE_OBJECT AttachDeviceAbove(PortDevice *port, PDEVICE_OBJECT pdo);
// Lets a request held in the port device go.
void ReleaseHeldRequest(PortDevice *port);

using hk::test::InterruptDescriptor;
using hk::test::MemoryDescriptor;
using hk::test::PortDescriptor;
using hk::test::ResourceList;
using hk::test::SameDescriptor;

}  // namespace filtertest
