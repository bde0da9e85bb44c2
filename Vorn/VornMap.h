#pragma once
// Vorn::VornMap: the facade over one shared-memory map, owning exactly one
// current implementation and swapping it as the map goes through its life:
//
//   constructed      Tmp (a VornWriter in local, heap-backed mode, size 100):
//                    usable at once, shared with nobody
//   init(writer)     VornWriter over the map's files, WriterSentry mounter
//   init(reader)     VornDummy placeholder + ReaderSentry; attach() installs
//                    a VornReader (type 2) or a VornShadow (types 1 and 3)
//   orphan           VornDummy (lookups find nothing), or VornStrictDummy
//                    (keeps the previous implementation, stops on any use)
//                    when assert-on-orphan-access is set
//
// Every implementation answers the VornInterface below; the read-only
// defaults stop the process, since writing through a reader is our bug.
// Corruption met by an implementation reaches doCorruptionDetected(): the
// safe wrappers then stop ("in no man's land"); lookups and iteration report
// nothing found.
//
// Notifications: a shadow reports every changed key (written or gone) to the
// key callback; the value-level callbacks (key and value, value and previous
// value) are reset to no-ops for shadows when the map is initialised, so the
// owner always hears of a change by its key alone. The mount-status callback
// follows every change of implementation; the quiesced callback fires once
// per mount.
//
// Ownership and threads: the owner (a table entity, through
// VexVorn::VexVornMap) owns the map; the map owns its implementation and
// mounter. Everything runs on the owner's thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "Lumo/Assert.h"
#include "Lumo/Exception.h"
#include "Lumo/Trace.h"
#include "Mem/RootPath.h"
#include "Mem/Sentry.h"
#include "Vorn/MapDescriptor.h"
#include "Vorn/MapOps.h"
#include "Vorn/MountStatus.h"
#include "Vorn/VornMapBase.h"
#include "Vorn/VornReader.h"
#include "Vorn/VornShadow.h"
#include "Vorn/VornWriter.h"

namespace Vorn {

enum class ImplKind : std::uint8_t { tmp, writer, reader, shadow, dummy, strictDummy };

// ---- the implementations -----------------------------------------------------

template <class Ops>
class VornInterface {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    virtual ~VornInterface() = default;
    virtual ImplKind kind() const = 0;
    virtual bool initialize(std::string const& event) {
        (void)event;
        return true;
    }

    virtual bool lookup(Key key, Value& out, IterHint& hint) = 0;
    virtual bool first(Value& out, IterHint& hint) = 0;
    virtual bool next(Key key, Value& out, IterHint& hint) = 0;

    // Read-only defaults.
    virtual void write(Value const& v, bool overwrite) {
        (void)v;
        (void)overwrite;
        Lumo::fmassertFail("VornInterface", __FILE__, "write", __LINE__, "write to read-only Vorn table");
    }
    virtual Value* directWrite(Value const& v) {
        (void)v;
        Lumo::fmassertFail("VornInterface", __FILE__, "directWrite", __LINE__, "write to read-only Vorn table");
    }
    virtual void directCommit() {
        Lumo::fmassertFail("VornInterface", __FILE__, "directCommit", __LINE__, "write to read-only Vorn table");
    }
    virtual bool remove(Key key, Value& out) {
        (void)key;
        (void)out;
        Lumo::fmassertFail("VornInterface", __FILE__, "remove", __LINE__, "remove to read-only Vorn table");
    }
    virtual void scratchpadIs(std::uint64_t v) {
        (void)v;
        Lumo::fmassertFail("VornInterface", __FILE__, "scratchpadIs", __LINE__,
                           "invalid attempt to write scratchpad as reader");
    }

    virtual std::uint32_t members() const = 0;
    virtual std::uint32_t capacity() const { return 0; }
    virtual std::uint32_t maxSize() const { return 0; }
    virtual std::uint32_t fenixId() const { return 0; }
    virtual std::uint64_t sequence(int priority) const {
        (void)priority;
        return 0;
    }
    virtual MountStatus mountStatus() const = 0;
    virtual bool quiesced() const { return false; }
    virtual bool connected() const { return true; }
    virtual std::uint64_t scratchpad() const { return 0; }
    virtual ReaderCounters readerCounters() const { return {}; }
    virtual WriterCounters writerCounters() const { return {}; }
    virtual bool validate() { return true; }
    virtual bool validateFiles() { return validate(); }
    virtual void detach(bool force) { (void)force; }
    virtual void cleanup() {}
    virtual void notifyingIs(bool on) { (void)on; }
    virtual void yieldTimeIs(double seconds) { (void)seconds; }
    virtual bool service() { return false; }
    // The descriptor of the implementation's own wake-ups (-1: none), and
    // whether the owner may sleep in it now.
    virtual int fd() const { return -1; }
    virtual bool prepareToWait() { return true; }
    // Whether the implementation follows a writer's files.
    virtual bool attachedToFiles() const { return false; }
    virtual bool validateVersionAnchor() const { return true; }
    virtual VersionAnchor getCacheVersionAnchor() const { return {}; }
};

// The writer, shared (over files) or local (Tmp).
template <class Ops>
class WriterImpl final : public VornInterface<Ops> {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    WriterImpl(bool local, Lumo::Platform::DebugHandler* debug, std::string name, MapDescriptor const& d, Ops ops,
               Mem::RootPath root, std::function<void(bool)> quiesced)
        : local_(local), strict_(d.strictValidation),
          w_(debug, std::move(name), d, std::move(ops), std::move(root), std::move(quiesced)) {}

