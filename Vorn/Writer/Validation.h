#pragma once
// VornWriter: the full check of existing files before a writer takes them
// over. Every chain is walked by the checked cursor (which raises on a bad
// index, a cycle, an empty slot or a key of another bucket); on top of that
// the order of each chain, the slot trailers, the chain ends, the free list
// and the notification channel's view of every slot are checked.
// Included by Vorn/VornWriter.h only.

namespace Vorn {

template <class Ops>
bool VornWriter<Ops>::doValidate(std::uint32_t fenixId, std::string& why) {
    if (!buckets_.validate(fenixId, why)) return false;
    if (!slots_.attached()) {
        why = "slot file not attached";
        return false;
    }
    auto const& h = slots_.header().common;
    std::uint16_t flags = Mem::atomicLoad(h.runtimeFlags);
    if (flags & SlotHeaderCommon::kCriticalSectionFlag) {
        why = fmt::format("bad critical section runtimeFlags:{:x}", flags);
        return false;
    }
    if (h.fenixId != fenixId) {
        why = fmt::format("mismatching fenix:{}, oldFenix:{}", fenixId, h.fenixId);
        return false;
    }
    if (desc_.fixedSize && h.numSlots != desc_.initialSize) {
        why = fmt::format("wanted capacity:{} for fixed-size table, but existing file has capacity:{}",
                          desc_.initialSize, h.numSlots);
        return false;
    }
    if (!slots_.validateFile(fenixId, why)) return false;
    if (h.numSlots != slots_.numSlots() || h.maxSlots < h.numSlots || h.occupiedSlots > h.numSlots) {
        why = fmt::format("inconsistent header numSlots:{} mapped:{} maxSlots:{} occupied:{}", h.numSlots,
                          slots_.numSlots(), h.maxSlots, h.occupiedSlots);
        return false;
    }
    if (buckets_.count() != map_.count()) {
        why = fmt::format("bucket count:{} but writer uses:{}", buckets_.count(), map_.count());
        return false;
    }
    if (!quorl_.validate(fenixId, h.maxSlots, why)) return false;

    std::uint32_t numSlots = slots_.numSlots();
    Validator v(numSlots);
    std::uint32_t n = map_.count();
    LUMO_FMTRACE(debug_, 5, "Validator", "starting");
    Cursor c = map_.cursor();
    for (std::uint32_t b = 0; b < n; ++b) {
        bool havePrev = false;
        std::uint32_t prevOrder = 0;
        Key prevKey{};
        for (c.start(b, n); c.atSlot(); c.advance()) {
            c.load();
            std::uint32_t idx = c.slot();
            if (!v.markOccupied(idx, why)) return false;
            if (v.occupied() > h.occupiedSlots) {
                why = fmt::format("visited more values than occupiedSlots:{}", h.occupiedSlots);
                return false;
            }
            if ((c.sequence() & kSeqStateBits) != kSeqOccupied) {
                why = fmt::format("slot:{} in bucket:{} has sequence:{:x}", idx, b, c.sequence());
                return false;
            }
            if (slots_.slotUnchecked(idx).orderKey != c.order()) {
                why = fmt::format("slot:{} key:{} does not belong in bucket:{}", idx, c.key(), b);
                return false;
            }
            if (havePrev && !VornCore::orderedBefore(prevOrder, prevKey, c.order(), c.key())) {
                why = fmt::format("slot:{} key:{} out of order in bucket:{}", idx, c.key(), b);
                return false;
            }
            havePrev = true;
            prevOrder = c.order();
            prevKey = c.key();
        }
        // Exact (the mark bit of the last slot aside): the end names the
        // bucket's successor.
        c.checkEnd();
    }
    LUMO_FMTRACE(debug_, 5, "Validator", "starting");
    for (std::uint32_t cur = h.freeListHead; cur != kLinkNone;) {
        LUMO_FMTRACE(debug_, 5, "Validator", "walking slotIndex: {}", cur);
        if (!v.markFree(cur, why)) return false;
        std::uint64_t w = slots_.slotUnchecked(cur).word.load(std::memory_order_relaxed);
        if (SlotLink::seqOf(w) & kSeqStateBits) {
            why = fmt::format("free slot:{} has sequence:{:x}", cur, SlotLink::seqOf(w));
            return false;
        }
        std::uint32_t l = SlotLink::linkOf(w) & ~kLinkMarkBit;
        cur = l == kLinkNone ? kLinkNone : SlotLink::indexOf(l);
    }
    if (v.occupied() + v.free() != numSlots || v.occupied() != h.occupiedSlots) {
        why = fmt::format("occupied:{} and free:{} do not add up to numSlots:{} (header occupied:{})", v.occupied(),
                          v.free(), numSlots, h.occupiedSlots);
        return false;
    }
    for (std::uint32_t i = 0; i < numSlots; ++i)
        if (!quorl_.validateSlot(i, why)) return false;
    return true;
}

}  // namespace Vorn
