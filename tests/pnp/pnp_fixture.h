/*
 * A fresh kernel and Plug and Play manager per test, with the test drivers
 * bound to test hardware IDs. Any verifier finding fails the test.
 */
#pragma once

#include "pnp_manager.h"
#include "test_drivers.h"

#include "support/kernel_test.h"
#include "support/resource_lists.h"

#include <hk/host.h>

#include <memory>
#include <string>
#include <vector>

class PnpTest : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        pnptest::Reset();
        pnp = std::make_unique<sim::PnpManager>(Database());
        for (const char *service : {"tlower", "tfunc", "tupper", "tchild"})
            pnp->RegisterBuiltinDriver(service, pnptest::StackDriverEntry);
        pnp->RegisterBuiltinDriver("tbus", pnptest::BusDriverEntry);
    }

    void TearDown() override
    {
        pnp.reset();
        KernelTest::TearDown();
    }

    static sim::InstallDatabase Database()
    {
        using Match = sim::InstallDatabase::Match;
        sim::InstallDatabase db;
        db.Add(Match::Exact, "TEST\\BOARD", sim::DriverBinding{"tfunc", {"tupper"}, {"tlower"}});
        db.Add(Match::Exact, "TEST\\BUS", sim::DriverBinding{"tbus", {}, {}});
        db.Add(Match::Exact, "TESTBUS\\CHILD_HW", sim::DriverBinding{"tchild", {}, {}});
        db.Add(Match::Exact, "TEST\\MISSING", sim::DriverBinding{"no_such_image", {}, {}});
        db.Add(Match::Exact, "TEST\\FILTERED", sim::DriverBinding{"tfunc", {}, {"hklower"}});
        return db;
    }

    static sim::BoardDescription Board(const std::string &hardwareId, sim::BusKind bus = sim::BusKind::Pci)
    {
        sim::BoardDescription board;
        board.bus = bus;
        board.hardwareIds = {hardwareId};
        board.resources.uartBase = 0x300;
        board.resources.uartLength = 0x20;
        board.resources.bridgeBase = bus == sim::BusKind::Pci ? 0x380 : 0;
        board.resources.interrupt = 5;
        return board;
    }

    // The manager's requests since the last ClearRequests(), as
    // "<instance path> <request> <detail>".
    std::vector<std::string> Sent() const
    {
        std::vector<std::string> out;
        for (const sim::PnpRequestRecord &r : pnp->Requests()) {
            std::string line = r.instancePath + " " + r.request;
            if (!r.detail.empty()) line += " " + r.detail;
            out.push_back(line);
        }
        return out;
    }

    // The test drivers' events that begin with one of |who|.
    static std::vector<std::string> EventsOf(std::initializer_list<const char *> who)
    {
        std::vector<std::string> out;
        for (const std::string &event : pnptest::Events())
            for (const char *prefix : who)
                if (event.rfind(std::string(prefix) + " ", 0) == 0) out.push_back(event);
        return out;
    }

    std::unique_ptr<sim::PnpManager> pnp;
};
