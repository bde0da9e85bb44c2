#pragma once
// VornWriter: direct mode, in-place editing of one value. The critical
// section is held from directWrite() to directCommit(). Where the editable
// copy lives is the opposite of an overwrite's: an existing value is edited
// in the spare while readers keep reading the slot, and the commit shows the
// spare first (SlotSequence::directBegin / directCommit).
// Included by Vorn/VornWriter.h only.

namespace Vorn {

template <class Ops>
typename VornWriter<Ops>::Value* VornWriter<Ops>::directWrite(Value const& value) {
    Key key = Ops::keyOf(value);
    LUMO_FMASSERT(directSlot_ == kLinkNone, "VornWriter",
                  "unbalanced directSlot:{} containing value:{} when modifying key:{} - Make sure the "
                  "DirectIs/Commit are properly paired!",
                  directSlot_, directKey_, key);
    std::uint32_t hash = ops_.hash(key);
    // The walk changes nothing: a damaged chain stops it before the
    // critical section is entered.
    auto f = map_.find(key, hash);
    enterCritical();  // held until directCommit()
    std::uint32_t idx;
    if (f.found) {
        idx = f.curr;
        directNew_ = false;
    } else {
        idx = allocSlot();
        Mem::atomicStore(slots_.slotUnchecked(idx).orderKey, f.order);
        directNew_ = true;
        directPrev_ = f.prev;
    }
    ++counters_.directWrites;
    Slot& s = slots_.slotUnchecked(idx);
    Value* result;
    if (SlotLink::seqOf(s.word.load(std::memory_order_relaxed)) & kSeqOccupied) {
        Slot& spare = slots_.header().spare;
        SlotSequence::directBegin(s.payload(), spare.payload(), Layout::kPayloadSize);
        result = spare.valuePtr();
    } else {
        // Not linked and not occupied: no reader looks at these bytes.
        Mem::wordCopy(s.value, &value, sizeof(Value));
        result = s.valuePtr();
    }
    LUMO_FMTRACE(debug_, 5, "VornWriter", "{}{} bucket:{} slot:{} next:{}", key, directNew_ ? " new " : " existing ",
                 f.bucket, idx, SlotLink::linkOf(s.word.load(std::memory_order_relaxed)));
    directSlot_ = idx;
    directKey_ = key;
    return result;
}

template <class Ops>
void VornWriter<Ops>::directCommit() {
    LUMO_FMTRACE(debug_, 5, "VornWriter", "slot: {}", directSlot_);
    LUMO_FMASSERT(directSlot_ != kLinkNone, "VornWriter",
                  "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
    std::uint32_t idx = directSlot_;
    Slot& s = slots_.slotUnchecked(idx);
    Slot& spare = slots_.header().spare;
    bool hadValue = SlotLink::seqOf(s.word.load(std::memory_order_relaxed)) & kSeqOccupied;
    Key edited = Ops::keyAt(hadValue ? spare.value : s.value);
    if (!(edited == directKey_)) {
        // The caller's mistake: nothing was published yet, so direct mode is
        // abandoned (a new slot goes back to the free list) and the map is
        // as it was before directWrite().
        if (directNew_) {
            auto& h = slots_.header().common;
            SlotSequence::vacate(s.word, h.freeListHead);
            Slots::setField(h.freeListHead, idx);
            Slots::setField(h.occupiedSlots, h.occupiedSlots - 1);
            --counters_.inserts;
        }
        directSlot_ = kLinkNone;
        directNew_ = false;
        leaveCritical();
        Lumo::raise<Lumo::IllegalOperationException>("direct write changed the key of slot:{} from {} to {}", idx,
                                                      directKey_, edited);
    }
    if (directNew_) SlotSequence::relink(s.word, SlotLink::linkOf(map_.link(directPrev_).load(std::memory_order_relaxed)));
    ++counters_.directCommits;
    if (!hadValue) {
        SlotSequence::publish(s.word);
    } else {
        Mem::atomicStore(spare.orderKey, s.orderKey);
        SlotSequence::directCommit(s.word, s.payload(), spare.payload(), Layout::kPayloadSize);
    }
    directSlot_ = kLinkNone;
    if (directNew_) {
        SlotSequence::relink(map_.link(directPrev_), idx);
        if (members() > map_.growThreshold()) growBuckets();
    }
    directNew_ = false;
    quorl_.notify(idx, 0);
    leaveCritical();
}

}  // namespace Vorn
