#include "Quorl/Quorl.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <linux/membarrier.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include "Lumo/Exception.h"
#include "Mem/SafeCopy.h"

namespace Quorl {

// The registration belongs to the process's address space: a child made by
// fork() starts unregistered, so it registers again (a writer that dropped
// its fence without being registered would lose wake-ups).
bool registerForGlobalBarrier() {
    static std::atomic<int> registeredPid{0};
    static std::atomic<bool> registered{false};
    int const pid = int(::getpid());
    if (registeredPid.load(std::memory_order_acquire) == pid) return registered.load(std::memory_order_relaxed);
    long cmds = ::syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    bool const ok = cmds >= 0 && (cmds & MEMBARRIER_CMD_GLOBAL_EXPEDITED) &&
                    (cmds & MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED) &&
                    ::syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED, 0, 0) == 0;
    registered.store(ok, std::memory_order_relaxed);
    registeredPid.store(pid, std::memory_order_release);
    return ok;
}

bool globalBarrier() { return ::syscall(SYS_membarrier, MEMBARRIER_CMD_GLOBAL_EXPEDITED, 0, 0) == 0; }

namespace {

constexpr std::uint32_t kSlotRounding = 1024;

std::size_t quorlSize(std::uint64_t ringCapacity, std::uint64_t slotCapacity) {
    return sizeof(QuorlHeader) + 8 * ringCapacity + 8 * slotCapacity;
}

// The one check of a channel header, by its writer re-attaching and by its
// readers: identity (magic, format, the files' generation unless 0) and a
// ring and slot array that fit the `bytes` available.
bool validHeader(QuorlHeader const& copy, std::uint32_t fenixId, std::size_t bytes, std::string& message) {
    if (copy.magic == QuorlHeader::kMagic && copy.format == QuorlHeader::kQuorlFormat &&
        (fenixId == 0 || copy.fenixId == fenixId) && copy.ringCapacity >= 2 &&
        (copy.ringCapacity & (copy.ringCapacity - 1)) == 0 && copy.ringCapacity <= (1u << 24) &&
        bytes >= quorlSize(copy.ringCapacity, copy.slotCapacity))
        return true;
    message = fmt::format("bad quorl header magic:{:x} format:{} fenix:{} wanted fenix:{} ring:{} slots:{} file size:{}",
                          copy.magic, copy.format, copy.fenixId, fenixId, copy.ringCapacity, copy.slotCapacity, bytes);
    return false;
}

std::size_t readersSize() { return sizeof(ReadersHeader) + sizeof(ReaderEntry) * ReadersHeader::kMaxReaders; }

ReaderEntry* entries(ReadersHeader* h) { return reinterpret_cast<ReaderEntry*>(h + 1); }

bool statFile(Mem::RootPath const& root, char const* name, std::uint64_t& dev, std::uint64_t& ino) {
    struct stat st;
    if (::stat(root.filePath(name).c_str(), &st) != 0) return false;
    dev = std::uint64_t(st.st_dev);
    ino = std::uint64_t(st.st_ino);
    return true;
}

socklen_t makeAddress(sockaddr_un& addr, std::string const& name) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, name.data(), n);  // sun_path[0] = 0: abstract namespace
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + n);
}

bool processAlive(std::uint32_t pid) { return pid != 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH); }

std::atomic<std::uint32_t> gAttachCounter{0};

}  // namespace

std::string wakeAddress(std::uint64_t dev, std::uint64_t ino, std::uint32_t index, std::uint32_t generation) {
    return fmt::format("zorbq/{:x}:{:x}/{}/{}", dev, ino, index, generation);
}

// ---------------------------------------------------------------- writer

QuorlWriter::QuorlWriter(Lumo::Platform::DebugHandler* debug, Mem::RootPath root, std::uint32_t ringCapacity)
    : debug_(debug), root_(std::move(root)), ringCapacity_(ringCapacity) {
    if (ringCapacity_ < 2 || (ringCapacity_ & (ringCapacity_ - 1)) != 0)
        Lumo::raise<Lumo::RangeException>("quorl ring capacity {} is not a power of two", ringCapacity_);
    ringMask_ = ringCapacity_ - 1;
}

QuorlWriter::~QuorlWriter() { detach(); }

void QuorlWriter::remapPointers() {
    char* base = static_cast<char*>(mem_->base());
    header_ = reinterpret_cast<QuorlHeader*>(base);
    ring_ = reinterpret_cast<std::uint64_t*>(base + sizeof(QuorlHeader));
    slotSeq_ = ring_ + header_->ringCapacity;
}

