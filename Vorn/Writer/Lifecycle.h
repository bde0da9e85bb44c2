#pragma once
// VornWriter: construction, attach and validation with wipe, detach, cleanup.
// Included by Vorn/VornWriter.h only.

namespace Vorn {

template <class Ops>
VornWriter<Ops>::VornWriter(Lumo::Platform::DebugHandler* debug, std::string name, MapDescriptor const& desc, Ops ops,
                            Mem::RootPath root, QuiescedCallback quiesced)
    : debug_(debug), name_(std::move(name)), desc_(desc), ops_(std::move(ops)),
      root_(desc.local ? Mem::RootPath() : std::move(root)), quiesced_(std::move(quiesced)),
      slots_(debug_, name_, root_, slotConfig(desc_), ops_.typeName()), buckets_(debug_, root_),
      quorl_(debug_, root_), map_(debug_, ops_, slots_, buckets_), tapp_(&quorl_) {
    map_.criticalTaskCheckIs(desc_.criticalTaskCheck);
    // A slot growth is time-sliced like the bucket reorganisations.
    slots_.slicesIs([this](typename Slots::SlicePoint p) {
        switch (p) {
        case Slots::SlicePoint::begin: map_.beginSlices(Lumo::Rdtsc::now()); break;
        case Slots::SlicePoint::step: map_.maybeYield(); break;
        case Slots::SlicePoint::end: map_.endSlices(); break;
        }
    });
}

template <class Ops>
typename VornWriter<Ops>::Slots::Config VornWriter<Ops>::slotConfig(MapDescriptor const& d) {
    typename Slots::Config c;
    c.initialSlots = d.initialSize;
    c.tableSize = d.tableSize ? d.tableSize : d.initialSize;
    c.minSlots = minSizeFor(d);
    c.configSlots = d.configSlots;
    c.fixedSize = d.fixedSize;
    c.shrinkEnabled = d.shrinkSlots;
    return c;
}

template <class Ops>
bool VornWriter<Ops>::initialize(std::string const& event) {
    LUMO_FMASSERT(__atomic_always_lock_free(8, nullptr), "VornWriter", "Hardware does not support Atomics");
    LUMO_FMTRACE(debug_, 5, "VornWriter", "{} event:{} {}", name_, event, desc_.toString());
    // Calibrate the cycle counter now, not inside the first reorganisation.
    (void)Lumo::Rdtsc::calibrationRate();
    if (root_.empty()) {
        fenixId_ = SharedMem::FenixFile::newFenixId();
        int r = attach(fenixId_);
        LUMO_FMASSERT(r == attachNew, "VornWriter", "unable to initialize local map {}: {}", name_, r);
        initialized_ = true;
        return true;
    }
    owner_ = std::make_unique<SharedMem::OwnerFile>(debug_, root_, true);
    lock_ = Mem::WriterLock::acquireWriterLock(debug_, root_, *owner_, false);
    // A control file left by a dead writer must not attach readers to files
    // that are about to be validated, taken over or re-created.
    Mem::Util::removeControlFile(root_);
    SharedMem::FenixFile fenix(debug_, root_, true);
    if (fenix.read()) {
        fenixId_ = fenix.fenixId();
    } else {
        fenixId_ = SharedMem::FenixFile::newFenixId();
        fenix.write(fenixId_);
    }
    if (!attachAndValidate(false, *owner_, SharedMem::ShocketInfo{})) {
        if (!attachAndValidate(true, *owner_, SharedMem::ShocketInfo{})) {
            std::string m;
            if (!owner_->validate(m))
                LUMO_FMTRACE(debug_, 2, "VornWriter", "owner file validation failed, dumping owner file string: {}",
                             owner_->headerToString());
            Lumo::raise<Lumo::InvalidInitializeException>("failed to attach to and validate new files");
        }
    }
    {
        auto guard = owner_->lock();
        owner_->typeNameIs(ops_.typeName());
        owner_->sharedMemTypeIs(desc_.sharedMemType);
    }
    tapp_.onAttach();
    initialized_ = true;
    if (quiesced_) quiesced_(true);
    return true;
}

template <class Ops>
int VornWriter<Ops>::attach(std::uint32_t fenixId) {
    fenixId_ = fenixId;
    int s = slots_.attach(fenixId);
    LUMO_FMASSERT(validAttachResult(s), "VornWriter", "Invalid slot attach");
    LUMO_FMTRACE(debug_, 5, "VornWriter", "slotsAttached:{}", s);
    int m = buckets_.attach(fenixId, 1);
    LUMO_FMASSERT(validAttachResult(m), "VornWriter", "Invalid map attach");
    LUMO_FMTRACE(debug_, 5, "VornWriter", "mapAttached:{}", m);
    if (m != attachInvalid) map_.countIs(buckets_.count());
    int q = quorl_.attach(fenixId);
    LUMO_FMASSERT(validAttachResult(q), "VornWriter", "Invalid quorl attach");
    LUMO_FMTRACE(debug_, 5, "VornWriter", "quorlAttached:{}", q);
    if (s != attachInvalid && q != attachInvalid) quorl_.slotCapacityIs(slots_.header().common.maxSlots);
    slotAttachResult_ = s;
    attached_ = true;
    return s | m | q;
}

template <class Ops>
bool VornWriter<Ops>::attachAndValidate(bool wipe, SharedMem::OwnerFile& owner, SharedMem::ShocketInfo const& info) {
    if (wipe) {
        LUMO_FMTRACE(debug_, 2, "VornWriter", "all entries from {} will be lost", root_.path());
        {
            auto guard = owner.lock();
            if (!owner.validate()) owner.reformat();
            owner.wipedIs(true);
        }
        quorl_.cleanup();
        slots_.cleanup();
        buckets_.cleanup();
        fenixId_ = SharedMem::FenixFile::newFenixId();
        SharedMem::FenixFile(debug_, root_, true).write(fenixId_);
    }
    int r = attach(fenixId_);
    if ((r & attachInvalid) == 0) {
        if (validate(fenixId_, false)) {
            SharedMem::ShocketInfo mine =
                info.empty() ? SharedMem::ShocketInfo{std::uint32_t(::getpid()), quorl_.shocketName()} : info;
            std::string m;
            {
                auto guard = owner.lock();
                if (!owner.validate()) owner.reformat();
                owner.shocketInfoIs(mine);
            }
            LUMO_FMASSERT(owner.validate(m), "VornWriter", "wrote to owner file but validation failed: {}", m);
            if (wipe) LUMO_FMTRACE(debug_, 2, "VornWriter", "re-formatted successfully");
            return true;
        }
        if (wipe) Lumo::raise<Lumo::CorruptionDetectedException>("failed validation");
        LUMO_FMTRACE(debug_, 2, "VornWriter", "failed to validate existing files");
        LUMO_FMTRACE(debug_, 2, "VornWriter", "{}", dumpHeaders());
        LUMO_FMTRACE(debug_, 2, "VornWriter", "owner file: {}", owner.headerToString());
        return false;
    }
    if (wipe) LUMO_FMFAIL("VornWriter", "expected successful attach post-wipe");
    lastMessage_ = fmt::format("Vorn {} attach failed: {} {}", name_, slots_.message(), buckets_.message());
    LUMO_FMTRACE(debug_, 2, "VornWriter", "failed to attach to existing files");
    LUMO_FMTRACE(debug_, 2, "VornWriter", "{} {}", lastMessage_, quorl_.message());
    LUMO_FMTRACE(debug_, 2, "VornWriter", "owner file: {}", owner.headerToString());
    return false;
}

template <class Ops>
bool VornWriter<Ops>::validate(std::uint32_t fenixId, bool checkOwner) {
    std::string why;
    bool ok = false;
    try {
        ok = doValidate(fenixId, why);
    } catch (Lumo::Exception const& e) {
        why = e.msg();
    }
    if (ok && checkOwner && owner_ && !owner_->validate(why)) ok = false;
    if (!ok) {
        lastMessage_ = fmt::format("Vorn {} validation failed: {}", name_, why);
        LUMO_FMTRACE(debug_, 2, "VornWriter", "{}", lastMessage_);
    }
    return ok;
}

template <class Ops>
void VornWriter<Ops>::detach(bool force) {
    (void)force;
    LUMO_FMASSERT(!(directSlot_ != kLinkNone && directNew_), "VornWriter",
                  "unbalanced directSlot:{} containing value:{} - Make sure the DirectIs/Commit are properly paired!",
                  directSlot_, directKey_);
    detachQuietly();
}

template <class Ops>
void VornWriter<Ops>::cleanup() {
    LUMO_FMTRACE(debug_, 5, "VornWriter", "removing Vorn files in {}", root_.path());
    if (!root_.empty()) {
        SharedMem::OwnerFile owner(debug_, root_, false);
        std::string m;
        if (owner.exists() && !owner.validate(m))
            LUMO_FMTRACE(debug_, 2, "VornWriter",
                         "owner file corruption detected but continuing with cleanup, dumped owner file: {}",
                         owner.headerToString());
    }
    tapp_.onDetach();
    quorl_.cleanup();
    slots_.cleanup();
    buckets_.cleanup();
    if (!root_.empty()) {
        root_.removeFile(SharedMem::FenixFile::kFileName);
        root_.removeFile(SharedMem::OwnerFile::kFileName);
        root_.removeFile("writer.lock");
        Mem::Util::removeControlFile(root_);
        ::rmdir(root_.path().c_str());
    }
    owner_.reset();
    lock_.reset();
    attached_ = initialized_ = false;
}

template <class Ops>
void VornWriter<Ops>::detachQuietly() {
    if (attached_ && owner_) {
        auto info = owner_->shocketInfo();
        if (Mem::WriterLock::ownerIsMe(info.name)) {
            LUMO_FMTRACE(debug_, 5, "VornWriter", "clearing shocketInfo");
            auto guard = owner_->lock();
            owner_->shocketInfoIs(SharedMem::ShocketInfo{});
        }
    }
    tapp_.onDetach();
    slots_.detach();
    buckets_.detach();
    quorl_.detach();
    owner_.reset();
    lock_.reset();
    attached_ = initialized_ = false;
    directSlot_ = kLinkNone;
    directNew_ = false;
}

template <class Ops>
WriterCounters VornWriter<Ops>::counters() const {
    WriterCounters c = counters_;
    c.grows = slots_.growCount();
    c.remaps = slots_.remapCount();
    double rate = double(Lumo::Rdtsc::calibrationRate());
    c.longestBucketGrowSeconds = double(map_.timing().longestGrowCycles) / rate;
    c.longestBucketShrinkSeconds = double(map_.timing().longestShrinkCycles) / rate;
    c.longestSlotShrinkSeconds = double(longestSlotShrinkCycles_) / rate;
    c.longestSliceSeconds = double(map_.timing().longestSliceCycles) / rate;
    return c;
}

}  // namespace Vorn
