#pragma once
// Change publication of the base runtime.
//
// Every entity owns one Publisher. A change is announced as (field id, key):
// the attribute that changed and, for a collection attribute, which member.
// Delivery is synchronous: publishChange() returns once every subscriber has
// seen the change.
//
// Key representation (ChangeKey): one 64-bit word. Collection attributes of
// the tables are keyed by a 32-bit index, held in the low 32 bits with bit 32
// set; a change of a scalar attribute (for example the bulk read response,
// attribute 775) carries "no key", the word 0. Eight bytes passed by value in
// a register, comparable with ==, and impossible to confuse index 0 with
// "no key".
//
// State word: a publisher nobody watches holds the value 1 (kNoSubscriber),
// so a caller may skip per-member publication entirely (noSubscribers()).
// Otherwise the word holds the address of the subscriber list.
//
// Ownership: the publisher does not own its subscribers. A subscriber removes
// itself before it dies (Vex::NotifieeConst does so in its destructor).
// Subscribers may add or remove subscribers, themselves included, while a
// change is being delivered; a subscriber removed during delivery receives
// nothing further, one added during delivery first sees the next change.
//
// Threads: a publisher is used on its entity's thread only; no locks.
#include <cstdint>

namespace Lumo {

using FieldId = std::uint32_t;

class ChangeKey {
public:
    constexpr ChangeKey() = default;  // no key
    constexpr ChangeKey(std::uint32_t index) : w_(kHasKey | index) {}  // NOLINT: indices convert
    static constexpr ChangeKey none() { return ChangeKey(); }
    constexpr bool hasKey() const { return (w_ & kHasKey) != 0; }
    constexpr std::uint32_t index() const { return std::uint32_t(w_); }
    constexpr std::uint64_t word() const { return w_; }
    friend constexpr bool operator==(ChangeKey a, ChangeKey b) { return a.w_ == b.w_; }

private:
    static constexpr std::uint64_t kHasKey = std::uint64_t(1) << 32;
    std::uint64_t w_ = 0;
};
// One word; index 0 is a key like any other, distinct from no key.
static_assert(sizeof(ChangeKey) == 8);
static_assert(!ChangeKey::none().hasKey() && ChangeKey(0).hasKey() && !(ChangeKey(0) == ChangeKey::none()));
static_assert(ChangeKey(0xffffffffu).index() == 0xffffffffu && ChangeKey(0xffffffffu).hasKey());

// Compares two values of the type published as previous value.
using IsEqFn = bool (*)(void const*, void const*);

struct Change {
    FieldId fieldId = 0;
    ChangeKey key;
    // Recursive publication only: the value the member held before the change
    // (null when the member was inserted), valid during delivery only, and the
    // equality of that value's type.
    void const* previous = nullptr;
    IsEqFn isEq = nullptr;
    bool recursive = false;
};

class Subscriber {
public:
    virtual void onChange(Change const& change) = 0;
    // The publishing entity's last use is gone (see Vex::Entity::lastUserGone).
    virtual void onZeroReferences() {}

protected:
    ~Subscriber() = default;
};

class Publisher {
public:
    static constexpr std::uintptr_t kNoSubscriber = 1;

    Publisher() = default;
    Publisher(Publisher const&) = delete;
    Publisher& operator=(Publisher const&) = delete;
    ~Publisher();

    void subscriberAdd(Subscriber* s);
    // Removing a subscriber that is not subscribed does nothing.
    void subscriberRemove(Subscriber* s);
    bool noSubscribers() const { return state_ == kNoSubscriber; }
    std::uintptr_t stateWord() const { return state_; }
    std::size_t subscriberCount() const;

    void publishChange(FieldId fieldId, ChangeKey key) {
        if (state_ == kNoSubscriber) return;
        Change c;
        c.fieldId = fieldId;
        c.key = key;
        deliver(c);
    }
    // A change that carries the member's previous value (null: none).
    void publishChangeRecursive(FieldId fieldId, ChangeKey key, void const* previous, IsEqFn isEq) {
        if (state_ == kNoSubscriber) return;
        Change c;
        c.fieldId = fieldId;
        c.key = key;
        c.previous = previous;
        c.isEq = isEq;
        c.recursive = true;
        deliver(c);
    }
    void notifyZeroReferences();

private:
    struct List;
    List* list() const { return reinterpret_cast<List*>(state_); }
    void deliver(Change const& c);
    void compactAfterDelivery();

    std::uintptr_t state_ = kNoSubscriber;
};

}  // namespace Lumo
