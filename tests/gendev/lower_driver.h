// A bus driver's physical device objects for a test stack: the bottom that a
// function driver attaches to. It records every request it receives and
// answers as a bus driver does (the status each request carried), unless a
// test sets an answer; it can also complete requests later, on another thread.
#pragma once

#include <wdm.h>

namespace stacktest {

PDEVICE_OBJECT CreateLowerPdo();
void DeleteLowerPdo(PDEVICE_OBJECT pdo);
void SetLowerAnswer(UCHAR major, UCHAR minor, NTSTATUS status);
void SetLowerPends(bool pends);  // complete from another thread, 20 ms later
// Joins pending completions and deletes every PDO left; call before the
// kernel's end-of-test checks.
void ResetLowerDriver();

}  // namespace stacktest
