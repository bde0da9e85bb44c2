#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "Lumo/Exception.h"
#include "Pell/Memory.h"
#include "Pell/Utility.h"

namespace Pell {
namespace Utility {
void affirmFailed(char const* file, char const* function, unsigned line) {
    std::fprintf(stderr, "Pell::Utility::affirm failed: %s, function %s, line %u\n", file, function, line);
    std::fflush(stderr);
    std::abort();
}
}  // namespace Utility

namespace Core::Memory::Impl {
namespace {
std::atomic<std::uint64_t> gLiveBlocks{0};
}

void* allocateBlock(std::size_t bytes) {
    void* raw = std::calloc(1, bytes);
    if (!raw) Lumo::raise<Lumo::MemoryResourceException>("cannot allocate a data block of {} bytes", bytes);
    new (raw) BlockHeader{Lumo::RefCount(1), 0};
    gLiveBlocks.fetch_add(1, std::memory_order_relaxed);
    return raw;
}

void freeBlock(BlockHeader* h) {
    h->~BlockHeader();
    std::free(h);
    gLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
}

std::uint64_t liveBlocks() { return gLiveBlocks.load(std::memory_order_relaxed); }
}  // namespace Core::Memory::Impl
}  // namespace Pell
