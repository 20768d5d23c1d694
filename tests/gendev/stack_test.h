// Fixture for tests that drive a device stack by hand: a fresh kernel, a
// lower PDO with a lower filter on it to attach to (as real stacks often
// have: what a board forwards must go to the device it attached to, not to
// its PDO), the event log, and a failure for every verifier finding the test
// did not expect.
#pragma once

#include "client_driver.h"
#include "events.h"
#include "lower_driver.h"

#include <hk/host.h>
#include "support/kernel_test.h"

#include <gtest/gtest.h>

#include <string>

namespace stacktest {

inline void NoFill(PIO_STACK_LOCATION) {}

class StackTest : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ClearEvents();
        ResetClient();
        pdo_ = CreateLowerPdo();
        ASSERT_NE(pdo_, nullptr);
        filter_ = AddLowerFilter(pdo_);
        ASSERT_NE(filter_, nullptr);
    }

    void TearDown() override
    {
        ResetLowerDriver();
        KernelTest::TearDown();
    }

    NTSTATUS Pnp(PDEVICE_OBJECT device, UCHAR minor,
                 const std::function<void(PIO_STACK_LOCATION)> &fill = NoFill,
                 ULONG_PTR *information = nullptr, NTSTATUS initialStatus = STATUS_NOT_SUPPORTED)
    {
        return hk::SendIrpSync(device, IRP_MJ_PNP, minor, fill, information, initialStatus);
    }

    PDEVICE_OBJECT AddBoard()
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDEVICE_OBJECT board = AddClientBoard(pdo_, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return board;
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;  // on pdo_: what a board attaches to
};

// A client board added before each test and removed after it, unless the
// test removed it itself and cleared board_.
class BoardStackTest : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        board_ = AddBoard();
        ASSERT_NE(board_, nullptr);
    }

    void TearDown() override
    {
        if (board_ != nullptr) Pnp(board_, IRP_MN_REMOVE_DEVICE);
        StackTest::TearDown();
    }

    PDEVICE_OBJECT board_ = nullptr;
};

}  // namespace stacktest
