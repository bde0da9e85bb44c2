#pragma once
// X2::SharedTable<T>: every operation of a shared-memory table entity,
// written once for the tables whose entries and write responses live in
// shared-memory maps. The generated table T (an Asic::AmaMem::IndexTable)
// holds the members below in this order and forwards each operation here in
// one line:
//
//   six counters (std::uint64_t*, from the statistics service)
//   Lumo::Ptr<T::...ZeroReferencesNotifiee> zeroReferencesNotifiee_
//   EntryMap entryMap_                       binding "entry"
//   Lumo::Ptr<VexVorn::CollectionControl>    entryControl_ (+ plain copy)
//   WriteResponseMap writeResponseMap_       binding "writeResponse"
//   Lumo::Ptr<VexVorn::CollectionControl>    writeResponseControl_ (+ plain copy)
//
// Ownership: the table holds its controls until its own reference count
// reaches zero; its watcher then hands the table to both controls and drops
// them (onZeroReferences), so the controls, and whoever holds them (the
// mounter), keep the table alive, not the other way round.
//
// Publication: entry changes (770, index), write-response changes (772,
// index), both with publishChange and on every call; a new control (771 or
// 773, no key, the old control as previous value), recursively.
//
// Threads: the owning agent's thread only.
#include <cstdint>

#include "Asic/AmaMem/IndexTable.h"
#include "Lumo/Assert.h"
#include "Lumo/Node.h"
#include "Lumo/Publisher.h"
#include "Lumo/Trace.h"
#include "Vex/Alloc.h"
#include "Vex/Entity.h"
#include "Vex/Stats.h"
#include "VexVorn/CollectionControl.h"
#include "VexVorn/VexVornMap.h"
#include "X2/Support/LocalTable.h"

namespace X2 {

inline constexpr std::uint32_t kSharedTableStatsParam = 245;

bool collectionControlIsEq(void const* a, void const* b);  // Lumo::Ptr<VexVorn::CollectionControl>

// The zero-references watcher of a shared table: subscribed to the table's
// publisher, it runs the table's onZeroReferences when the table's last use
// is gone. Slab-allocated, each allocation reported to Self's tracker.
template <class T, class Self>
class ZeroReferencesNotifiee : public Vex::NotifieeConst, public Vex::SlabAllocated<Self> {
public:
    explicit ZeroReferencesNotifiee(T* table) : table_(table) {}
    void onZeroReferences() override { table_->onZeroReferences(); }
    T* table() const { return table_; }

private:
    T* table_;
};

template <class T>
struct SharedTable {
    using Entry = typename T::Entry;
    using Index = typename Entry::Index;
    using WriteResponse = typename T::WriteResponse;
    using ControlPtr = Lumo::Ptr<VexVorn::CollectionControl>;

    // Construction steps after the members: counters, watcher, controls and
    // the two bindings. A failure unwinds the members in reverse order.
    static void construct(T& t) {
        auto& w = Vex::Stats::Writer::open(Vex::Stats::defaultStatsName(), kSharedTableStatsParam);
        t.writeResponseIsCount_ = w.counterIs(15, "writeResponseIs");
        t.writeResponseDelCount_ = w.counterIs(16, "writeResponseDel");
        t.writeResponseNotifyCount_ = w.counterIs(19, "writeResponseNotify");
        t.entryIsCount_ = w.counterIs(7, "entryIs");
        t.entryDelCount_ = w.counterIs(8, "entryDel");
        t.entryNotifyCount_ = w.counterIs(11, "entryNotify");
        auto* n = new typename T::Notifiee(&t);
        n->notifierIs(&t);
        n->isRegisteredNotifieeIs(true);
        t.zeroReferencesNotifiee_ = n;
        t.writeResponseControl_ = new VexVorn::CollectionControl("writeResponse", &t.writeResponseMap_);
        t.writeResponseControlRaw_ = t.writeResponseControl_.ptr();
        t.writeResponseMap_.entity("writeResponse", &t, kWriteResponseAttrId, &T::writeResponseNotify,
                                   &T::writeResponseNotifyMountStatus, &T::writeResponseNotifyQuiesced);
        t.entryControl_ = new VexVorn::CollectionControl("entry", &t.entryMap_);
        t.entryControlRaw_ = t.entryControl_.ptr();
        t.entryMap_.entity("entry", &t, kEntryAttrId, &T::entryNotify, &T::entryNotifyMountStatus,
                           &T::entryNotifyQuiesced);
    }

    static void destroy(T& t) {
        t.nodeFlagSet(Lumo::kNodeFlagDestroying, false);
        t.writeResponseControl_ = nullptr;
        t.writeResponseControlRaw_ = nullptr;
        t.writeResponseMap_.teardown();
        t.entryControl_ = nullptr;
        t.entryControlRaw_ = nullptr;
        t.entryMap_.teardown();
        t.zeroReferencesNotifiee_ = nullptr;
    }

