#include "lower_completion.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace sim {

namespace {

enum class Completion { Passive, Dispatch, Later };

// A request completed from a thread of its own; the flag is set once the
// completion has run, so the thread can be joined without waiting long.
struct LaterCompletion {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

struct Chooser {
    std::mutex lock;
    uint32_t seed = kDefaultCompletionSeed;
    std::mt19937 random{kDefaultCompletionSeed};
    std::vector<LaterCompletion> later;
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
    // Threads that are done are joined now: a machine with hundreds of boards
    // would otherwise keep a stack for every request it ever completed later,
    // more than a 32-bit process has room for.
    for (size_t i = 0; i < state.later.size();) {
        if (state.later[i].done->load()) {
            state.later[i].thread.join();
            state.later[i] = std::move(state.later.back());
            state.later.pop_back();
        } else {
            ++i;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    state.later.push_back({std::thread([irp, done] {
                               CompleteAtDispatch(irp);
                               done->store(true);
                           }),
                           done});
    return STATUS_PENDING;
}

void JoinLowerCompletions()
{
    std::vector<LaterCompletion> later;
    {
        Chooser &state = State();
        std::lock_guard<std::mutex> hold(state.lock);
        later.swap(state.later);
    }
    for (LaterCompletion &completion : later) completion.thread.join();
}

}  // namespace sim
