#pragma once
// The process slab allocator and per-type allocation tracking.
//
// Slab: blocks are served from per-thread free lists, one list per size class
// of 8 bytes up to kSlabMaxBytes; larger blocks come from malloc. Pages
// of free blocks are never returned to the system; a thread's lists go to a
// process-wide depot when the thread ends and are reused from there. The
// caller gives the block's size back on free (as a sized delete does).
// In AddressSanitizer builds every block comes from malloc, so that the
// sanitizer sees each block's bounds.
//
// Tracking: one AllocTrackTypeInfo per type counts the allocations reported
// for it: how many reports, how many elements and bytes are live. A type's
// tracker is allocTracker<T>(); any tracker can be found again by type
// (AllocTrackTypeInfo::find) so that tests and diagnostics can read them back.
// Counts are atomic read-modify-writes in thread-safe mode, plain otherwise.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <typeinfo>
#include <vector>

#include "Lumo/ThreadMode.h"

namespace Vex {

inline constexpr std::size_t kSlabMaxBytes = 2048;

namespace Slab {
namespace Detail {
struct FreeBlock {
    FreeBlock* next;
};
inline constexpr std::size_t kGrain = 8;
inline constexpr std::size_t kClasses = kSlabMaxBytes / kGrain;  // class c holds blocks of (c + 1) * 8 bytes
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kBypass = true;
#else
inline constexpr bool kBypass = false;
#endif
// The calling thread's free list heads, one per size class; null before the
// thread's first slab call and after its cache went back to the depot.
// (__thread: no dynamic initialisation, so the inline paths below read it
// with one TLS load and no wrapper call.)
// Inside the runtime library (x2platform_EXPORTS) the initial-exec model:
// one offset load, and its whole TLS block (these pointers and the
// pending-destruction queue, a few dozen bytes) sits in the static TLS
// surplus. Elsewhere no model is forced: code inlined into another shared
// library must not make that library need static TLS, or it could not be
// loaded with dlopen. Users are compiled with TLS descriptors (x2platform's
// public -mtls-dialect=gnu2), which resolve to the same fixed offset once the
// runtime's block is in static TLS; an executable's link turns the access
// into a plain offset load.
#if defined(x2platform_EXPORTS)
extern __thread __attribute__((tls_model("initial-exec"))) FreeBlock** tHeads;
#else
extern __thread FreeBlock** tHeads;
#endif
void* allocateSlow(std::size_t bytes);
void freeSlow(void* p, std::size_t bytes) noexcept;
}  // namespace Detail

// Raises Lumo::MemoryResourceException when no memory can be had. The fast
// path (a block on the thread's list) is inline; refills and large blocks
// go out of line.
inline void* allocate(std::size_t bytes) {
    if constexpr (!Detail::kBypass) {
        if (bytes - 1 < kSlabMaxBytes) {
            if (Detail::FreeBlock** heads = Detail::tHeads) {
                std::size_t const c = (bytes - 1) / Detail::kGrain;
                if (Detail::FreeBlock* b = heads[c]) {
                    heads[c] = b->next;
                    // Freed blocks come back in any order: fetch the next
                    // one's line now rather than stall on it at the next call.
                    __builtin_prefetch(b->next, 1);
                    return b;
                }
            }
        }
    }
    return Detail::allocateSlow(bytes);
}
inline void free(void* p, std::size_t bytes) noexcept {
    if constexpr (!Detail::kBypass) {
        if (p && bytes - 1 < kSlabMaxBytes) {
            if (Detail::FreeBlock** heads = Detail::tHeads) {
                std::size_t const c = (bytes - 1) / Detail::kGrain;
                auto* b = static_cast<Detail::FreeBlock*>(p);
                b->next = heads[c];
                heads[c] = b;
                return;
            }
        }
    }
    Detail::freeSlow(p, bytes);
}
}  // namespace Slab

class AllocTrackTypeInfo {
public:
    struct Counts {
        std::uint64_t allocations = 0;    // reports of _trackAllocation
        std::uint64_t deallocations = 0;  // reports of _trackDeallocation
        std::int64_t liveElements = 0;
        std::int64_t liveBytes = 0;
    };

    // Registers the tracker under `type`; the first tracker of a type is the
    // one find() returns.
    explicit AllocTrackTypeInfo(std::type_info const& type);
    AllocTrackTypeInfo(AllocTrackTypeInfo const&) = delete;
    AllocTrackTypeInfo& operator=(AllocTrackTypeInfo const&) = delete;
    ~AllocTrackTypeInfo();

    // `count` elements of `elementSize` bytes each of the dynamic type `type`.
    void _trackAllocation(std::type_info const& type, std::size_t elementSize, std::size_t count = 1) {
        (void)type;
        change(1, 0, std::int64_t(count), std::int64_t(elementSize * count));
    }
    void _trackDeallocation(std::type_info const& type, std::size_t elementSize, std::size_t count = 1) {
        (void)type;
        change(0, 1, -std::int64_t(count), -std::int64_t(elementSize * count));
    }

    Counts counts() const;
    std::type_info const& type() const { return type_; }
    // Demangled type name.
    std::string typeName() const;

    static AllocTrackTypeInfo* find(std::type_info const& type);
    static std::vector<AllocTrackTypeInfo*> all();

private:
    // One test of the thread mode for the four counts. In single-thread mode
    // they are plain additions (one instruction each); in thread-safe mode
    // atomic ones. Readers load them atomically (counts()).
    void change(std::uint64_t allocs, std::uint64_t deallocs, std::int64_t elements, std::int64_t bytes) {
        if (Lumo::threadSafeMode()) {
            if (allocs) std::atomic_ref<std::uint64_t>(allocations_).fetch_add(allocs, std::memory_order_relaxed);
            if (deallocs) std::atomic_ref<std::uint64_t>(deallocations_).fetch_add(deallocs, std::memory_order_relaxed);
            std::atomic_ref<std::int64_t>(liveElements_).fetch_add(elements, std::memory_order_relaxed);
            std::atomic_ref<std::int64_t>(liveBytes_).fetch_add(bytes, std::memory_order_relaxed);
        } else {
            allocations_ += allocs;
            deallocations_ += deallocs;
            liveElements_ += elements;
            liveBytes_ += bytes;
        }
    }

    std::type_info const& type_;
    alignas(8) std::uint64_t allocations_ = 0;
    alignas(8) std::uint64_t deallocations_ = 0;
    alignas(8) std::int64_t liveElements_ = 0;
    alignas(8) std::int64_t liveBytes_ = 0;
};

template <class T>
AllocTrackTypeInfo& allocTracker() {
    static AllocTrackTypeInfo t(typeid(T));
    return t;
}

// Mixin that allocates T (and classes derived from it) from the slab and
// reports each allocation to T's tracker, with the object's actual size.
template <class T>
class SlabAllocated {
public:
    static void* operator new(std::size_t size) {
        void* p = Slab::allocate(size);
        allocTracker<T>()._trackAllocation(typeid(T), size);
        return p;
    }
    static void operator delete(void* p, std::size_t size) noexcept {
        if (!p) return;
        allocTracker<T>()._trackDeallocation(typeid(T), size);
        Slab::free(p, size);
    }
};

}  // namespace Vex