bool QuorlWriter::attachReaders() {
    readersMem_ = std::make_unique<Mem::Tracked<Mem::SharedMemWrapper>>(root_, kReadersFile, Mem::coreDumpFull);
    if (!readersMem_->attach(readersSize())) {
        message_ = fmt::format("cannot map {}: {}", readersMem_->getFilename(), readersMem_->lastError());
        return false;
    }
    readers_ = static_cast<ReadersHeader*>(readersMem_->base());
    if (Mem::atomicLoad(readers_->magic) != ReadersHeader::kMagic || readers_->format != ReadersHeader::kFormat ||
        readers_->maxReaders != ReadersHeader::kMaxReaders) {
        std::memset(static_cast<void*>(readers_), 0, readersSize());
        readers_->format = ReadersHeader::kFormat;
        readers_->maxReaders = ReadersHeader::kMaxReaders;
        Mem::atomicStore(readers_->magic, ReadersHeader::kMagic);
    }
    if (!statFile(root_, kReadersFile, readersDev_, readersIno_)) {
        message_ = fmt::format("cannot stat {}", readersMem_->getFilename());
        return false;
    }
    if (wakeSocket_ < 0) wakeSocket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return true;
}

int QuorlWriter::attach(std::uint32_t fenixId) {
    detach();
    if (root_.empty()) return kNew;
    mem_ = std::make_unique<Mem::Tracked<Mem::SharedMemWrapper>>(root_, kQuorlFile, Mem::coreDumpFull);
    if (!mem_->attach(sizeof(QuorlHeader)))
        Lumo::raise<Lumo::MemoryResourceException>("cannot attach to quorl {}: {}", mem_->getFilename(),
                                                    mem_->lastError());
    long long fileSize = mem_->fileSize();
    QuorlHeader copy;
    Mem::snapshotHeader(*mem_, copy);
    shocketName_ = fmt::format("{}.{}", ::getpid(), gAttachCounter.fetch_add(1) + 1);
    int result;
    if (fileSize <= (long long)sizeof(QuorlHeader) && copy.magic == 0 && copy.ringCapacity == 0) {
        if (!mem_->resize(quorlSize(ringCapacity_, kSlotRounding)))
            Lumo::raise<Lumo::MemoryResourceException>("cannot size quorl {}: {}", mem_->getFilename(),
                                                        mem_->lastError());
        header_ = static_cast<QuorlHeader*>(mem_->base());
        header_->format = QuorlHeader::kQuorlFormat;
        header_->fenixId = fenixId;
        header_->ringCapacity = ringCapacity_;
        header_->slotCapacity = kSlotRounding;
        header_->writeSeq = 0;
        seq_ = 0;
        result = kNew;
    } else {
        if (!validHeader(copy, fenixId, std::size_t(std::max(0LL, fileSize)), message_)) {
            LUMO_FMTRACE(debug_, 2, "QuorlWriter", "{}", message_);
            mem_.reset();
            return kInvalid;
        }
        if (!mem_->resize(quorlSize(copy.ringCapacity, copy.slotCapacity)))
            Lumo::raise<Lumo::MemoryResourceException>("cannot map quorl {}: {}", mem_->getFilename(),
                                                        mem_->lastError());
        header_ = static_cast<QuorlHeader*>(mem_->base());
        ringCapacity_ = copy.ringCapacity;
        ringMask_ = ringCapacity_ - 1;
        // Whatever the previous writer changed without announcing, every
        // reader now resynchronises: the jump exceeds the ring.
        seq_ = copy.writeSeq + ringCapacity_ + 1;
        result = kExisting;
    }
    remapPointers();
    slotCapacity_ = header_->slotCapacity;
    header_->writerPid = std::uint32_t(::getpid());
    std::memset(header_->shocketName, 0, sizeof header_->shocketName);
    std::memcpy(header_->shocketName, shocketName_.data(), std::min(shocketName_.size(), sizeof header_->shocketName - 1));
    Mem::atomicStore(header_->closed, 0u);
    Mem::atomicStore(header_->writeSeq, seq_);
    if (result == kNew) Mem::atomicStore(header_->magic, QuorlHeader::kMagic);
    if (!attachReaders()) {
        LUMO_FMTRACE(debug_, 2, "QuorlWriter", "{}", message_);
        header_ = nullptr;
        mem_.reset();
        return kInvalid;
    }
    // Before any announcement: a reader that reads the flag clear keeps
    // relying on our fence, which we only drop once the flag is visible.
    char const* keepFence = std::getenv("X2_QUORL_FENCE");
    noFence_ = !(keepFence && std::strcmp(keepFence, "1") == 0) && registerForGlobalBarrier();
    __atomic_store_n(&readers_->writerFlags, noFence_ ? ReadersHeader::kWriterNoFence : 0, __ATOMIC_SEQ_CST);
    if (result == kExisting) wakeAll();
    LUMO_FMTRACE(debug_, 5, "QuorlWriter", "{} {} seq:{}", result == kNew ? "to new file" : "to existing",
                 mem_->getFilename(), seq_);
    return result;
}

