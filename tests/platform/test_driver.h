/*
 * Drivers built into the test executable, whose dispatch routine runs a
 * behaviour chosen per device, and completion routines given as lambdas.
 * Enough to build device stacks and drive IRPs through the host kernel.
 */
#pragma once

#include "support/kernel_test.h"

#include <deque>
#include <functional>
#include <map>

namespace hk::test {

using Behaviour = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using Completion = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class StackTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A device of the builtin driver |service| (loaded on first use), on top
    // of |below| when given. Deleted (and detached) at the end of the test.
    PDEVICE_OBJECT AddDevice(const std::string &service, Behaviour behaviour, PDEVICE_OBJECT below = nullptr);
    // Sets a completion routine in the next stack location.
    void SetCompletion(PIRP irp, Completion routine, bool onSuccess = true, bool onError = true,
                       bool onCancel = true);

private:
    std::deque<Completion> completions_;
    std::vector<PDEVICE_OBJECT> devices_;
};

// Behaviours.
NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
Behaviour Completes(NTSTATUS status, ULONG_PTR information = 0);

}  // namespace hk::test
