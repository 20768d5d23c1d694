// A small bus driver built on gendev, of the tests' own: board devices over
// a lower PDO and port devices of its own, with every callback recorded in
// the event log ("StartDevice", "StopDevice", "RemoveDevice", ...) and its
// answers set by the test.
#pragma once

#include "gendev/gendev.h"

#include <functional>
#include <vector>

namespace stacktest {

// Tag of the pool blocks the tests' own drivers hand to the library.
constexpr ULONG kTestPoolTag = 0x74736554;

struct ClientPlan {
    NTSTATUS startDevice = STATUS_SUCCESS;
    NTSTATUS startPort = STATUS_SUCCESS;
    BOOLEAN mayStop = TRUE;    // BooleanQuery1
    BOOLEAN mayRemove = TRUE;  // BooleanQuery2
    NTSTATUS relationsStatus = STATUS_SUCCESS;
    bool reportPorts = true;   // false: QueryBusRelations answers no list
    NTSTATUS idStatus = STATUS_SUCCESS;  // QueryPortId / QueryPortText
    NTSTATUS interfaceStatus = STATUS_NOT_SUPPORTED;
    ULONG options = GENERIC_OPTION_PORTS_USE_NO_RESOURCES;
    bool portCallbacks = true;  // false: every port slot of the record is null
};

// Resources and capabilities the callbacks were handed, for the tests.
struct ClientSeen {
    PCM_RESOURCE_LIST startRaw = nullptr, startTranslated = nullptr;
    PCM_RESOURCE_LIST portRaw = nullptr, portTranslated = nullptr;
    PDEVICE_CAPABILITIES capabilities = nullptr;
    PDEVICE_OBJECT stopDevice = nullptr;
    // The board's remove-lock count as each port callback found it: the
    // lock's own count of 1 plus every acquisition held.
    std::vector<LONG> portCallbackLockCounts;
};

ClientPlan &Plan();
ClientSeen &Seen();

// Back to the default plan, nothing seen.
void ResetClient();
// Loads the client driver if needed and adds a board on |pdo|'s stack (above
// its filter) through its AddDevice routine. Null when AddDevice failed.
PDEVICE_OBJECT AddClientBoard(PDEVICE_OBJECT pdo, NTSTATUS *status = nullptr);
// A port device of |board|, deleted with the board by RemoveDevice.
PDEVICE_OBJECT CreateClientPort(PDEVICE_OBJECT board);
// The remove-lock storage that the board handed to the library.
PVOID BoardRemoveLock(PDEVICE_OBJECT board);

// The record the client gives the library, for tests that break it.
GenericInitRecord ClientRecord(PDEVICE_OBJECT board, PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower);

}  // namespace stacktest