    ImplKind kind() const override { return local_ ? ImplKind::tmp : ImplKind::writer; }
    bool initialize(std::string const& event) override { return w_.initialize(event); }
    bool lookup(Key key, Value& out, IterHint& hint) override {
        bool found;
        Value const* p = w_.lookup(key, found, hint);
        if (p) out = *p;
        return p != nullptr;
    }
    bool first(Value& out, IterHint& hint) override { return w_.first(out, hint); }
    bool next(Key key, Value& out, IterHint& hint) override { return w_.next(key, out, hint); }
    void write(Value const& v, bool overwrite) override {
        w_.write(v, overwrite);
        strictCheck("write");
    }
    Value* directWrite(Value const& v) override { return w_.directWrite(v); }
    void directCommit() override {
        w_.directCommit();
        strictCheck("directCommit");
    }
    bool remove(Key key, Value& out) override {
        bool r = w_.remove(key, out);
        strictCheck("remove");
        return r;
    }
    void scratchpadIs(std::uint64_t v) override { w_.scratchpadIs(v); }
    std::uint32_t members() const override { return w_.members(); }
    std::uint32_t capacity() const override { return w_.capacity(); }
    std::uint32_t maxSize() const override { return w_.maxSize(); }
    std::uint32_t fenixId() const override { return w_.fenixId(); }
    std::uint64_t sequence(int priority) const override { return w_.sequence(priority); }
    MountStatus mountStatus() const override { return w_.mountStatus(); }
    bool quiesced() const override { return w_.quiesced(); }
    std::uint64_t scratchpad() const override { return w_.scratchpad(); }
    WriterCounters writerCounters() const override { return w_.counters(); }
    bool validate() override { return w_.validate(); }
    bool validateFiles() override { return w_.validateFiles(); }
    void detach(bool force) override { w_.detach(force); }
    void cleanup() override { w_.cleanup(); }
    VornWriter<Ops>& writer() { return w_; }

private:
    // The strict validation path (MapDescriptor::strictValidation): a map
    // that fails its full check right after our own change is our bug.
    void strictCheck(char const* op) {
        if (strict_ && !w_.validate())
            Lumo::fmassertFail("VornWriter", __FILE__, op, __LINE__,
                               fmt::format("strict validation failed: {}", w_.message()));
    }
    bool local_;
    bool strict_;
    VornWriter<Ops> w_;
};

template <class Ops>
class ReaderImpl final : public VornInterface<Ops> {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    ReaderImpl(Lumo::Platform::DebugHandler* debug, std::string name, Mem::RootPath root, Ops ops,
               ReaderCounters* counters)
        : r_(debug, std::move(name), std::move(root), std::move(ops), counters) {}

    ImplKind kind() const override { return ImplKind::reader; }
    bool initialize(std::string const& event) override { return r_.initialize(event); }
    bool lookup(Key key, Value& out, IterHint& hint) override { return r_.attached() && r_.lookup(key, out, hint); }
    bool first(Value& out, IterHint& hint) override { return r_.attached() && r_.first(out, hint); }
    bool next(Key key, Value& out, IterHint& hint) override { return r_.attached() && r_.next(key, out, hint); }
    std::uint32_t members() const override { return r_.members(); }
    std::uint32_t capacity() const override { return r_.capacity(); }
    std::uint32_t maxSize() const override { return r_.maxSize(); }
    std::uint32_t fenixId() const override { return r_.fenixId(); }
    MountStatus mountStatus() const override { return r_.mountStatus(); }
    bool quiesced() const override { return r_.quiesced(); }
    std::uint64_t scratchpad() const override { return r_.scratchpad(); }
    ReaderCounters readerCounters() const override { return r_.readerCounters(); }
    void detach(bool force) override { r_.detach(force); }
    bool attachedToFiles() const override { return r_.attached(); }
    bool validateVersionAnchor() const override { return r_.validateVersionAnchor(); }
    VersionAnchor getCacheVersionAnchor() const override { return r_.getCacheVersionAnchor(); }
    VornReader<Ops>& reader() { return r_; }

private:
    VornReader<Ops> r_;
};

template <class Ops>
class ShadowImpl final : public VornInterface<Ops> {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    ShadowImpl(Lumo::Platform::DebugHandler* debug, std::string name, Mem::RootPath root, Ops ops,
               ShadowCallbacks<Ops> cb, ShadowConfig cfg)
        : s_(debug, std::move(name), std::move(root), std::move(ops), std::move(cb), cfg) {}

