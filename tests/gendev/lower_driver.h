// A bus driver's physical device objects for a test stack: the bottom that a
// function driver attaches to. It records every request it receives and
// answers as a bus driver does (the status each request carried), unless a
// test sets an answer; it can also complete requests later, on another thread.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace stacktest {

PDEVICE_OBJECT CreateLowerPdo();
void DeleteLowerPdo(PDEVICE_OBJECT pdo);
// Puts the host's pass-through lower filter ("hklower") on |pdo| and returns
// its device: the device a function driver above attaches to, which is not
// the PDO. A request that reaches the PDO without passing the filter is
// recorded as "around the filter:<request>" instead of "lower:<request>"
// and fails with STATUS_INVALID_DEVICE_STATE (a removal, which no PDO
// fails, aside), as a PDO whose filter did not do its part of the request.
PDEVICE_OBJECT AddLowerFilter(PDEVICE_OBJECT pdo);
void SetLowerAnswer(UCHAR major, UCHAR minor, NTSTATUS status);
void SetLowerPends(bool pends);  // complete from another thread, 20 ms later
// Waits for those threads: until one returns, the request it completes may
// still hold a reference on a device of the stack.
void JoinLowerCompletions();
// The states of the set-power requests that reached a PDO, in order: "S3"
// for a system state, "D0" for a device state.
std::vector<std::string> LowerPowerStates();
// Joins pending completions, removes the filters still on a PDO (as the PnP
// manager removes a stack whose AddDevice failed) and deletes every PDO
// left; call before the kernel's end-of-test checks.
void ResetLowerDriver();

}  // namespace stacktest
