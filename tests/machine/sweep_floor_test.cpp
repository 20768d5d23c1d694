// The sweep's floor: a board life's clean run counts at least the calls the
// life cannot do without, by driver and service, and a count that lost any
// one service's calls is named.
#include "machine.h"
#include "sweep.h"
#include "sweep_floor.h"

#include "support/kernel_test.h"

#include <gmock/gmock.h>

namespace {

class SweepFloor : public hk::test::KernelTest {};

// The calls the drivers make in the clean life of an 8-port PCI board reached
// through memory, as the sweep counts them.
std::pair<sim::BoardScenario, std::vector<hk::FallibleCall>> CleanLifeThroughMemory()
{
    for (const sim::SweepCase &c : sim::SweepCases()) {
        if (c.variant != "memory" || c.scenario.boards[0].ports != 8 || c.bus != "pci") continue;
        sim::RunScenario(c.scenario, [] { hk::AimFaultsAt({"mpsbus", "mpsfilt"}); });
        return {c.scenario.boards[0], hk::CountedCalls()};
    }
    ADD_FAILURE() << "no 8-port PCI board reached through memory among the sweep's cases";
    return {};
}

TEST_F(SweepFloor, TheCleanLifeReachesEveryFloorAndACountWithoutOneServiceIsNamed)
{
    const auto [board, calls] = CleanLifeThroughMemory();
    EXPECT_THAT(sim::CallsBelowFloor(board, calls), testing::IsEmpty());
    const struct {
        const char *image;
        hk::Service service;
    } kLost[] = {
        {"mpsbus", hk::Service::Pool},          {"mpsbus", hk::Service::Irp},
        {"mpsbus", hk::Service::CreateDevice},  {"mpsbus", hk::Service::Attach},
        {"mpsbus", hk::Service::MapIoSpace},    {"mpsbus", hk::Service::Property},
        {"mpsbus", hk::Service::RegistryOpen},  {"mpsbus", hk::Service::RegistryRead},
        {"mpsbus", hk::Service::RegistryWrite}, {"mpsfilt", hk::Service::Pool},
        {"mpsfilt", hk::Service::Irp},          {"mpsfilt", hk::Service::CreateDevice},
        {"mpsfilt", hk::Service::Attach},       {"mpsfilt", hk::Service::Property},
        {"mpsfilt", hk::Service::RegistryOpen},
    };
    for (const auto &lost : kLost) {
        const std::string name = std::string(lost.image) + " made 0 " + hk::ServiceName(lost.service) + " calls";
        SCOPED_TRACE(name);
        std::vector<hk::FallibleCall> fewer;
        for (const hk::FallibleCall &call : calls)
            if (call.image != lost.image || call.service != lost.service) fewer.push_back(call);
        EXPECT_THAT(sim::CallsBelowFloor(board, fewer), testing::ElementsAre(testing::HasSubstr(name)));
    }
}

TEST_F(SweepFloor, ABoardReachedThroughPortsNeedsNoMapping)
{
    auto [board, calls] = CleanLifeThroughMemory();
    std::vector<hk::FallibleCall> unmapped;
    for (const hk::FallibleCall &call : calls)
        if (call.service != hk::Service::MapIoSpace) unmapped.push_back(call);
    EXPECT_THAT(sim::CallsBelowFloor(board, unmapped), testing::SizeIs(1));
    board.resources.inMemorySpace = false;
    EXPECT_THAT(sim::CallsBelowFloor(board, unmapped), testing::IsEmpty());
}

}  // namespace
