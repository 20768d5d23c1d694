// The seed that picks how the simulated lower drivers complete: every way
// comes up, the choices show where completion routines run, and one seed
// always makes the same choices.
#include "lower_completion.h"

#include "support/kernel_test.h"

#include <thread>
#include <vector>

namespace {

struct Seen {
    KIRQL irql;
    bool otherThread;
};

struct Probe {
    std::thread::id sender;
    Seen seen;
};

NTSTATUS NTAPI NoteCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto *probe = static_cast<Probe *>(context);
    probe->seen = Seen{KeGetCurrentIrql(), std::this_thread::get_id() != probe->sender};
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// One request per draw, as a lower driver sees it: what came back and where
// its sender's completion routine ran.
std::vector<std::pair<NTSTATUS, Seen>> Draw(uint32_t seed, int count)
{
    sim::SetCompletionSeed(seed);
    std::vector<std::pair<NTSTATUS, Seen>> out;
    for (int i = 0; i < count; ++i) {
        PIRP irp = hk::AllocateManagerIrp(2);
        Probe probe{std::this_thread::get_id(), {}};
        IoSetCompletionRoutine(irp, NoteCompletion, &probe, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);  // the lower driver's location is current
        const NTSTATUS returned = sim::CompleteLowerRequest(irp, STATUS_SUCCESS);
        sim::JoinLowerCompletions();
        out.emplace_back(returned, probe.seen);
        IoFreeIrp(irp);
    }
    return out;
}

using LowerCompletion = hk::test::KernelTest;

TEST_F(LowerCompletion, EveryWayComesUpAndOneSeedRepeatsItself)
{
    const auto first = Draw(7, 30);
    int passive = 0, dispatch = 0, later = 0;
    for (const auto &[returned, seen] : first) {
        if (returned == STATUS_PENDING) {
            ++later;
            EXPECT_TRUE(seen.otherThread);
            EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
        } else if (seen.irql == DISPATCH_LEVEL) {
            ++dispatch;
            EXPECT_FALSE(seen.otherThread);
        } else {
            ++passive;
            EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
        }
    }
    EXPECT_GT(passive, 0);
    EXPECT_GT(dispatch, 0);
    EXPECT_GT(later, 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    const auto again = Draw(7, 30);
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].first, again[i].first) << i;
        EXPECT_EQ(first[i].second.irql, again[i].second.irql) << i;
    }
    EXPECT_EQ(sim::CompletionSeed(), 7u);
    sim::SetCompletionSeed(sim::kDefaultCompletionSeed);
}

}  // namespace