    ImplKind kind() const override { return ImplKind::shadow; }
    bool initialize(std::string const& event) override { return s_.initialize(event); }
    bool lookup(Key key, Value& out, IterHint& hint) override {
        hint.reset();
        return s_.lookup(key, out);
    }
    bool first(Value& out, IterHint& hint) override { return s_.first(out, hint); }
    bool next(Key key, Value& out, IterHint& hint) override { return s_.next(key, out, hint); }
    std::uint32_t members() const override { return s_.members(); }
    std::uint32_t capacity() const override { return s_.capacity(); }
    MountStatus mountStatus() const override { return s_.mountStatus(); }
    bool quiesced() const override { return s_.quiesced(); }
    std::uint64_t sequence(int priority) const override {
        (void)priority;
        return s_.syncSequence();
    }
    void detach(bool force) override { s_.detach(force); }
    void notifyingIs(bool on) override { s_.notifyingIs(on); }
    void yieldTimeIs(double seconds) override { s_.yieldTimeIs(seconds); }
    bool service() override { return s_.service() || (s_.attached() && !s_.quiesced()); }
    int fd() const override { return s_.attached() ? s_.fd() : -1; }
    bool prepareToWait() override { return s_.prepareToWait(); }
    bool attachedToFiles() const override { return s_.attached(); }
    VornShadow<Ops>& shadow() { return s_; }

private:
    VornShadow<Ops> s_;
};

// Placeholder: nothing is found, nothing is held. Installed while a reader
// waits for its writer, and for an orphan.
template <class Ops>
class VornDummy final : public VornInterface<Ops> {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    VornDummy(Lumo::Platform::DebugHandler* debug, std::string name, bool orphan)
        : debug_(debug), name_(std::move(name)), orphan_(orphan) {}

    ImplKind kind() const override { return ImplKind::dummy; }
    bool lookup(Key key, Value& out, IterHint& hint) override {
        LUMO_FMTRACE(debug_, 5, "VornDummy", "{} key:{}", name_, key);
        hint.reset();
        (void)out;
        return false;
    }
    bool first(Value& out, IterHint& hint) override {
        LUMO_FMTRACE(debug_, 5, "VornDummy", "{}", name_);
        (void)out;
        hint.reset();
        return false;
    }
    bool next(Key key, Value& out, IterHint& hint) override {
        LUMO_FMTRACE(debug_, 5, "VornDummy", "{} key:{}", name_, key);
        (void)out;
        hint.reset();
        return false;
    }
    std::uint32_t members() const override {
        LUMO_FMTRACE(debug_, 5, "VornDummy", "{}", name_);
        return 0;
    }
    MountStatus mountStatus() const override { return notMounted; }
    bool connected() const override { return !orphan_; }

private:
    Lumo::Platform::DebugHandler* debug_;
    std::string name_;
    bool orphan_;
};

[[noreturn]] inline void strictDummyInvoked(char const* func, std::string const& name, std::string const& root) {
    Lumo::fmassertFail("VornStrictDummy", __FILE__, func, __LINE__,
                       fmt::format("invoked, name:{} rootpath:{}{}", name, root,
                                   ". If you're seeing this, you're trying to operate on an orphan vorn entity"));
}
[[noreturn]] inline void strictDummyInvoked(char const* func, std::string const& name, std::string const& root,
                                            std::uint32_t key) {
    Lumo::fmassertFail("VornStrictDummy", __FILE__, func, __LINE__,
                       fmt::format("invoked, name:{} rootpath:{} key:{}{}", name, root, key,
                                   ". If you're seeing this, you're trying to operate on an orphan vorn entity"));
}

// The orphan placeholder under assert-on-orphan-access: keeps the previous
// implementation (so a core shows what the map held) and stops on any use.
template <class Ops>
class VornStrictDummy final : public VornInterface<Ops> {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    VornStrictDummy(std::unique_ptr<VornInterface<Ops>> previous, std::string name, std::string root)
        : previous_(std::move(previous)), name_(std::move(name)), root_(std::move(root)) {}

    ImplKind kind() const override { return ImplKind::strictDummy; }
    bool initialize(std::string const&) override { strictDummyInvoked("initialize", name_, root_); }
    bool lookup(Key key, Value&, IterHint&) override { strictDummyInvoked("lookup", name_, root_, key); }
    bool first(Value&, IterHint&) override { strictDummyInvoked("first", name_, root_); }
    bool next(Key key, Value&, IterHint&) override { strictDummyInvoked("next", name_, root_, key); }
    void write(Value const& v, bool) override { strictDummyInvoked("write", name_, root_, Ops::keyOf(v)); }
    Value* directWrite(Value const& v) override { strictDummyInvoked("directWrite", name_, root_, Ops::keyOf(v)); }
    void directCommit() override { strictDummyInvoked("directCommit", name_, root_); }
    bool remove(Key key, Value&) override { strictDummyInvoked("remove", name_, root_, key); }
    void scratchpadIs(std::uint64_t) override { strictDummyInvoked("scratchpadIs", name_, root_); }
    std::uint32_t members() const override { strictDummyInvoked("members", name_, root_); }
    std::uint32_t capacity() const override { strictDummyInvoked("capacity", name_, root_); }
    std::uint32_t maxSize() const override { strictDummyInvoked("maxSize", name_, root_); }
    MountStatus mountStatus() const override { return notMounted; }
    bool connected() const override { return false; }
    std::uint64_t scratchpad() const override { strictDummyInvoked("scratchpad", name_, root_); }
    VornInterface<Ops> const* previous() const { return previous_.get(); }

private:

    std::unique_ptr<VornInterface<Ops>> previous_;
    std::string name_;
    std::string root_;
};

// ---- the facade ------------------------------------------------------------------

template <class Ops>
class VornMap : public VornMapBase, public Mem::SentryTarget {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using Interface = VornInterface<Ops>;
    using OpsType = Ops;

    using KeyCallback = std::function<void(Key)>;
    using KeyValueCallback = std::function<void(Key, Value const*)>;
    using ValueCallback = std::function<void(Value const&, Value const*)>;
    using MountStatusCallback = std::function<void()>;
    using QuiescedCallback = std::function<void(bool)>;

