#pragma once
// Copies to and from memory that another process may be changing. Every
// 8-byte word is moved with a relaxed atomic load and store, so a copy is
// never a data race (a concurrent writer can make it inconsistent, which the
// caller's sequence check detects, but never undefined). Both ends must be
// 8-byte aligned and the length a multiple of 8.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Mem {

inline void wordCopy(void* dst, void const* src, std::size_t bytes) {
    auto* d = static_cast<std::uint64_t*>(dst);
    auto* s = static_cast<std::uint64_t*>(const_cast<void*>(src));
#if defined(__clang__)
#pragma unroll 8
#else
#pragma GCC unroll 8
#endif
    for (std::size_t i = 0, n = bytes / 8; i < n; ++i)
        std::atomic_ref<std::uint64_t>(d[i]).store(std::atomic_ref<std::uint64_t>(s[i]).load(std::memory_order_relaxed),
                                                   std::memory_order_relaxed);
}

// A consistent snapshot of a header that a writer may be updating: copies
// until two copies in a row agree (at most kSnapshotTries times; each retry
// means the writer changed the header meanwhile). True when they agreed;
// otherwise `dst` holds the last copy and the caller's own checks (magic,
// sizes, generations) must still treat it with suspicion. Headers larger
// than kSnapshotMax bytes are copied once.
constexpr std::size_t kSnapshotMax = 1024;
constexpr int kSnapshotTries = 64;
bool safeHeaderCopy(void* dst, void const* src, std::size_t bytes);

// A thread fence. ThreadSanitizer (gcc) does not model fences; there it is a
// compiler fence, which on x86-64 is what an acquire or release fence
// compiles to anyway (the hardware keeps stores and loads in order).
inline void threadFence(std::memory_order o) {
#if defined(__SANITIZE_THREAD__)
    std::atomic_signal_fence(o);
#else
    std::atomic_thread_fence(o);
#endif
}

template <class T>
inline T atomicLoad(T const& v, std::memory_order o = std::memory_order_acquire) {
    return std::atomic_ref<T>(const_cast<T&>(v)).load(o);
}
template <class T>
inline void atomicStore(T& v, T x, std::memory_order o = std::memory_order_release) {
    std::atomic_ref<T>(v).store(x, o);
}

}  // namespace Mem
