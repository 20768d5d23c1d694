/*
 * Small drivers that the Plug and Play manager's tests bind to their
 * boards: a pass-through stack driver (function or filter) and a bus
 * driver with child PDOs of its own. Each writes what it sees into one
 * event list, "<service> <request>", so a test can check the order in
 * which the manager drives whole stacks.
 */
#pragma once

#include <wdm.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pnptest {

std::vector<std::string> &Events();

enum class FilterAnswer {
    PassDown,          // leave the requirements to the drivers below
    ReplaceWithNone,   // the device consumes nothing (Information = NULL)
    ReplaceKeepOld,    // a list of its own; the offered one is not freed
    ReplaceFreeOld,    // a list of its own; the offered one is freed
};

struct Behaviour {
    NTSTATUS addDevice = STATUS_SUCCESS;
    unsigned failStartFrom = 0;  // the n-th start and every later one fail (0: none)
    bool vetoQueryStop = false;
    bool vetoQueryRemove = false;
    bool loseStart = false;      // answer START with success and never complete it
    bool detachAfterRemoval = false;  // the usual order: pass REMOVE down, then detach
    FilterAnswer filter = FilterAnswer::PassDown;
    // Power: the stack's policy owner asks for D3 / D0 with PoRequestPowerIrp
    // while it handles the system request; the faults the host catches.
    bool ownsPowerPolicy = false;
    bool forgetStartNextPower = false;   // never calls PoStartNextPowerIrp
    bool powerWithIoCallDriver = false;  // passes power IRPs with IoCallDriver
    bool leaveInitializing = false;      // AddDevice keeps DO_DEVICE_INITIALIZING
    bool forwardToPdo = false;           // sends requests to the PDO, not the device it attached to
    bool readPropertyOfOwnDevice = false;  // IoGetDeviceProperty on its own device, not the PDO
    // What the driver saw in its last START and FILTER_RESOURCE_REQUIREMENTS.
    unsigned starts = 0;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;
    bool startListsNull = false;
    ULONG_PTR filterInformation = 0;
    PIO_RESOURCE_REQUIREMENTS_LIST filterParameter = nullptr;
};
// Per service; cleared by Reset().
Behaviour &BehaviourOf(const std::string &service);

// The bus driver "tbus": reports |children| child PDOs (hardware ID
// "TESTBUS\CHILD_HW", instance IDs "0", "1", ...), created on its first
// bus relations query. A child dropped from the report with DropChild()
// is deleted by the removal that follows.
void SetChildCount(unsigned children);
// What child |index| answers to the resource requirements query (a pool
// copy of the bytes); none by default.
void SetChildRequirements(std::function<std::vector<uint8_t>(unsigned index)> requirements);
void DropChild(unsigned index);
// What the children answer: their device ID, the instance ID of child
// |index| ("0", "1", ... by default), and their UniqueID capability.
void SetChildIds(const std::string &deviceId, std::function<std::string(unsigned index)> instanceId);
void SetChildrenUnique(bool unique);
// The first child's hardware IDs, as a raw multi-string (two NULs at the end).
void SetChildHardwareIds(const std::u16string &multi);
size_t LiveChildren();

void Reset();

NTSTATUS NTAPI StackDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace pnptest