    explicit VornMap(Ops ops) : ops_(std::move(ops)) {}
    ~VornMap() override { teardown(); }
    VornMap(VornMap const&) = delete;
    VornMap& operator=(VornMap const&) = delete;

    // Deletes the implementation (and with it a local writer's entries).
    void teardown() {
        dropEdit();
        if (!impl_ && !mounter_) return;
        LUMO_FMTRACE(debug_, 2, "VornMap", "deleting state");
        readerSentry_ = nullptr;
        mounter_.reset();
        impl_.reset();
    }

    // ---- set-up by the owner ----

    void nameIs(std::string name) { name_ = std::move(name); }
    void pathIs(std::string path) { path_ = std::move(path); }
    std::string const& path() const { return path_; }
    void debugHandlerIs(Lumo::Platform::DebugHandler* h) { debug_ = h; }
    Lumo::Platform::DebugHandler* debugHandler() const { return debug_; }
    void callbacksIs(KeyCallback key, KeyValueCallback keyValue, ValueCallback value, MountStatusCallback mount,
                     QuiescedCallback quiesced) {
        onKey_ = std::move(key);
        onKeyValue_ = std::move(keyValue);
        onValue_ = std::move(value);
        onMountStatus_ = std::move(mount);
        onQuiesced_ = std::move(quiesced);
        rearrangePending_ = true;
    }
    void implIs(std::unique_ptr<Interface> impl) {
        dropEdit();
        impl_ = std::move(impl);
    }
    // The value-level callbacks alone (after init, which resets them for a
    // shadow): a value shadow (type 3) delivers every new value, with the
    // value it saw before when mounted with "prevValue"; a key gone comes
    // with its last value.
    void valueCallbackIs(ValueCallback f) { onValue_ = std::move(f); }
    void keyValueCallbackIs(KeyValueCallback f) { onKeyValue_ = std::move(f); }

    // A local, heap-backed writer of 100 entries under the map's path.
    std::unique_ptr<Interface> createDefaultLocalWriter(Lumo::Platform::DebugHandler* debug) {
        MapDescriptor d(100);
        d.local = true;
        d.heapAllocation = true;
        std::unique_ptr<Interface> w;
        bool ok = false;
        try {
            w = std::make_unique<WriterImpl<Ops>>(true, debug, path_, d, ops_, Mem::RootPath(), QuiescedCallback());
            ok = w->initialize("none");
        } catch (Lumo::Exception const& e) {
            LUMO_FMTRACE(debug, 2, "VornMap", "{}", e.msg());
        }
        if (!ok)
            Lumo::fmassertFail("VornMap", __FILE__, "createDefaultLocalWriter", __LINE__,
                               "unable to initialize local VornTemporary");
        return w;
    }

    // ---- mounting (Vorn::ControlBase, Mem::SentryTarget) ----

