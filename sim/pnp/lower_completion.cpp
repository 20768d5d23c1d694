#include "lower_completion.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

namespace sim {

namespace {

enum class Completion { Passive, Dispatch, Later };

struct Chooser {
    std::mutex lock;
    uint32_t seed = kDefaultCompletionSeed;
    std::mt19937 random{kDefaultCompletionSeed};
};

Chooser &State()
{
    static auto *state = new Chooser;
    return *state;
}

void CompleteAtDispatch(PIRP irp)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

// Requests completed later run on one thread of their own, in the order they
// came, as DPCs queued to another processor do. The thread starts with the
// first such request and stays: a thread per request cost more than the rest
// of the request's life, and on a machine with hundreds of boards would keep
// a stack for every request still being joined.
class LaterCompletions {
public:
    void Add(PIRP irp)
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
        queue_.push_back(irp);
        work_.notify_one();
    }

    // Returns once every request handed over, and any that their completion
    // routines sent down and that completed later in turn, has completed.
    void WaitUntilIdle()
    {
        std::unique_lock<std::mutex> hold(lock_);
        idle_.wait(hold, [this] { return queue_.empty() && !running_; });
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            work_.wait(hold, [this] { return !queue_.empty(); });
            PIRP irp = queue_.front();
            queue_.pop_front();
            running_ = true;
            hold.unlock();
            CompleteAtDispatch(irp);
            hold.lock();
            running_ = false;
            if (queue_.empty()) idle_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable work_, idle_;
    std::deque<PIRP> queue_;
    bool running_ = false;
    std::thread thread_;
};

// Never destroyed: the thread waits for work until the process ends.
LaterCompletions &Later()
{
    static auto *later = new LaterCompletions;
    return *later;
}

Completion Next()
{
    Chooser &state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    return static_cast<Completion>(state.random() % 3);
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
    Later().Add(irp);
    return STATUS_PENDING;
}

void JoinLowerCompletions() { Later().WaitUntilIdle(); }

}  // namespace sim