void QuorlWriter::growSlots(std::uint32_t slots) {
    std::uint64_t want = std::max<std::uint64_t>(slots, std::uint64_t(slotCapacity_) * 2);
    want = (want + kSlotRounding - 1) / kSlotRounding * kSlotRounding;
    if (want > 0x40000000u) want = 0x40000000u;
    if (!mem_->resize(quorlSize(ringCapacity_, want)))
        Lumo::raise<Lumo::MemoryResourceException>("failed to resize quorl {} to {} slots: {}", mem_->getFilename(),
                                                    want, mem_->lastError());
    remapPointers();
    slotCapacity_ = std::uint32_t(want);
    // Release: a reader that sees the new capacity finds the file long enough.
    Mem::atomicStore(header_->slotCapacity, slotCapacity_);
}

void QuorlWriter::wakeReader(std::uint32_t index) {
    ReaderEntry* e = entries(readers_) + index;
    if (Mem::atomicLoad(e->pid) == 0 || wakeSocket_ < 0) return;
    std::uint32_t generation = Mem::atomicLoad(e->generation);
    sockaddr_un addr;
    socklen_t len = makeAddress(addr, wakeAddress(readersDev_, readersIno_, index, generation));
    char byte = 0;
    if (::sendto(wakeSocket_, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len) == 1)
        ++wakeups_;
}

void QuorlWriter::wakeArmed() {
    std::uint64_t mask = __atomic_exchange_n(&readers_->armed, 0, __ATOMIC_ACQ_REL);
    while (mask) {
        std::uint32_t i = std::uint32_t(__builtin_ctzll(mask));
        mask &= mask - 1;
        wakeReader(i);
    }
}

void QuorlWriter::wakeAll() {
    if (!readers_) return;
    __atomic_store_n(&readers_->armed, 0, __ATOMIC_RELEASE);
    for (std::uint32_t i = 0; i < ReadersHeader::kMaxReaders; ++i) wakeReader(i);
}

bool QuorlWriter::validate(std::uint32_t fenixId, std::uint32_t maxSlots, std::string& message) const {
    if (root_.empty()) return true;
    if (!header_) {
        message = "quorl not attached";
        return false;
    }
    QuorlHeader copy;
    Mem::snapshotHeader(*mem_, copy);
    long long fileSize = mem_->fileSize();
    if (copy.magic != QuorlHeader::kMagic || copy.format != QuorlHeader::kQuorlFormat) {
        message = fmt::format("bad quorl magic:{:x} format:{}", copy.magic, copy.format);
    } else if (copy.fenixId != fenixId) {
        message = fmt::format("mismatching quorl fenix:{}, oldFenix:{}", fenixId, copy.fenixId);
    } else if (copy.slotCapacity < maxSlots) {
        message = fmt::format("quorl slot capacity:{} below largest slot count:{}", copy.slotCapacity, maxSlots);
    } else if (fileSize < (long long)quorlSize(copy.ringCapacity, copy.slotCapacity)) {
        message = fmt::format("bad quorl file size:{} wanted:{}", fileSize, quorlSize(copy.ringCapacity, copy.slotCapacity));
    } else if (copy.writeSeq != seq_) {
        message = fmt::format("quorl writeSeq:{} expected:{}", copy.writeSeq, seq_);
    } else {
        return true;
    }
    return false;
}

bool QuorlWriter::validateSlot(std::uint32_t slot, std::string& message) const {
    if (!header_) return true;
    if (slot >= slotCapacity_) {
        message = fmt::format("slot:{} beyond quorl capacity:{}", slot, slotCapacity_);
        return false;
    }
    std::uint64_t s = __atomic_load_n(&slotSeq_[slot], __ATOMIC_RELAXED);
    if (s > seq_) {
        message = fmt::format("slot:{} quorl sequence:{} beyond writeSeq:{}", slot, s, seq_);
        return false;
    }
    return true;
}

