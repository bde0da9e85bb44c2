#pragma once
// The process slab allocator and per-type allocation tracking.
//
// Slab: blocks are served from per-thread free lists, one list per size class
// of 8 bytes up to kSlabMaxBytes; larger blocks come from operator new. Pages
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
// Raises Lumo::MemoryResourceException when no memory can be had.
void* allocate(std::size_t bytes);
void free(void* p, std::size_t bytes) noexcept;
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
        add(allocations_, 1);
        add(liveElements_, std::int64_t(count));
        add(liveBytes_, std::int64_t(elementSize * count));
    }
    void _trackDeallocation(std::type_info const& type, std::size_t elementSize, std::size_t count = 1) {
        (void)type;
        add(deallocations_, 1);
        add(liveElements_, -std::int64_t(count));
        add(liveBytes_, -std::int64_t(elementSize * count));
    }

    Counts counts() const;
    std::type_info const& type() const { return type_; }
    // Demangled type name.
    std::string typeName() const;

    static AllocTrackTypeInfo* find(std::type_info const& type);
    static std::vector<AllocTrackTypeInfo*> all();

private:
    template <class V, class D>
    static void add(std::atomic<V>& a, D d) {
        if (Lumo::threadSafeMode())
            a.fetch_add(V(d), std::memory_order_relaxed);
        else
            a.store(V(a.load(std::memory_order_relaxed) + V(d)), std::memory_order_relaxed);
    }

    std::type_info const& type_;
    std::atomic<std::uint64_t> allocations_{0};
    std::atomic<std::uint64_t> deallocations_{0};
    std::atomic<std::int64_t> liveElements_{0};
    std::atomic<std::int64_t> liveBytes_{0};
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
