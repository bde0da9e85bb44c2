#pragma once
#include <cstdint>

#include "Vorn/SlotLink.h"

namespace Vorn {

// Where an iteration stopped: the sequence, slot and bucket of the last value
// returned. next() resumes from it when the slot still holds that value.
struct IterHint {
    std::uint32_t sequence = 0;
    std::uint32_t slot = kLinkNone;
    std::uint32_t bucket = kLinkNone;
    void reset() { *this = IterHint{}; }
    bool valid() const { return slot != kLinkNone; }
};

}  // namespace Vorn
