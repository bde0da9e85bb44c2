#pragma once
// Whether the process runs in thread-safe mode. Reference counts of entities
// and shared data blocks are atomic read-modify-writes in thread-safe mode and
// plain increments otherwise. A process that starts a second thread touching
// shared counts must call threadSafeModeIs(true) before doing so.
#include <atomic>
#include <cstdint>

namespace Lumo {

namespace Impl {
extern bool gThreadSafeMode;
}

inline bool threadSafeMode() { return Impl::gThreadSafeMode; }
void threadSafeModeIs(bool on);

// Reference count that follows the process's thread mode. The count is always
// held in an atomic so that switching modes needs no conversion; in single
// thread mode updates are relaxed load + store, which cost what a plain
// increment costs.
class RefCount {
public:
    explicit RefCount(std::uint32_t initial = 0) : n_(initial) {}
    std::uint32_t count() const { return n_.load(std::memory_order_relaxed); }
    void inc() {
        if (threadSafeMode())
            n_.fetch_add(1, std::memory_order_relaxed);
        else
            n_.store(n_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    // Returns the count after the decrement; 0 means the last reference went.
    std::uint32_t dec() {
        if (threadSafeMode()) return n_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        std::uint32_t v = n_.load(std::memory_order_relaxed) - 1;
        n_.store(v, std::memory_order_relaxed);
        return v;
    }

private:
    std::atomic<std::uint32_t> n_;
};

}  // namespace Lumo
