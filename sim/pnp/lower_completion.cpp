#include "lower_completion.h"

#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace sim {

namespace {

enum class Completion { Passive, Dispatch, Later };

struct Chooser {
    std::mutex lock;
    uint32_t seed = kDefaultCompletionSeed;
    std::mt19937 random{kDefaultCompletionSeed};
    std::vector<std::thread> later;
};

Chooser &State()
{
    static auto *state = new Chooser;
    return *state;
}

Completion Next()
{
    Chooser &state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    return static_cast<Completion>(state.random() % 3);
}

void CompleteAtDispatch(PIRP irp)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

}  // namespace

void SetCompletionSeed(uint32_t seed)
{
    JoinLowerCompletions();
    Chooser &state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    state.seed = seed;
    state.random.seed(seed);
}

uint32_t CompletionSeed()
{
    Chooser &state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    return state.seed;
}

NTSTATUS CompleteLowerRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    switch (Next()) {
    case Completion::Passive: IoCompleteRequest(irp, IO_NO_INCREMENT); return status;
    case Completion::Dispatch: CompleteAtDispatch(irp); return status;
    case Completion::Later: break;
    }
    IoMarkIrpPending(irp);
    Chooser &state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    state.later.emplace_back(CompleteAtDispatch, irp);
    return STATUS_PENDING;
}

void JoinLowerCompletions()
{
    std::vector<std::thread> later;
    {
        Chooser &state = State();
        std::lock_guard<std::mutex> hold(state.lock);
        later.swap(state.later);
    }
    for (std::thread &thread : later) thread.join();
}

}  // namespace sim