void QuorlWriter::close() {
    if (!header_) return;
    Mem::atomicStore(header_->closed, 1u);
    wakeAll();
}

void QuorlWriter::detach() {
    header_ = nullptr;
    ring_ = slotSeq_ = nullptr;
    readers_ = nullptr;
    slotCapacity_ = 0;
    mem_.reset();
    readersMem_.reset();
    if (wakeSocket_ >= 0) ::close(wakeSocket_);
    wakeSocket_ = -1;
}

void QuorlWriter::cleanup() {
    if (root_.empty()) return;
    if (!header_) {
        // Tell readers of files we never attached (a wipe) that they are gone.
        auto probe = std::make_unique<Mem::Tracked<Mem::SharedMemWrapper>>(root_, kQuorlFile, Mem::coreDumpFull);
        if (root_.fileExists(kQuorlFile) && probe->attach(0) && probe->memSize() >= sizeof(QuorlHeader)) {
            auto* h = static_cast<QuorlHeader*>(probe->base());
            if (Mem::atomicLoad(h->magic) == QuorlHeader::kMagic) Mem::atomicStore(h->closed, 1u);
        }
        if (root_.fileExists(kReadersFile) && attachReaders()) wakeAll();
    } else {
        close();
    }
    detach();
    root_.removeFile(kQuorlFile);
    root_.removeFile(kReadersFile);
    LUMO_FMTRACE(debug_, 5, "QuorlWriter", "removed channel files in {}", root_.path());
}

std::string QuorlWriter::toString() const {
    if (!header_) return "quorl: not attached";
    QuorlHeader copy;
    Mem::snapshotHeader(*mem_, copy);
    return fmt::format("quorl magic:{:x} format:{} fenixId:{} ring:{} slotCapacity:{} writeSeq:{} writerPid:{} "
                       "closed:{} shocket:{}",
                       copy.magic, copy.format, copy.fenixId, copy.ringCapacity, copy.slotCapacity, copy.writeSeq,
                       copy.writerPid, copy.closed, shocketName_);
}

// ---------------------------------------------------------------- reader

QuorlReader::QuorlReader(Lumo::Platform::DebugHandler* debug, Mem::RootPath root)
    : debug_(debug), root_(std::move(root)) {}

QuorlReader::~QuorlReader() { detach(); }