    void init(Mem::CollectionDescriptor const& descriptor) override {
        dropEdit();
        if (orphan_ && assertOnOrphanAccess_)
            Lumo::fmassertFail("VornMap", __FILE__, "init", __LINE__,
                               "Re-initializing a collection that has already become an orphan and has "
                               "assertOnOrphanAccess set");
        auto const* d = dynamic_cast<MapDescriptor const*>(&descriptor);
        if (!d)
            Lumo::raise<Lumo::InvalidInitializeException>("name:{} failed subsequent initialize; old {}; new {}; "
                                                          "reason: {}",
                                                          name_, desc_.toString(), descriptor.toString(),
                                                          "not a Vorn::MapDescriptor");
        if (initialized_) {
            std::string reason;
            if (desc_.compatible(*d, reason)) {
                LUMO_FMTRACE(debug_, 5, "VornMap", "name:{} already initialized; current {}; incoming {}", name_,
                             desc_.toString(), d->toString());
                return;
            }
            Lumo::raise<Lumo::InvalidInitializeException>(
                "name:{} failed subsequent initialize; old {}; new {}; reason: {}", name_, desc_.toString(),
                d->toString(), reason.empty() ? std::string("<missing reason>") : reason);
        }
        LUMO_FMTRACE(debug_, 5, "VornMap", "name:{} {}", name_, d->toString());
        if (d->heapAllocation && !d->local)
            Lumo::raise<Lumo::InvalidInitializeException>(
                "cannot initialize collection {} heap allocation in non-local mode not allowed", name_);
        if (d->type == VornType::writer && d->initialSize == 0)
            Lumo::raise<Lumo::InvalidInitializeException>(
                "0 is not a valid initialization size for collection {} in writer mode", name_);
        bool const shadow = d->type == VornType::shadow || d->type == VornType::valueShadow;
        if (!d->local && shadow) {
            if (rearrangePending_) {
                onKeyValue_ = [](Key, Value const*) {};
                onValue_ = [](Value const&, Value const*) {};
                rearrangePending_ = false;
            }
            if (!notifying_)
                Lumo::fmassertFail("VornMap", __FILE__, "init", __LINE__,
                                   "notifications unexpectedly disabled prior to initialization with asynchronous "
                                   "mode");
        }
        impl_.reset();
        debug_ = Lumo::Platform::getDebugHandler(path_.empty() ? name_ : path_, true);
        if (mounter_) Lumo::fmassertFail("VornMap", __FILE__, "init", __LINE__, "Vorn mounter should not exist");
        if (d->prevValue && !d->captureNotifyValues)
            Lumo::fmassertFail("VornMap", __FILE__, "init", __LINE__,
                               "prevValue mount-time option enabled without specifying `captureNotifyValues property");
        desc_ = *d;
        type_ = d->type;
        local_ = d->local;
        root_ = local_ ? Mem::RootPath() : Mem::RootPath(Mem::ZorbRootPath(path_));
        quiescedReported_ = false;
        if (type_ != VornType::writer && !local_) {
            if (!shadow && type_ != VornType::reader)
                Lumo::fmassertFail("VornMap", __FILE__, "init", __LINE__,
                                   fmt::format("not a valid reader type:{}", int(type_)));
            impl_ = std::make_unique<VornDummy<Ops>>(debug_, path_, false);
            initialized_ = true;
            auto sentry = std::make_unique<Mem::ReaderSentry>(this, root_);
            readerSentry_ = sentry.get();
            mounter_ = std::move(sentry);
            mounter_->post(eventName(eventInit));
            return;
        }
        auto w = std::make_unique<WriterImpl<Ops>>(local_, debug_, path_, *d, ops_, root_, [this](bool q) {
            quiescedReported_ = true;
            if (onQuiesced_) onQuiesced_(q);
        });
        bool ok = false;
        try {
            ok = w->initialize("none");
        } catch (Lumo::IllegalOperationException const& e) {
            // Another writer holds the map: its message names it.
            LUMO_FMTRACE(debug_, 2, "VornMap", "{}", e.msg());
            impl_ = std::make_unique<VornDummy<Ops>>(debug_, path_, false);
            throw;
        } catch (Lumo::Exception const& e) {
            LUMO_FMTRACE(debug_, 2, "VornMap", "{}", e.msg());
        }
        if (!ok) {
            impl_ = std::make_unique<VornDummy<Ops>>(debug_, path_, false);
            Lumo::raise<Lumo::InvalidInitializeException>("failed to initialize collection {}", name_);
        }
        impl_ = std::move(w);
        if (!local_) {
            Mem::Util::createControlFile(root_);
            mounter_ = std::make_unique<Mem::WriterSentry>(this, root_);
            mounter_->post(eventName(eventInit));
        }
        initialized_ = true;
        if (type_ == VornType::writer) {
            if (!quiescedReported_ && onQuiesced_) onQuiesced_(true);
            quiescedReported_ = true;
            if (onMountStatus_) onMountStatus_();
        }
    }

    void attach(std::string const& event) override {
        dropEdit();
        if (type_ == VornType::writer)
            Lumo::fmassertFail("VornMap", __FILE__, "attach", __LINE__, "invoked for a writer");
        std::unique_ptr<Interface> n;
        if (type_ == VornType::reader) {
            n = std::make_unique<ReaderImpl<Ops>>(debug_, path_, root_, ops_, &readerCounters_);
        } else if (impl_ && impl_->kind() == ImplKind::shadow) {
            n = std::make_unique<VornDummy<Ops>>(debug_, path_, false);
        } else {
            ShadowCallbacks<Ops> cb;
            // A kept record is looked up again after any key's notification.
            cb.onKey = [this](Key k) {
                ++changes_;
                if (onKey_) onKey_(k);
            };
            // A key gone is a change of that key: the owner hears it by key.
            cb.onKeyValue = [this](Key k, Value const* v) {
                ++changes_;
                if (onKey_) onKey_(k);
                if (onKeyValue_) onKeyValue_(k, v);
            };
            cb.onMountStatus = [this](MountStatus) {
                if (onMountStatus_) onMountStatus_();
            };
            cb.onCorruption = [this](std::string const& m) { doCorruptionDetected(m); };
            cb.onQuiesced = [this](bool q) {
                if (onQuiesced_) onQuiesced_(q);
            };
            cb.onValue = [this](Value const& v, Value const* prev) {
                ++changes_;
                if (onValue_) onValue_(v, prev);
            };
            cb.onDisconnect = [this] { handleDisconnect(); };
            ShadowConfig cfg;
            cfg.notifying = notifying_;
            cfg.captureValues = type_ == VornType::valueShadow;
            cfg.prevValue = desc_.prevValue;
            n = std::make_unique<ShadowImpl<Ops>>(
                Lumo::Platform::getDebugHandler("Vorn-DummyShadowNotifier", true), path_, root_, ops_, std::move(cb),
                cfg);
        }
        LUMO_FMTRACE(debug_, 5, "VornMap", "attempting to attach {} as {}", root_.path(), int(type_));
        n->notifyingIs(notifying_);
        n->yieldTimeIs(yieldTime_);
        bool ok = false;
        try {
            ok = n->initialize(event);
        } catch (Lumo::CorruptionDetectedException const& e) {
            doCorruptionDetected(e.msg());
        }
        if (!ok) {
            LUMO_FMTRACE(debug_, 5, "VornMap", "initialize failed for {}", root_.path());
            if (attaches_ > 0)
                LUMO_FMTRACE(debug_, 2, "VornMap", "failed initial validation of {} after re-attaching", root_.path());
            if (n->mountStatus() == flushInProgress) {
                LUMO_FMTRACE(debug_, 5, "VornMap", "not deleting Vorn, waiting for flush to complete");
                impl_ = std::move(n);
            }
            return;
        }
        LUMO_FMTRACE(debug_, 5, "VornMap", "successful");
        impl_ = std::move(n);
        ++attaches_;
        if (readerSentry_) readerSentry_->watch(impl_->fd());
        if (type_ == VornType::reader && onQuiesced_) onQuiesced_(true);
        if (onMountStatus_) onMountStatus_();
    }

