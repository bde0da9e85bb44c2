#pragma once
// Bookkeeping of a full validation walk over a slot file: every slot must be
// seen exactly once, either in a bucket chain (occupied) or on the free list.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace Vorn {

class Validator {
public:
    explicit Validator(std::uint32_t numSlots) : state_(numSlots, 0) {}

    bool markOccupied(std::uint32_t slot, std::string& message) { return mark(slot, kOccupied, message); }
    bool markFree(std::uint32_t slot, std::string& message) { return mark(slot, kFree, message); }
    std::uint32_t occupied() const { return occupied_; }
    std::uint32_t free() const { return free_; }

private:
    static constexpr std::uint8_t kOccupied = 1, kFree = 2;
    bool mark(std::uint32_t slot, std::uint8_t what, std::string& message) {
        if (slot >= state_.size()) {
            message = fmt::format("out-of-range index: {} max:{}", slot, state_.size());
            return false;
        }
        if (state_[slot] != 0) {
            message = fmt::format("slot {} seen twice (as {} and as {})", slot, name(state_[slot]), name(what));
            return false;
        }
        state_[slot] = what;
        ++(what == kOccupied ? occupied_ : free_);
        return true;
    }
    static char const* name(std::uint8_t s) { return s == kOccupied ? "occupied" : "free"; }

    std::vector<std::uint8_t> state_;
    std::uint32_t occupied_ = 0;
    std::uint32_t free_ = 0;
};

}  // namespace Vorn
