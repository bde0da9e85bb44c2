#pragma once
// VornWriter: slot shrink, the compaction of occupied slots into the low
// section of the slot file after removals.
// Included by Vorn/VornWriter.h only.

namespace Vorn {

template <class Ops>
std::uint32_t VornWriter<Ops>::shrinkTarget() const {
    std::uint32_t occ = members();
    std::uint32_t target = occ == 0 ? 0 : 4u * (1u << (31 - __builtin_clz(occ)));
    return std::max(target, minSize());
}

// Compacts occupied slots into [0, target) and shortens the slot table.
// Every move keeps the key findable: the copy is occupied and linked before
// the original is cleared (SlotSequence::moveInto / movedAway), and the
// channel announces the new slot before the old one.
template <class Ops>
void VornWriter<Ops>::doMaybeShrinkSlots(std::uint32_t threshold) {
    if (threshold == 0) return;
    std::uint32_t target = shrinkTarget();
    LUMO_FMTRACE(debug_, 5, "VornWriter", "threshold:{} shrinkThreshold:{}{}", target, threshold,
                 target < threshold ? " SUPER SHRINK!" : "");
    std::uint32_t numSlots = slots_.numSlots();
    LUMO_FMASSERT(target < numSlots, "VornWriter", "bad threshold: {} numSlots:{}", target, numSlots);
    std::uint64_t start = Lumo::Rdtsc::now();
    map_.beginSlices(start);
    slots_.purgeFreeSlots(target);
    auto& h = slots_.header().common;
    for (std::uint32_t from = numSlots; from-- > target;) {
        Slot& s = slots_.slotUnchecked(from);
        if (!(SlotLink::seqOf(s.word.load(std::memory_order_relaxed)) & kSeqOccupied)) {
            LUMO_FMTRACE(debug_, 5, "VornWriter", "skipping not occupied slot:{}", from);
            continue;
        }
        Key key = Ops::keyAt(s.value);
        auto f = map_.find(key, ops_.hash(key));
        LUMO_FMASSERT(f.found, "VornWriter", "fromSlot:{} key not found", from);
        LUMO_FMASSERT(f.curr == from, "VornWriter", "fromSlot:{} not referenced", from);
        std::uint32_t to = h.freeListHead;
        LUMO_FMASSERT(to != kLinkNone && to < numSlots, "VornWriter", "not valid toSlotId:{}", to);
        LUMO_FMASSERT(to < from, "VornWriter", "should always move entries to lower section fromSlotId:{} toSlotId:{}",
                      from, to);
        Slots::setField(h.freeListHead, slots_.nextFree(to));
        Slot& t = slots_.slotUnchecked(to);
        SlotSequence::moveInto(t.word, t.payload(), s.word, s.payload(), Layout::kPayloadSize);
        LUMO_FMTRACE(debug_, 5, "VornWriter", "fromSlotId:{} toSlotId:{}", from, to);
        LUMO_FMTRACE(debug_, 5, "VornWriter", "moving fromSlot:{} toSlot:{}", from, to);
        SlotSequence::relink(map_.link(f.prev), to);
        quorl_.notify(to, 0);
        SlotSequence::movedAway(s.word);
        quorl_.notify(from, 0);
        map_.maybeYield();
    }
    slots_.publishSlotCount(target);
    slots_.resize(target);
    slots_.recomputeShrinkThreshold();
    ++counters_.shrinks;
    counters_.lastResizeTime = Lumo::time();
    map_.endSlices();
    longestSlotShrinkCycles_ = std::max(longestSlotShrinkCycles_, Lumo::Rdtsc::now() - start);
    LUMO_FMTRACE(debug_, 5, "VornWriter", "newNumSlots:{}", target);
    LUMO_FMTRACE(debug_, 5, "VornWriter", "at threshold:{} done", threshold);
}

template <class Ops>
void VornWriter<Ops>::shrink() {
    std::uint32_t threshold = slots_.shrinkThreshold();
    if (threshold == 0 || shrinkTarget() >= slots_.numSlots()) return;
    critical([&] { doMaybeShrinkSlots(threshold); });
}

}  // namespace Vorn
