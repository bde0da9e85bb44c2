#pragma once
// VornWriter: insert, overwrite, remove, mark and sweep.
// Included by Vorn/VornWriter.h only.

namespace Vorn {

template <class Ops>
typename VornWriter<Ops>::Value const* VornWriter<Ops>::write(Value const& value, bool overwrite) {
    Key key = Ops::keyOf(value);
    std::uint32_t hash = ops_.hash(key);
    LUMO_FMASSERT(directSlot_ == kLinkNone, "VornWriter",
                  "unbalanced directSlot:{} containing value:{} when writing value:{} - Make sure the "
                  "DirectIs/Commit are properly paired!",
                  directSlot_, directKey_, key);
    return critical([&]() -> Value const* {
        auto f = map_.find(key, hash);
        if (f.found) {
            Slot& s = slots_.slotUnchecked(f.curr);
            LUMO_FMTRACE(debug_, 5, "VornWriter", "existing {} bucket:{} slot:{} next:{}", key, f.bucket, f.curr,
                         SlotLink::linkOf(s.word.load(std::memory_order_relaxed)));
            if (!overwrite) return s.valuePtr();
            fill(s, value, f.order);
            quorl_.notify(f.curr, 0);
            return slots_.slotUnchecked(f.curr).valuePtr();
        }
        // f names links by position, so a remap by the growth in allocSlot()
        // is harmless to it.
        std::uint32_t idx = allocSlot();
        Slot& s = slots_.slotUnchecked(idx);
        SlotSequence::relink(s.word, SlotLink::linkOf(map_.link(f.prev).load(std::memory_order_relaxed)));
        fill(s, value, f.order);
        SlotSequence::relink(map_.link(f.prev), idx);
        LUMO_FMTRACE(debug_, 5, "VornWriter", "new {} bucket:{} slot:{} next:{}", key, f.bucket, idx,
                     SlotLink::linkOf(s.word.load(std::memory_order_relaxed)));
        if (members() > map_.growThreshold()) growBuckets();
        quorl_.notify(idx, 0);
        return slots_.slotUnchecked(idx).valuePtr();
    });
}

template <class Ops>
bool VornWriter<Ops>::remove(Key key, Value& out) {
    std::uint32_t hash = ops_.hash(key);
    LUMO_FMASSERT(directSlot_ == kLinkNone, "VornWriter",
                  "unbalanced directSlot:{} containing value:{} when removing key:{} - Make sure the "
                  "DirectIs/Commit are properly paired!",
                  directSlot_, directKey_, key);
    auto f = map_.find(key, hash);
    if (!f.found) return false;
    critical([&] {
        std::uint32_t idx = f.curr;
        Slot& s = slots_.slotUnchecked(idx);
        std::memcpy(static_cast<void*>(&out), s.value, sizeof(Value));
        // Unlinked first, then freed: a reader that reached the slot through
        // the old link sees that link's sequence move and restarts.
        SlotSequence::relink(map_.link(f.prev), SlotLink::linkOf(s.word.load(std::memory_order_relaxed)));
        auto& h = slots_.header().common;
        SlotSequence::vacate(s.word, h.freeListHead);
        Slots::setField(h.freeListHead, idx);
        Slots::setField(h.occupiedSlots, h.occupiedSlots - 1);
        ++counters_.removes;
        std::uint32_t threshold = slots_.shrinkThreshold();
        std::uint32_t request = h.occupiedSlots < threshold / 2 ? threshold : 0;
        quorl_.notify(idx, 0);
        LUMO_FMTRACE(debug_, 5, "VornWriter", "{} bucket:{} slot:{}", key, f.bucket, idx);
        doMaybeShrinkSlots(request);
        if (desc_.shrinkBuckets && members() < map_.shrinkThreshold()) shrinkBuckets();
    });
    return true;
}

template <class Ops>
bool VornWriter<Ops>::markAndSweepFlag(Key key, MarkOp op) {
    auto f = map_.find(key, ops_.hash(key));
    if (!f.found) return false;
    Slot& s = slots_.slotUnchecked(f.curr);
    switch (op) {
    case MarkOp::read: return (SlotLink::linkOf(s.word.load(std::memory_order_relaxed)) & kLinkMarkBit) != 0;
    case MarkOp::set:
    case MarkOp::clear: critical([&] { SlotSequence::markIs(s.word, op == MarkOp::set); }); return true;
    }
    return false;
}

// Write step 5: the new value and its order key into the slot.
template <class Ops>
void VornWriter<Ops>::fill(Slot& s, Value const& value, std::uint32_t order) {
    // The trailer: the order key in its first four bytes, then zero.
    std::uint32_t const words[2] = {order, 0};
    std::uint64_t trailer;
    std::memcpy(&trailer, words, 8);
    Slot& spare = slots_.header().spare;
    if constexpr (alignof(Value) >= 8) {
        SlotSequence::overwrite(s.word, s.payload(), spare.payload(), &value, sizeof(Value), trailer);
    } else {
        // Word copies need 8-aligned source words.
        alignas(8) unsigned char bytes[sizeof(Value)];
        std::memcpy(bytes, &value, sizeof(Value));
        SlotSequence::overwrite(s.word, s.payload(), spare.payload(), bytes, sizeof(Value), trailer);
    }
}

// Takes a free slot for a new key (grows the slot table when needed).
template <class Ops>
std::uint32_t VornWriter<Ops>::allocSlot() {
    std::uint32_t idx = slots_.alloc();
    auto& h = slots_.header().common;
    Slots::setField(h.occupiedSlots, h.occupiedSlots + 1);
    if (h.occupiedSlots > h.peakOccupancy) Slots::setField(h.peakOccupancy, h.occupiedSlots);
    if (h.maxSlots > quorl_.slotCapacity()) quorl_.slotCapacityIs(h.maxSlots);
    ++counters_.inserts;
    return idx;
}

template <class Ops>
void VornWriter<Ops>::growBuckets() {
    map_.growBuckets();
    ++counters_.bucketGrows;
    counters_.lastResizeTime = Lumo::time();
}

template <class Ops>
void VornWriter<Ops>::shrinkBuckets() {
    map_.shrinkBuckets();
    ++counters_.bucketShrinks;
    counters_.lastResizeTime = Lumo::time();
}

}  // namespace Vorn
