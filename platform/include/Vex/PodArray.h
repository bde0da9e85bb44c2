#pragma once
// A flat array with a current size: a 32-bit size followed by Cap elements,
// kept inside its owner and copied byte for byte (no pointers), so that a
// record holding it can live in shared memory. Only the elements below the
// size are part of the value; every position at or beyond the size reads as
// zero. Storage beyond the size is kept zero by every operation here, so a
// copy of the whole array is always a faithful copy of the value.
//
// The array is trivially copyable: a record that holds it is stored in a
// shared-memory slot and read back with a plain byte copy. No operation here
// can make the size exceed Cap; a size above Cap can only arrive in bytes
// from outside (a damaged shared file); size() clamps it to Cap, and every
// operation here goes through size(), so such an array reads as its first
// Cap elements and equals no other array.
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Vex {

namespace PodArrayImpl {
[[noreturn]] void throwRangeException(std::uint32_t capacity, std::uint32_t index);
}

template <class T, class IndexT, unsigned Cap, unsigned Flags = 0u>
class PodArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    static constexpr std::uint32_t kCapacity = Cap;

    PodArray() = default;

    std::uint32_t size() const { return size_ <= Cap ? size_ : Cap; }
    // The size as stored, above Cap only in damaged bytes: for a caller that
    // clamps it itself where it matters (a field setter, on its slow path).
    std::uint32_t storedSize() const { return size_; }
    static constexpr std::uint32_t capacity() { return Cap; }
    T const* data() const { return data_; }
    T* data() { return data_; }

    // Element i, zero at or beyond the size.
    T operator[](std::uint32_t i) const { return i < size() ? data_[i] : T{}; }

    // Sets element i, growing the size to i + 1 (new elements zero). No trim.
    void set(std::uint32_t i, T v) {
        if (i >= Cap) PodArrayImpl::throwRangeException(Cap, i);
        if (i >= size()) size_ = i + 1;  // storage past the old size is already zero
        data_[i] = v;
    }
    // Removes element i: returns it (zero when at or beyond the size). The last
    // element is removed with a trailing-zero trim; any other becomes zero.
    T del(std::uint32_t i) {
        if (i >= size()) return T{};
        T const old = data_[i];
        data_[i] = T{};
        if (i + 1 == size()) trim();
        return old;
    }
    void delAll() {
        std::memset(data_, 0, sizeof(data_));
        size_ = 0;
    }
    // Removes trailing zero elements, down to an empty array.
    void trim() {
        std::uint32_t n = size();
        while (n > 0 && data_[n - 1] == T{}) --n;
        size_ = n;
    }
    // Raw size change for bulk writers: storage past the new size is cleared.
    void sizeIs(std::uint32_t n) {
        if (n > Cap) PodArrayImpl::throwRangeException(Cap, n);
        if (n < size()) std::memset(data_ + n, 0, (size() - n) * sizeof(T));
        size_ = n;
    }

    // Size change for a caller that has just written the storage itself and
    // guarantees every element from n on is zero (a trim after a field write).
    void sizeIsZeroTail(std::uint32_t n) { size_ = n; }

    friend bool operator==(PodArray const& a, PodArray const& b) {
        return a.size_ == b.size_ && a.size_ <= Cap && std::memcmp(a.data_, b.data_, a.size_ * sizeof(T)) == 0;
    }

private:
    std::uint32_t size_ = 0;
    T data_[Cap] = {};
};

static_assert(std::is_trivially_copyable_v<PodArray<unsigned char, unsigned, 20u>> &&
              sizeof(PodArray<unsigned char, unsigned, 20u>) == 24);

}  // namespace Vex