bool QuorlReader::attach(std::uint32_t fenixId) {
    detach();
    mem_ = std::make_unique<Mem::Tracked<Mem::SharedMemWrapper>>(root_, kQuorlFile, Mem::coreDumpFull, true);
    if (!mem_->attach(0) || mem_->memSize() < sizeof(QuorlHeader)) {
        message_ = fmt::format("cannot attach to {}: {}", mem_->getFilename(), mem_->lastError());
        detach();
        return false;
    }
    QuorlHeader copy;
    Mem::snapshotHeader(*mem_, copy);
    if (!validHeader(copy, fenixId, mem_->memSize(), message_)) {
        detach();
        return false;
    }
    ringCapacity_ = copy.ringCapacity;
    slotCapacity_ = copy.slotCapacity;
    header_ = static_cast<QuorlHeader const*>(mem_->base());
    ring_ = reinterpret_cast<std::uint64_t const*>(header_ + 1);
    slotSeq_ = ring_ + ringCapacity_;

    readersMem_ = std::make_unique<Mem::Tracked<Mem::SharedMemWrapper>>(root_, kReadersFile, Mem::coreDumpFull);
    if (!root_.fileExists(kReadersFile) || !readersMem_->attach(readersSize())) {
        message_ = fmt::format("cannot attach to {}", readersMem_->getFilename());
        detach();
        return false;
    }
    readers_ = static_cast<ReadersHeader*>(readersMem_->base());
    if (Mem::atomicLoad(readers_->magic) != ReadersHeader::kMagic || readers_->maxReaders != ReadersHeader::kMaxReaders) {
        message_ = "bad quorl readers file";
        detach();
        return false;
    }
    std::uint32_t me = std::uint32_t(::getpid());
    for (std::uint32_t i = 0; i < ReadersHeader::kMaxReaders && index_ == UINT32_MAX; ++i) {
        ReaderEntry* e = entries(readers_) + i;
        std::uint32_t pid = Mem::atomicLoad(e->pid);
        if (pid != 0 && processAlive(pid)) continue;
        if (__atomic_compare_exchange_n(&e->pid, &pid, me, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) index_ = i;
    }
    if (index_ == UINT32_MAX) {
        message_ = fmt::format("no free reader entry among {}", ReadersHeader::kMaxReaders);
        detach();
        return false;
    }
    ReaderEntry* e = entries(readers_) + index_;
    std::uint32_t generation = __atomic_add_fetch(&e->generation, 1, __ATOMIC_ACQ_REL);
    std::uint64_t dev, ino;
    if (!statFile(root_, kReadersFile, dev, ino)) {
        message_ = "cannot stat quorl readers file";
        detach();
        return false;
    }
    wakeFd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr;
    socklen_t len = makeAddress(addr, wakeAddress(dev, ino, index_, generation));
    if (wakeFd_ < 0 || ::bind(wakeFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        message_ = fmt::format("cannot bind wake-up socket: {}", std::strerror(errno));
        detach();
        return false;
    }
    nextSeq_ = 0;
    needResync_ = true;
    LUMO_FMTRACE(debug_, 5, "QuorlReader", "attached {} as reader {} generation {}", root_.path(), index_, generation);
    return true;
}

void QuorlReader::detach() {
    if (readers_ && index_ != UINT32_MAX) {
        __atomic_fetch_and(&readers_->armed, ~(1ull << index_), __ATOMIC_ACQ_REL);
        Mem::atomicStore(entries(readers_)[index_].pid, 0u);
    }
    index_ = UINT32_MAX;
    readers_ = nullptr;
    header_ = nullptr;
    ring_ = slotSeq_ = nullptr;
    slotCapacity_ = 0;
    mem_.reset();
    readersMem_.reset();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
}

void QuorlReader::drainFifo() {
    if (wakeFd_ < 0) return;
    char buf[64];
    while (::recv(wakeFd_, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
    }
}

std::uint64_t QuorlReader::writeSequence() const {
    return header_ ? __atomic_load_n(&header_->writeSeq, __ATOMIC_ACQUIRE) : 0;
}

bool QuorlReader::prepareToWait() {
    if (!header_) return false;
    // Full barrier: pairs with the writer's seq_cst exchange of writeSeq in
    // notify(); either it sees our bit or we see its sequence.
    __atomic_fetch_or(&readers_->armed, 1ull << index_, __ATOMIC_SEQ_CST);
    // A writer without a fence of its own relies on this barrier (see the
    // protocol at the top of Quorl.h).
    if (__atomic_load_n(&readers_->writerFlags, __ATOMIC_SEQ_CST) & ReadersHeader::kWriterNoFence) globalBarrier();
    if (__atomic_load_n(&header_->closed, __ATOMIC_ACQUIRE) != 0) return false;
    return __atomic_load_n(&header_->writeSeq, __ATOMIC_SEQ_CST) == nextSeq_ && !needResync_;
}

bool QuorlReader::wait(int timeoutMs) {
    if (!prepareToWait()) return true;
    pollfd p{wakeFd_, POLLIN, 0};
    int rc;
    do rc = ::poll(&p, 1, timeoutMs);
    while (rc < 0 && errno == EINTR);
    return rc > 0;
}

void QuorlReader::remapIfGrown() const {
    std::uint32_t cap = __atomic_load_n(&header_->slotCapacity, __ATOMIC_ACQUIRE);
    if (cap <= slotCapacity_) return;
    if (!mem_->resize(quorlSize(ringCapacity_, cap))) return;  // keep the old view; validateNotif stays conservative
    header_ = static_cast<QuorlHeader const*>(mem_->base());
    ring_ = reinterpret_cast<std::uint64_t const*>(header_ + 1);
    slotSeq_ = ring_ + ringCapacity_;
    slotCapacity_ = cap;
}

bool QuorlReader::validateNotif(Notif n) const {
    if (!header_) return false;
    if (n.slot >= slotCapacity_) remapIfGrown();
    if (n.slot >= slotCapacity_) return false;
    return __atomic_load_n(&slotSeq_[n.slot], __ATOMIC_ACQUIRE) == n.sequence + 1;
}

bool QuorlReader::replaced() const {
    if (!mem_) return true;
    struct stat st;
    if (::stat(root_.filePath(kQuorlFile).c_str(), &st) != 0) return true;
    return std::uint64_t(st.st_ino) != mem_->inode();
}

}  // namespace Quorl
