#include <cstdlib>
#include <cxxabi.h>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <typeindex>

#include "Lumo/Exception.h"
#include "Vex/Alloc.h"

namespace Vex {

namespace Slab::Detail {
__thread FreeBlock** tHeads = nullptr;
}  // namespace Slab::Detail

namespace {

using Slab::Detail::FreeBlock;
using Slab::Detail::kClasses;
using Slab::Detail::kGrain;
using Slab::Detail::tHeads;

constexpr std::size_t kPageBytes = 64 * 1024;

// Lists of threads that ended; refills come from here before new pages are cut.
struct Depot {
    std::mutex mutex;
    FreeBlock* heads[kClasses] = {};
    std::atomic<bool> nonEmpty[kClasses] = {};

    // Under the mutex.
    void push(FreeBlock* b, std::size_t c) {
        b->next = heads[c];
        heads[c] = b;
        nonEmpty[c].store(true, std::memory_order_relaxed);
    }
};
Depot& depot() {
    static Depot* d = new Depot;  // lives until exit: blocks may be freed by late destructors
    return *d;
}

struct ThreadCache {
    FreeBlock* heads[kClasses] = {};
    char* bump = nullptr;
    char* bumpEnd = nullptr;

    // The list of class c is empty: take the depot's list of that class, or
    // cut a block from the current page.
    void* refill(std::size_t c) {
        std::size_t const bytes = (c + 1) * kGrain;
        Depot& d = depot();
        if (d.nonEmpty[c].load(std::memory_order_relaxed)) {
            std::lock_guard lock(d.mutex);
            if (FreeBlock* b = d.heads[c]) {
                heads[c] = b->next;
                d.heads[c] = nullptr;
                d.nonEmpty[c].store(false, std::memory_order_relaxed);
                return b;
            }
        }
        if (std::size_t(bumpEnd - bump) < bytes) {
            // The rest of the old page is lost to fragmentation (at most one
            // block of the largest class).
            bump = static_cast<char*>(std::malloc(kPageBytes));
            if (!bump) Lumo::raise<Lumo::MemoryResourceException>("slab: no memory for a page of {} bytes", kPageBytes);
            bumpEnd = bump + kPageBytes;
        }
        void* p = bump;
        bump += bytes;
        return p;
    }

    void giveBackToDepot() {
        Depot& d = depot();
        std::lock_guard lock(d.mutex);
        for (std::size_t c = 0; c < kClasses; ++c) {
            while (FreeBlock* b = heads[c]) {
                heads[c] = b->next;
                d.push(b, c);
            }
        }
    }
};

// A trivially initialised TLS pointer (cheap to reach from a shared library
// with the initial-exec model); the guard's destructor gives the lists back.
// tHeads points into the same cache while it exists.
__attribute__((tls_model("initial-exec"))) thread_local ThreadCache* tCache = nullptr;

struct ThreadCacheGuard {
    ~ThreadCacheGuard() {
        if (tCache) {
            tHeads = nullptr;
            tCache->giveBackToDepot();
            delete tCache;
            tCache = nullptr;
        }
    }
};

ThreadCache* newThreadCache() {
    static thread_local ThreadCacheGuard guard;
    (void)&guard;
    tCache = new ThreadCache;
    tHeads = tCache->heads;
    return tCache;
}

}  // namespace

namespace Slab::Detail {

void* allocateSlow(std::size_t bytes) {
    if (kBypass || bytes > kSlabMaxBytes || bytes == 0) {
        void* p = std::malloc(bytes ? bytes : 1);
        if (!p) Lumo::raise<Lumo::MemoryResourceException>("slab: no memory for {} bytes", bytes);
        return p;
    }
    ThreadCache* tc = tCache ? tCache : newThreadCache();
    std::size_t const c = (bytes - 1) / kGrain;
    if (FreeBlock* b = tc->heads[c]) {
        tc->heads[c] = b->next;
        return b;
    }
    return tc->refill(c);
}

void freeSlow(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    if (kBypass || bytes > kSlabMaxBytes || bytes == 0) {
        std::free(p);
        return;
    }
    std::size_t const c = (bytes - 1) / kGrain;
    if (ThreadCache* tc = tCache) {
        auto* b = static_cast<FreeBlock*>(p);
        b->next = tc->heads[c];
        tc->heads[c] = b;
        return;
    }
    // The thread's cache is gone (a destructor running at thread exit) or
    // was never made: hand the block to the depot directly.
    Depot& d = depot();
    std::lock_guard lock(d.mutex);
    d.push(static_cast<FreeBlock*>(p), c);
}

}  // namespace Slab::Detail

namespace {
struct TrackerRegistry {
    std::mutex mutex;
    std::map<std::type_index, AllocTrackTypeInfo*> byType;
};
TrackerRegistry& trackers() {
    static TrackerRegistry* r = new TrackerRegistry;
    return *r;
}
}  // namespace

AllocTrackTypeInfo::AllocTrackTypeInfo(std::type_info const& type) : type_(type) {
    auto& r = trackers();
    std::lock_guard lock(r.mutex);
    r.byType.emplace(std::type_index(type), this);
}

AllocTrackTypeInfo::~AllocTrackTypeInfo() {
    auto& r = trackers();
    std::lock_guard lock(r.mutex);
    auto it = r.byType.find(std::type_index(type_));
    if (it != r.byType.end() && it->second == this) r.byType.erase(it);
}

AllocTrackTypeInfo::Counts AllocTrackTypeInfo::counts() const {
    Counts c;
    auto load = [](auto const& v) {
        using V = std::remove_cvref_t<decltype(v)>;
        return std::atomic_ref<V>(const_cast<V&>(v)).load(std::memory_order_relaxed);
    };
    c.allocations = load(allocations_);
    c.deallocations = load(deallocations_);
    c.liveElements = load(liveElements_);
    c.liveBytes = load(liveBytes_);
    return c;
}

std::string AllocTrackTypeInfo::typeName() const {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(type_.name(), nullptr, nullptr, &status),
                                             std::free);
    return status == 0 && d ? std::string(d.get()) : std::string(type_.name());
}

AllocTrackTypeInfo* AllocTrackTypeInfo::find(std::type_info const& type) {
    auto& r = trackers();
    std::lock_guard lock(r.mutex);
    auto it = r.byType.find(std::type_index(type));
    return it == r.byType.end() ? nullptr : it->second;
}

std::vector<AllocTrackTypeInfo*> AllocTrackTypeInfo::all() {
    auto& r = trackers();
    std::lock_guard lock(r.mutex);
    std::vector<AllocTrackTypeInfo*> out;
    for (auto& [t, p] : r.byType) out.push_back(p);
    return out;
}

}  // namespace Vex
