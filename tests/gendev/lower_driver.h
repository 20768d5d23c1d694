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
void SetLowerAnswer(UCHAR major, UCHAR minor, NTSTATUS status);
void SetLowerPends(bool pends);  // complete from another thread, 20 ms later
// The states of the set-power requests that reached a PDO, in order: "S3"
// for a system state, "D0" for a device state.
std::vector<std::string> LowerPowerStates();
// Joins pending completions and deletes every PDO left; call before the
// kernel's end-of-test checks.
void ResetLowerDriver();

}  // namespace stacktest
