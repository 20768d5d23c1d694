/*
 * Freed kernel memory is held back from the C library for a while, so that
 * the same address cannot come back at once as a new block: a second free or
 * a late use of a freed pointer is then recognised as such, never mistaken
 * for an operation on a new block.
 */
#pragma once

#include <cstdlib>
#include <deque>
#include <unordered_set>

namespace hk::internal {

class Quarantine {
public:
    explicit Quarantine(size_t capacity) : capacity_(capacity) {}

    // Takes ownership of |memory| (from malloc) whose user address is |key|.
    void Hold(const void *key, void *memory)
    {
        held_.push_back(Entry{key, memory});
        keys_.insert(key);
        while (held_.size() > capacity_) ReleaseOldest();
    }
    bool Holds(const void *key) const { return keys_.count(key) != 0; }
    void Clear()
    {
        while (!held_.empty()) ReleaseOldest();
    }

private:
    struct Entry {
        const void *key;
        void *memory;
    };
    void ReleaseOldest()
    {
        keys_.erase(held_.front().key);
        std::free(held_.front().memory);
        held_.pop_front();
    }
    size_t capacity_;
    std::deque<Entry> held_;
    std::unordered_multiset<const void *> keys_;
};

}  // namespace hk::internal
