#pragma once
// VornWriter: lookup and iteration over the writer's own files, by the
// checked chain walk (VornCore/ChainCursor.h).
// Included by Vorn/VornWriter.h only.

namespace Vorn {

template <class Ops>
typename VornWriter<Ops>::Value const* VornWriter<Ops>::lookup(Key key, bool& found, IterHint& hint) const {
    auto f = map_.find(key, ops_.hash(key));
    found = f.found;
    if (!f.found) {
        LUMO_FMTRACE(debug_, 5, "VornWriter", "{} not found bucket:{}", key, f.bucket);
        hint.reset();
        return nullptr;
    }
    Slot& s = slots_.slotUnchecked(f.curr);
    hint = IterHint{SlotLink::seqOf(s.word.load(std::memory_order_relaxed)), f.curr, f.bucket};
    LUMO_FMTRACE(debug_, 5, "VornWriter", "{} found bucket:{} slotId:{}", key, f.bucket, f.curr);
    return s.valuePtr();
}

// The first value at or after the cursor's link, crossing to the buckets
// that chain ends name; `loaded` when the cursor already stands on that
// slot, read.
template <class Ops>
bool VornWriter<Ops>::produce(Cursor& c, Value& out, IterHint& hint, bool loaded) const {
    while (!c.atSlot()) {
        if (c.nextBucket() == VornCore::Step::end) {
            hint.reset();
            return false;
        }
        LUMO_FMTRACE(debug_, 5, "VornWriter", "{} next bucket {}", c.bucket(), c.bucket());
    }
    if (!loaded) c.load();
    std::memcpy(static_cast<void*>(&out), slots_.slotUnchecked(c.slot()).value, sizeof(Value));
    hint = IterHint{c.sequence(), c.slot(), c.bucket()};
    return true;
}

template <class Ops>
bool VornWriter<Ops>::first(Value& out, IterHint& hint) const {
    Cursor c = map_.cursor();
    c.start(0, map_.count());
    if (produce(c, out, hint)) return true;
    LUMO_FMTRACE(debug_, 5, "VornWriter", "none found!");
    return false;
}

template <class Ops>
bool VornWriter<Ops>::next(Key key, Value& out, IterHint& hint) const {
    std::uint32_t n = map_.count();
    std::uint32_t hash = ops_.hash(key);
    Cursor c = map_.cursor();
    if (hint.valid() && hint.slot < slots_.numSlots()) {
        Slot& s = slots_.slotUnchecked(hint.slot);
        std::uint64_t w = s.word.load(std::memory_order_relaxed);
        // The key's bucket now, not the hint's: the table may have grown
        // or shrunk since, leaving the slot's link word as it was.
        if (SlotLink::seqOf(w) == hint.sequence && (hint.sequence & kSeqOccupied) && Ops::keyAt(s.value) == key) {
            c.resume(hash & (n - 1), n, hint.slot, w);
            return produce(c, out, hint);
        }
    }
    std::uint32_t r = Lumo::Util::reverse(hash);
    c.start(hash & (n - 1), n);
    bool loaded = false;
    for (; c.atSlot(); c.advance()) {
        c.load();
        LUMO_FMTRACE(debug_, 5, "VornWriter", "{} comparing slot {} {}", key, c.slot(), c.key());
        if (VornCore::orderedBefore(r, key, c.order(), c.key())) {
            loaded = true;
            break;
        }
    }
    bool ok = produce(c, out, hint, loaded);
    LUMO_FMTRACE(debug_, 5, "VornWriter", "{} next slotId {} success {}", key, hint.slot, ok);
    return ok;
}

}  // namespace Vorn