    void tryAttach() override {
        if (!mounter_ || !impl_ || !impl_->connected()) return;
        MountStatus s = impl_->mountStatus();
        if (s == notMounted) {
            mounter_->post(eventName(eventTryAttach));
            MountStatus now = impl_->mountStatus();
            if (now != notMounted)
                LUMO_FMTRACE(Lumo::Platform::getDebugHandler("VornCanary", true), 2, "VornMap",
                             "mounted {} mountStatus:{}", root_.path(), int(now));
            return;
        }
        LUMO_FMTRACE(debug_, 5, "VornMap", "{} is already mounted, mountStatus:{}", root_.path(), int(s));
    }

    // One round of the reader's own work, from the agent's loop after fd()
    // was readable (or on a timer): notice a writer that died or was
    // replaced (detach; a shadow then reports its keys gone, mount status
    // 3, before going to 0), run the implementation's notification work,
    // and attach to a live writer when there is none. True while work
    // remains (call again without waiting).
    bool service() override {
        if (!impl_ || orphan_) return false;
        ++changes_;
        if (!readerSentry_) return impl_->service();
        bool const changed = readerSentry_->drain();
        bool work = false;
        // The control file is read again only when the directory changed;
        // the writer's death shows on its pidfd.
        if (impl_->attachedToFiles() && (changed || !readerSentry_->alive(readerSentry_->attachedPid())) &&
            !readerSentry_->writerStillThere()) {
            writerGone();
            work = true;
        }
        work |= impl_->service();
        if (impl_->kind() == ImplKind::shadow && impl_->mountStatus() == notMounted) {
            // The shadow was detached (writer gone, channel closed, corruption)
            // and its flush has completed.
            impl_ = std::make_unique<VornDummy<Ops>>(debug_, path_, false);
            readerSentry_->watch(-1);
            if (onMountStatus_) onMountStatus_();
            mounter_->post(eventName(eventFlushComplete));
            work = true;
        } else if (impl_->kind() == ImplKind::dummy) {
            tryAttach();
            work |= impl_->kind() != ImplKind::dummy;
        }
        return work;
    }
    // The descriptor the agent polls for this map (POLLIN), -1 for a writer
    // or a local map; and whether it may sleep in it now (false: call
    // service() again first).
    int fd() const { return readerSentry_ ? readerSentry_->fd() : -1; }
    bool prepareToWait() { return impl_ ? impl_->prepareToWait() : true; }
    std::uint64_t attaches() const { return attaches_; }

    // ---- orphans ----

    void assertOnOrphanAccessIs(bool on) { assertOnOrphanAccess_ = on; }
    bool assertOnOrphanAccess() const { return assertOnOrphanAccess_; }
    bool orphan() const { return orphan_; }
    void installDummy() {
        dropEdit();
        if (assertOnOrphanAccess_)
            impl_ = std::make_unique<VornStrictDummy<Ops>>(std::move(impl_), path_, root_.path());
        else
            impl_ = std::make_unique<VornDummy<Ops>>(debug_, path_, true);
        readerSentry_ = nullptr;
        mounter_.reset();
        orphan_ = true;
    }
    void controlDetach() {
        LUMO_FMTRACE(debug_, 5, "VornMap", "{}", path_);
        installDummy();
    }

    // ---- safe wrappers ----

    bool safeLookup(Key key, Value& out, IterHint& hint) const {
        if (editOpen_ && key == editKey_) {
            out = *editPtr_;
            return true;
        }
        try {
            return impl_->lookup(key, out, hint);
        } catch (Lumo::CorruptionDetectedException const& e) {
            const_cast<VornMap*>(this)->doCorruptionDetected(e.msg());
            hint.reset();
            return false;
        }
    }
    void safeWrite(Value const& v, bool overwrite) {
        changed();
        try {
            impl_->write(v, overwrite);
        } catch (Lumo::CorruptionDetectedException const& e) {
            doCorruptionDetected(e.msg());
            Lumo::fmassertFail("VornMap", "Vorn/VornMap", "safeWrite", 337, "in no man's land");
        }
    }
    bool safeRemove(Key key, Value& out) {
        changed();
        try {
            return impl_->remove(key, out);
        } catch (Lumo::CorruptionDetectedException const& e) {
            doCorruptionDetected(e.msg());
            Lumo::fmassertFail("VornMap", "Vorn/VornMap", "safeRemove", 315, "in no man's land");
        }
    }
    Value* directWrite(Value const& v) {
        changed();
        return impl_->directWrite(v);
    }
    void directCommit() {
        editOpen_ = false;
        ++changes_;
        try {
            impl_->directCommit();
        } catch (Lumo::CorruptionDetectedException const& e) {
            doCorruptionDetected(e.msg());
            Lumo::fmassertFail("VornMap", "Vorn/VornMap", "directCommit", 390, "in no man's land");
        }
    }

    // ---- one record at a time (the hardware side's accessors) ----