    // Hands the table to its controls (write response first) and lets go of
    // them, then stops watching.
    static void onZeroReferences(T& t) {
        handOver(t, t.writeResponseControl_, t.writeResponseControlRaw_);
        handOver(t, t.entryControl_, t.entryControlRaw_);
        if (t.zeroReferencesNotifiee_) t.zeroReferencesNotifiee_->publisherIs(nullptr);
    }

    // ---- entries ----

    static Entry entry(T const& t, Index i) {
        typename T::EntryValue v;
        Vorn::IterHint h;
        if (t.entryMap_.safeLookup(i.value(), v, h)) return v;
        return Entry();
    }

    static void entryIs(T& t, Entry const& e) {
        ++*t.entryIsCount_;
        Index const i = e.entryIndex();
        t.entryMap_.safeWrite(e, true);
        t.publisher().publishChange(kEntryAttrId, i.value());
        ++*t.entryNotifyCount_;
    }

    static void entryCommit(T& t, Entry const* e) {
        ++*t.entryIsCount_;
        Index const i = e->entryIndex();
        t.entryMap_.directCommit();
        t.publisher().publishChange(kEntryAttrId, i.value());
        ++*t.entryNotifyCount_;
    }

    static Entry entryDel(T& t, Index i) {
        ++*t.entryDelCount_;
        typename T::EntryValue out;
        if (!t.entryMap_.safeRemove(i.value(), out)) return Entry();
        t.publisher().publishChange(kEntryAttrId, i.value());
        ++*t.entryNotifyCount_;
        return out;
    }

    static void entryDelAll(T& t) {
        if (t.publisher().noSubscribers()) {
            t.entryMap_.walkKeys([&](std::uint32_t k) {
                typename T::EntryValue out;
                t.entryMap_.safeRemove(k, out);
            });
            return;
        }
        t.entryMap_.walkKeys([&](std::uint32_t k) { t.entryDel(Index(k)); });
    }

    // ---- write responses ----

    static WriteResponse writeResponse(T const& t, Index i) {
        typename T::WriteResponseValue v;
        Vorn::IterHint h;
        if (t.writeResponseMap_.safeLookup(i.value(), v, h)) return v;
        return WriteResponse();
    }

    static void writeResponseIs(T& t, WriteResponse const& w) {
        ++*t.writeResponseIsCount_;
        Index const i = w.entryIndex();
        t.writeResponseMap_.safeWrite(w, true);
        t.publisher().publishChange(kWriteResponseAttrId, i.value());
        ++*t.writeResponseNotifyCount_;
    }

    static void writeResponseCommit(T& t, WriteResponse const* w) {
        ++*t.writeResponseIsCount_;
        Index const i = w->entryIndex();
        t.writeResponseMap_.directCommit();
        t.publisher().publishChange(kWriteResponseAttrId, i.value());
        ++*t.writeResponseNotifyCount_;
    }

    static WriteResponse writeResponseDel(T& t, Index i) {
        ++*t.writeResponseDelCount_;
        typename T::WriteResponseValue out;
        if (!t.writeResponseMap_.safeRemove(i.value(), out)) return WriteResponse();
        t.publisher().publishChange(kWriteResponseAttrId, i.value());
        ++*t.writeResponseNotifyCount_;
        return out;
    }

    static void writeResponseDelAll(T& t) {
        if (t.publisher().noSubscribers()) {
            t.writeResponseMap_.walkKeys([&](std::uint32_t k) {
                typename T::WriteResponseValue out;
                t.writeResponseMap_.safeRemove(k, out);
            });
            return;
        }
        t.writeResponseMap_.walkKeys([&](std::uint32_t k) { t.writeResponseDel(Index(k)); });
    }

    // ---- controls ----

    static void controlIs(T& t, ControlPtr& held, VexVorn::CollectionControl*& raw, ControlPtr const& c,
                          Lumo::FieldId id) {
        if (c == held) return;
        ControlPtr old = std::move(held);
        held = c;
        raw = c.ptr();
        t.publisher().publishChangeRecursive(id, Lumo::ChangeKey::none(), &old, &collectionControlIsEq);
    }  // the old control is released here

    // ---- notifications from the bindings ----

    template <class Map>
    static void notifyMountStatus(Map& map, VexVorn::CollectionControl* control) {
        auto* h = map.debugHandler();
        if (h && h->enabled(5))
            Lumo::Platform::emitTrace(*h, 5, "VornMap", "Vorn/VornMap", "mountStatus", 739,
                                      fmt::format("{}", map.rootPath()));
        int const status = map.mountStatus();
        if (control) control->mountStatusIs(status);
    }

private:
    static void handOver(T& t, ControlPtr& held, VexVorn::CollectionControl*& raw) {
        if (!held) return;
        ControlPtr c = std::move(held);
        c->entityRefIs(Lumo::Ptr<Vex::Entity>(&t));
        // Only this reference left: the control goes now (and gives the
        // table back); the callbacks must not reach it any more.
        if (c->useCount() == 1) raw = nullptr;
    }
};

}  // namespace X2
