#pragma once
// VexVorn::VexVornMap<T, V, K, Ops>: one collection attribute of the entity
// T bound to a shared-memory map (Vorn::VornMap), plus the entity glue: the
// owner, the owner's notification members, the map's path under the owner's
// full name, and re-pathing and orphan handling as the owner moves in the
// state tree.
//
// Path: "{owner's full name}/{attribute name}" while the owner has a parent,
// "{owner's name}/{attribute name}" otherwise. The shared files of a mounted
// map live in the directory Mem::ZorbRootPath(path).
//
// Notifications reach the owner by key only: the key member is called for
// every changed key, whatever the implementation reports. A key read from a
// shared file that the owner's key type refuses is corruption of that file.
//
// VexVorn::ValWrap<V, K, &V::entryIndex, false> is the value stored: the
// record itself, byte for byte, with fwkKey() giving its key.
#include <string>
#include <utility>

#include <fmt/format.h>

#include "Lumo/Exception.h"
#include "Lumo/Trace.h"
#include "Vex/Entity.h"
#include "VexSharedMem/CollectionControl.h"
#include "Vorn/MapOps.h"
#include "Vorn/VornMap.h"

namespace VexVorn {

template <class V, class K, auto KeyMember, bool Unused>
struct ValWrap : V {
    ValWrap() = default;
    ValWrap(V const& v) : V(v) {}  // NOLINT: a record converts to its stored form
// GCC (12) takes the call through a member pointer of a class with several
// bases for type punning when the pointer is a template argument.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstrict-aliasing"
    K fwkKey() const {
        V const* self = this;
        if constexpr (std::is_member_function_pointer_v<decltype(KeyMember)>)
            return (self->*KeyMember)();
        else
            return self->*KeyMember;
    }
#pragma GCC diagnostic pop
};

// The operations object of a binding of records V keyed by K.
template <class V, class K>
using RecordMapOps = Vorn::Ops<K, V, Vorn::KeyRetrieval<K, V, &V::fwkKey>, Vorn::Marshall<V>, Vorn::AllocBase<V>, true>;

template <class T, class V, class K, class Ops>
class VexVornMap : public Vorn::VornMap<Ops> {
    using Base = Vorn::VornMap<Ops>;

public:
    using Value = V;
    using Key = typename Base::Key;
    using KeyMember = void (T::*)(K const&);
    using MountStatusMember = void (T::*)();
    using QuiescedMember = void (T::*)(bool);

    static_assert(sizeof(V) % 8 == 0 && std::is_trivially_copyable_v<V>);

    // The seed every process of the map derives from the record's type name.
    VexVornMap() : Base(Ops(V::kTypeName)) {}

    // Binds the map to its owner: names, callbacks and a local writer.
    void entity(std::string name, T* owner, Lumo::FieldId fieldId, KeyMember key, MountStatusMember mount,
                QuiescedMember quiesced) {
        owner_ = owner;
        fieldId_ = fieldId;
        this->nameIs(name);
        this->debugHandlerIs(Lumo::Platform::getDebugHandler("VornTemp", true));
        this->pathIs(fmt::format("{}/{}", pathBase(), name));
        keyMember_ = key;
        mountMember_ = mount;
        quiescedMember_ = quiesced;
        // The members are read when called, not captured: the callbacks hold
        // only the binding.
        this->callbacksIs([this](Key k) { deliver(k); }, [this](Key k, V const*) { deliver(k); },
                          [this](V const& v, V const*) { deliver(Ops::keyOf(v)); }, [this] { mountStatusChanged(); },
                          [this](bool q) { quiescedChanged(q); });
        LUMO_FMTRACE(this->debugHandler(), 5, "VexVornMap", "creating local VornWriter {}", this->path());
        this->implIs(this->createDefaultLocalWriter(this->debugHandler()));
    }

    // The owner's parent changed: re-path, and take a fresh local writer on
    // attachment or become an orphan on detachment.
    void handleParent() {
        std::string const old = this->path();
        Lumo::String const fetched = Vex::fetchName(owner_);
        bool const attached = owner_->parent() != nullptr;
        this->pathIs(fmt::format("{}/{}", attached ? VexSharedMem::Util::fullName(owner_) : fetched,
                                 this->collName()));
        auto* h = this->debugHandler();
        if (attached) {
            if (entityInitialized_)
                Lumo::raise<Lumo::InvalidInitializeException>("Entity {} already initialized", fetched);
            entityInitialized_ = true;
            if (h && h->enabled(5))
                Lumo::Platform::emitTrace(*h, 5, "VexVornMap", "VexVorn/VexVornMap", "handleParent", 587,
                                          fmt::format("old:{} new:{}", old, this->path()));
            this->implIs(nullptr);
            this->implIs(this->createDefaultLocalWriter(h));
            return;
        }
        if (h && h->enabled(5))
            Lumo::Platform::emitTrace(*h, 5, "VexVornMap", "VexVorn/VexVornMap", "handleParent", 566,
                                      fmt::format("{} is now an orphan", this->path()));
        this->controlDetach();  // keeps the map's assert-on-orphan-access setting
    }

    T* owner() const { return owner_; }
    Lumo::FieldId fieldId() const { return fieldId_; }
    bool entityInitialized() const { return entityInitialized_; }

    // The stored record of `k`, or null after filling nothing.
    bool lookup(K const& k, V& out) const {
        Vorn::IterHint h;
        return this->safeLookup(Vorn::keyValue(k), out, h);
    }

private:
    std::string pathBase() const {
        return owner_->parent() ? VexSharedMem::Util::fullName(owner_) : Vex::fetchName(owner_);
    }
// GCC (12, -O1 with sanitizers) takes a call through a member pointer held
// in the object for a read of uninitialised memory.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
    void mountStatusChanged() { (owner_->*mountMember_)(); }
    void quiescedChanged(bool q) { (owner_->*quiescedMember_)(q); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    void deliver(Key k) {
        K key;
        try {
            key = K(k);
        } catch (Lumo::RangeException const& e) {
            this->doCorruptionDetected(e.msg());
            return;
        }
        (owner_->*keyMember_)(key);
    }

    T* owner_ = nullptr;
    KeyMember keyMember_ = nullptr;
    MountStatusMember mountMember_ = nullptr;
    QuiescedMember quiescedMember_ = nullptr;
    Lumo::FieldId fieldId_ = 0;
    bool entityInitialized_ = false;
};

}  // namespace VexVorn