    // The record of `key` as last looked up, or null when absent; the
    // pointer stays valid until the next call on the map. A caller asking
    // several questions about one key (exists, valid, transaction id, each
    // memory's bytes) gets answers from one consistent record for one
    // lookup. The record is kept only where everything this process sees
    // changes through this object: a writer or local map (its own calls) and
    // a shadow, whose changes come with the notification of their keys:
    // every delivered key, and every service() round, forgets the kept
    // record, so a record kept before a key's notification is never used
    // after it. A plain reader looks up afresh every time.
    Value const* lookupKept(Key key) const {
        if (editOpen_ && key == editKey_) return editPtr_;
        ImplKind const k = impl_->kind();
        bool const keep = k == ImplKind::writer || k == ImplKind::tmp || k == ImplKind::shadow;
        if (!keep || !kept_.valid || !(kept_.key == key) || kept_.impl != impl_.get() || kept_.changes != changes_) {
            IterHint h;
            kept_.found = safeLookup(key, kept_.value, h);
            kept_.key = key;
            kept_.impl = impl_.get();
            kept_.changes = changes_;
            kept_.valid = keep;
        }
        return kept_.found ? &kept_.value : nullptr;
    }

    // The stored record of `fresh`'s key, for editing in place; `fresh`
    // itself is stored when the key is absent. The edit stays open, and the
    // same pointer is handed out again for the same key, until editCommit()
    // or any other change through this map (which commits it first);
    // lookups of the key see the edit, readers see it once committed,
    // iteration sees the map as before the edit. Writer only: a reader stops
    // with the read-only map's text.
    Value* editInPlace(Value const& fresh) {
        Key const key = Ops::keyOf(fresh);
        if (editOpen_ && key == editKey_) return editPtr_;
        editCommit();
        ++changes_;
        try {
            editPtr_ = impl_->directWrite(fresh);
        } catch (Lumo::CorruptionDetectedException const& e) {
            doCorruptionDetected(e.msg());
            Lumo::fmassertFail("VornMap", "Vorn/VornMap", "safeWrite", 337, "in no man's land");
        }
        editKey_ = key;
        editOpen_ = true;
        return editPtr_;
    }
    // Commits the open edit; true when there was one.
    bool editCommit() {
        if (!editOpen_) return false;
        directCommit();
        return true;
    }
    bool editOpen() const { return editOpen_; }

    // Visits the keys from the first to the last, letting `f` remove the
    // key it is given. Corruption while walking ends the walk (reported).
    template <class F>
    void walkKeys(F&& f) {
        Value v;
        IterHint h;
        bool ok;
        try {
            ok = impl_->first(v, h);
        } catch (Lumo::CorruptionDetectedException const& e) {
            doCorruptionDetected(e.msg());
            return;
        }
        while (ok) {
            Key k = Ops::keyOf(v);
            f(k);
            try {
                ok = impl_->next(k, v, h);
            } catch (Lumo::CorruptionDetectedException const& e) {
                doCorruptionDetected(e.msg());
                return;
            }
        }
    }

    // Iteration over the current implementation; corruption ends it.
    class IteratorConst {
    public:
        explicit IteratorConst(VornMap const& m) : m_(&m) {
            guard([&] { ok_ = m_->impl_->first(v_, hint_); });
        }
        // At `key`, or at the key after it when it is absent.
        IteratorConst(VornMap const& m, Key key) : m_(&m) {
            guard([&] { ok_ = m_->impl_->lookup(key, v_, hint_) || m_->impl_->next(key, v_, hint_); });
        }
        bool atEnd() const { return !ok_; }
        Value const& value() const { return v_; }
        Key key() const { return Ops::keyOf(v_); }
        void advance() {
            Key k = key();
            guard([&] { ok_ = m_->impl_->next(k, v_, hint_); });
        }

    private:
        template <class F>
        void guard(F&& f) {
            try {
                f();
            } catch (Lumo::CorruptionDetectedException const& e) {
                const_cast<VornMap*>(m_)->doCorruptionDetected(e.msg());
                ok_ = false;
            }
        }
        VornMap const* m_;
        Value v_{};
        IterHint hint_;
        bool ok_ = false;
    };

    // ---- forwarded ----

