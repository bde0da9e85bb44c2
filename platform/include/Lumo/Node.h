#pragma once
// Reference-counted entities of the base runtime.
//
// A Node carries its own use count (Lumo::RefCount, so atomic only when the
// process runs in thread-safe mode). Lumo::Ptr<T> holds exactly one use. A
// node is born with zero uses; the first Ptr makes it one. When the last use
// is dropped decUseImpl() calls the virtual lastUserGone(), whose default
// destroys the node with its deleting destructor. Entities that need another
// end of life (handing themselves to the memory layer's cleanup, or being
// resurrected by a watcher) override lastUserGone().
//
// Node flags are a plain word owned by the node's thread; the framework uses
// them to mark states such as "being destroyed" (kNodeFlagDestroying).
#include <cstddef>
#include <cstdint>
#include <utility>

#include "Lumo/ThreadMode.h"

namespace Lumo {

inline constexpr std::uint32_t kNodeFlagDestroying = 0x20000000u;

class Node {
public:
    Node() = default;
    Node(Node const&) = delete;
    Node& operator=(Node const&) = delete;
    virtual ~Node();

    void incUseCount() const { refs_.inc(); }
    // Drops one use; the last one runs lastUserGone().
    void decUseImpl() const {
        if (refs_.dec() == 0) const_cast<Node*>(this)->lastUserGone();
    }
    std::uint32_t useCount() const { return refs_.count(); }

    void nodeFlagSet(std::uint32_t flag, bool on) {
        if (on)
            flags_ |= flag;
        else
            flags_ &= ~flag;
    }
    bool nodeFlag(std::uint32_t flag) const { return (flags_ & flag) != 0; }

    // Called once the use count reached zero. Default: delete this.
    virtual void lastUserGone();

private:
    mutable RefCount refs_{0};
    std::uint32_t flags_ = 0;
};

// Counted pointer: holds one use of a T (a Node or anything with
// incUseCount()/decUseImpl()). Construction from a raw pointer takes a use.
template <class T>
class Ptr {
public:
    Ptr() = default;
    Ptr(std::nullptr_t) {}  // NOLINT: null converts implicitly
    Ptr(T* p) : p_(p) {     // NOLINT: raw pointers convert implicitly, taking a use
        if (p_) p_->incUseCount();
    }
    Ptr(Ptr const& o) : Ptr(o.p_) {}
    Ptr(Ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U>
    Ptr(Ptr<U> const& o) : Ptr(o.ptr()) {}  // NOLINT: upcasts convert implicitly
    template <class U>
    Ptr(Ptr<U>&& o) noexcept : p_(o.release()) {}  // NOLINT
    ~Ptr() {
        if (p_) p_->decUseImpl();
    }
    Ptr& operator=(Ptr const& o) {
        Ptr(o).swap(*this);
        return *this;
    }
    Ptr& operator=(Ptr&& o) noexcept {
        Ptr(std::move(o)).swap(*this);
        return *this;
    }
    Ptr& operator=(T* p) {
        Ptr(p).swap(*this);
        return *this;
    }
    void swap(Ptr& o) noexcept { std::swap(p_, o.p_); }

    T* ptr() const { return p_; }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Gives up the use without dropping it; the caller now owns it.
    T* release() { return std::exchange(p_, nullptr); }

    friend bool operator==(Ptr const& a, Ptr const& b) { return a.p_ == b.p_; }
    friend bool operator==(Ptr const& a, T const* b) { return a.p_ == b; }
    friend bool operator==(Ptr const& a, std::nullptr_t) { return a.p_ == nullptr; }

private:
    T* p_ = nullptr;
};

template <class T, class U>
Ptr<T> ptr_cast(Ptr<U> const& p) {
    return Ptr<T>(static_cast<T*>(p.ptr()));
}

}  // namespace Lumo
