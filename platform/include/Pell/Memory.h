#pragma once
// Lazily allocated, shared, fixed-size byte blocks.
//
// Pointer<Array<T, SizeT, N, 0>> is two words: the element pointer and a
// pointer to the block's shared reference count. It is null until allocate()
// creates a zero-filled block of N elements; later calls return the same
// block. Copies share the block (one more reference): writing through one
// copy is seen through every copy. A null pointer reads, compares and hashes
// as N zero elements.
//
// Ownership: each non-null Pointer holds one reference; the block is freed
// when the last reference goes. The count follows the process's thread mode
// (Lumo/ThreadMode.h). The bytes themselves are not protected: concurrent
// writers must not share one block.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "Lumo/ThreadMode.h"

namespace Pell::Core::Memory {

template <class T, class SizeT, SizeT N, unsigned Flags = 0u>
struct Array {
    using value_type = T;
    using size_type = SizeT;
    static constexpr SizeT capacity = N;
    static_assert(N > 0);
};

namespace Impl {
// Block layout: [RefCount (8 bytes)] [N elements]. The count sits in front
// of the elements so that one allocation serves both.
struct BlockHeader {
    Lumo::RefCount refs;
    std::uint32_t pad_;
};
static_assert(sizeof(BlockHeader) == 8);

void* allocateBlock(std::size_t bytes);  // zero-filled, header initialised to 1 reference
void freeBlock(BlockHeader* h);
std::uint64_t liveBlocks();              // blocks currently allocated, for leak checks
}  // namespace Impl

template <class A>
class Pointer {
public:
    using T = typename A::value_type;
    static constexpr std::size_t N = A::capacity;
    static constexpr std::size_t kBytes = N * sizeof(T);

    Pointer() = default;
    Pointer(Pointer const& o) : elems_(o.elems_), count_(o.count_) {
        if (count_) count_->refs.inc();
    }
    Pointer(Pointer&& o) noexcept : elems_(std::exchange(o.elems_, nullptr)), count_(std::exchange(o.count_, nullptr)) {}
    Pointer& operator=(Pointer const& o) {
        if (this != &o) {
            Pointer tmp(o);
            swap(tmp);
        }
        return *this;
    }
    Pointer& operator=(Pointer&& o) noexcept {
        if (this != &o) {
            release();
            elems_ = std::exchange(o.elems_, nullptr);
            count_ = std::exchange(o.count_, nullptr);
        }
        return *this;
    }
    ~Pointer() { release(); }

    void swap(Pointer& o) noexcept {
        std::swap(elems_, o.elems_);
        std::swap(count_, o.count_);
    }

    // The block, created zero-filled on first use. Const because a reader of
    // a fresh entry allocates too: the block is part of the value's storage.
    T* allocate() const {
        if (__builtin_expect(elems_ == nullptr, 0)) allocateSlow();
        return elems_;
    }
    T* get() const { return elems_; }  // null until allocated
    bool isNull() const { return elems_ == nullptr; }
    explicit operator bool() const { return elems_ != nullptr; }
    std::uint32_t useCount() const { return count_ ? count_->refs.count() : 0; }
    bool sameBlock(Pointer const& o) const { return elems_ == o.elems_; }

    // Same block, or the same bytes with a null pointer reading as zeros.
    friend bool operator==(Pointer const& a, Pointer const& b) {
        if (a.elems_ == b.elems_) return true;
        if (a.elems_ && b.elems_) return std::memcmp(a.elems_, b.elems_, kBytes) == 0;
        T const* p = a.elems_ ? a.elems_ : b.elems_;
        for (std::size_t i = 0; i < kBytes; ++i)
            if (reinterpret_cast<unsigned char const*>(p)[i] != 0) return false;
        return true;
    }

    // Gives up this pointer's reference without releasing it, for engines
    // that move the two words elsewhere byte for byte.
    void forget() { elems_ = nullptr, count_ = nullptr; }

private:
    void allocateSlow() const {
        void* raw = Impl::allocateBlock(sizeof(Impl::BlockHeader) + kBytes);
        count_ = static_cast<Impl::BlockHeader*>(raw);
        elems_ = reinterpret_cast<T*>(static_cast<char*>(raw) + sizeof(Impl::BlockHeader));
    }
    void release() {
        if (count_ && count_->refs.dec() == 0) Impl::freeBlock(count_);
        elems_ = nullptr;
        count_ = nullptr;
    }

    mutable T* elems_ = nullptr;
    mutable Impl::BlockHeader* count_ = nullptr;
};

}  // namespace Pell::Core::Memory