    MountStatus mountStatus() const override { return orphan_ || !impl_ ? notMounted : impl_->mountStatus(); }
    bool quiesced() const override { return !orphan_ && impl_ && impl_->quiesced(); }
    std::string const& collName() const override { return name_; }
    std::string rootPath() const override { return root_.path(); }
    Mem::RootPath const& root() const { return root_; }
    bool validate() {
        LUMO_FMTRACE(debug_, 5, "VornMap", "{}", path_);
        return impl_->validate();
    }
    bool validateFiles(std::string const& name, int n) {
        LUMO_FMTRACE(debug_, 5, "VornMap", "{} {} {}", path_, name, n);
        return impl_->validateFiles();
    }
    void cleanup() {
        LUMO_FMTRACE(debug_, 5, "VornMap", "{}", path_);
        impl_->cleanup();
    }
    void cleanupAndDetach() {
        if (!initialized_) {
            LUMO_FMTRACE(debug_, 5, "VornMap", "detaching uninitialized vorn:{}", path_);
            return;
        }
        cleanup();
        detach(true);
    }
    void detach(bool force) {
        LUMO_FMTRACE(debug_, 5, "VornMap", "{} force:{}", path_, force);
        dropEdit();
        ++changes_;
        MountStatus const before = mountStatus();
        impl_->detach(force);
        // A shadow reports its own transitions (3, then 0 after its flush).
        if (impl_->kind() != ImplKind::shadow && mountStatus() != before && onMountStatus_) onMountStatus_();
    }
    std::uint32_t fenixId() const { return impl_->fenixId(); }
    std::uint64_t sequence(int priority) const { return impl_->sequence(priority); }
    std::uint32_t members() const { return impl_->members(); }
    std::uint32_t capacity() const { return impl_->capacity(); }
    std::uint32_t maxSize() const { return impl_->maxSize(); }
    bool connected() const { return impl_ && impl_->connected(); }
    void clientQuiesced(std::string const& readerName) {
        LUMO_FMTRACE(debug_, 5, "VornMap", "{} readerName:{}", path_, readerName);
    }
    bool notifying() const { return notifying_; }
    void notifyingIs(bool on) {
        notifying_ = on;
        if (impl_) impl_->notifyingIs(on);
    }
    void yieldTimeIs(double seconds) {
        yieldTime_ = seconds;
        impl_->yieldTimeIs(seconds);
    }
    std::uint64_t scratchpad() const { return impl_->scratchpad(); }
    void scratchpadIs(std::uint64_t v) { impl_->scratchpadIs(v); }
    ReaderCounters readerCounters() const { return impl_->readerCounters(); }
    WriterCounters writerCounters() const { return impl_->writerCounters(); }
    bool validateVersionAnchor() const { return anchorHook_ ? anchorHook_() : impl_->validateVersionAnchor(); }
    VersionAnchor getCacheVersionAnchor() const { return impl_->getCacheVersionAnchor(); }
    bool compareVersionAnchor(VersionAnchor const& a) const { return impl_->getCacheVersionAnchor() == a; }
    void validateVersionAnchorHookIs(std::function<bool()> hook) { anchorHook_ = std::move(hook); }

    bool initialized() const { return initialized_; }
    VornType type() const { return type_; }
    bool local() const { return local_; }
    MapDescriptor const& descriptor() const { return desc_; }
    Interface* impl() const { return impl_.get(); }
    Mem::Sentry* mounter() const { return mounter_.get(); }
    Ops const& ops() const { return ops_; }

protected:
    // Every change through this map: an open edit is committed first, and
    // a kept record is looked up again.
    void changed() {
        editCommit();
        ++changes_;
    }
    // The implementation goes away with its edit uncommitted.
    void dropEdit() {
        editOpen_ = false;
        ++changes_;
    }
    void deliverKey(Key k) {
        ++changes_;
        if (onKey_) onKey_(k);
    }

private:
    // The channel of the shadow was closed by its writer; the shadow detaches
    // itself and flushes. Only a shadow has a channel.
    void handleDisconnect() {
        ImplKind const k = impl_ ? impl_->kind() : ImplKind::dummy;
        if (k != ImplKind::shadow)
            Lumo::fmassertFail("VornMap", __FILE__, "handleDisconnect", __LINE__,
                               fmt::format("wrong type:{}", int(k)));
        LUMO_FMTRACE(debug_, 5, "VornMap", "{} disconnected", root_.path());
    }

    // The writer this reader followed died or gave way to another: a plain
    // reader detaches at once; a shadow detaches and flushes, and service()
    // installs the placeholder when the flush is done.
    void writerGone() {
        dropEdit();
        LUMO_FMTRACE(debug_, 2, "VornMap", "{} writer pid:{} gone, detaching", root_.path(),
                     readerSentry_->attachedPid());
        readerSentry_->watch(-1);
        if (impl_->kind() == ImplKind::shadow) {
            impl_->detach(false);
            return;
        }
        impl_->detach(true);
        impl_ = std::make_unique<VornDummy<Ops>>(debug_, path_, false);
        readerSentry_->watch(-1);
        if (onMountStatus_) onMountStatus_();
    }

private:
    Lumo::Platform::DebugHandler* debug_ = nullptr;
    // The kept record (lookupKept) and the open edit (editInPlace).
    struct Kept {
        Value value{};
        Key key{};
        Interface const* impl = nullptr;
        std::uint64_t changes = 0;
        bool found = false;
        bool valid = false;
    };
    mutable Kept kept_;
    std::uint64_t changes_ = 0;
    Value* editPtr_ = nullptr;
    Key editKey_{};
    bool editOpen_ = false;
    std::string name_;
    std::string path_;
    VornType type_ = VornType::writer;
    bool local_ = true;
    bool initialized_ = false;
    MapDescriptor desc_;
    std::unique_ptr<Interface> impl_;
    std::unique_ptr<Mem::Sentry> mounter_;
    Mem::ReaderSentry* readerSentry_ = nullptr;  // mounter_ of a reader
    std::uint64_t attaches_ = 0;
    bool notifying_ = true;
    bool assertOnOrphanAccess_ = false;
    bool orphan_ = false;
    KeyCallback onKey_;
    KeyValueCallback onKeyValue_;
    ValueCallback onValue_;
    MountStatusCallback onMountStatus_;
    QuiescedCallback onQuiesced_;
    bool rearrangePending_ = false;
    bool quiescedReported_ = false;
    double yieldTime_ = 0;
    Ops ops_;
    Mem::RootPath root_;
    ReaderCounters readerCounters_;
    std::function<bool()> anchorHook_;
};

}  // namespace Vorn
