// Several port stacks at once: queries and list copies on many threads while
// the board is being removed. Every reference handed out is given back, no
// rule is broken, and the removal completes only after the last dereference.
#include "PciParent/bus_interface.h"
#include "interface_board.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace interfacetest {
namespace {

using namespace std::chrono_literals;

class Threads : public InterfaceTest {};

TEST_F(Threads, QueriesAndCopiesWhileTheBoardIsRemoved)
{
    constexpr int kThreads = 6;
    constexpr int kPorts = 4;
    Capture(kPci, {PortDescriptor(0xE000, 0x80), PortDescriptor(0xD000, 32), InterruptDescriptor(9, 9)},
            {PortDescriptor(0xE000, 0x80), PortDescriptor(0xD000, 32), InterruptDescriptor(9, 9)});
    PDEVICE_OBJECT ports[kPorts] = {port_};
    for (int i = 1; i < kPorts; ++i) ports[i] = CreatePort(boardDevice_, i + 1);
    BoardExtension *board = board_;

    // One reference held by the test keeps the port devices in place until
    // every worker has stopped sending to them.
    PortBusInterface keeper{};
    ASSERT_EQ(Query(port_, &keeper), STATUS_SUCCESS);

    std::atomic<int> queried{0}, dereferenced{0}, copied{0}, refused{0}, wrong{0};
    std::atomic<bool> removalStarted{false};
    auto worker = [&](int index) {
        PDEVICE_OBJECT port = ports[index % kPorts];
        // Until a query has been refused since the removal began, with an
        // upper bound in case the removal never comes.
        for (int round = 0; round < 5000; ++round) {
            const bool afterStart = removalStarted.load();
            PortBusInterface record{};
            NTSTATUS status = Query(port, &record);
            if (!NT_SUCCESS(status)) {
                if (status != STATUS_NO_SUCH_DEVICE && status != STATUS_DELETE_PENDING) ++wrong;
                ++refused;
                if (afterStart) return;
                continue;
            }
            ++queried;
            PCM_RESOURCE_LIST raw = nullptr, translated = nullptr;
            if (record.GetResourceLists(record.Context, &raw, &translated) == STATUS_SUCCESS) {
                if (raw->List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length != 1) ++wrong;
                ExFreePool(raw);
                ExFreePool(translated);
                ++copied;
            } else {
                ++wrong;
            }
            ++dereferenced;
            record.InterfaceDereference(record.Context);
        }
    };

    std::vector<std::thread> workers;
    for (int i = 0; i < kThreads; ++i) workers.emplace_back(worker, i);
    while (copied.load() < 50) std::this_thread::yield();

    removalStarted = true;
    auto removal = std::async(std::launch::async, [&] { return RemoveBoard(); });
    for (std::thread &t : workers) t.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(refused.load(), kThreads) << "every worker saw the removal";
    EXPECT_EQ(queried.load(), dereferenced.load());
    EXPECT_TRUE(hk::AwaitWaiterOn(&board->RemoveLock.Common.RemoveEvent,
                                  [&] { return removal.wait_for(0s) == std::future_status::ready; }))
        << "removal went on under the keeper's reference";
    EXPECT_EQ(board->InterfaceRefCount, 1) << "only the keeper's reference is left";

    stacktest::RecordEvent("last dereference");
    keeper.InterfaceDereference(keeper.Context);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(stacktest::EventsStartingWith("last dereference").size(), 1u);
    const std::vector<std::string> events = stacktest::Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "RemoveDevice");
    EXPECT_EQ(events[events.size() - 2], "last dereference");
}

}  // namespace
}  // namespace interfacetest
