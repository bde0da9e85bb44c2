#include "SharedMem/OwnerFile.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "Lumo/Exception.h"
#include "Lumo/Trace.h"
#include "Vex/Hash.h"

namespace SharedMem {

struct OwnerFile::Record {
    std::uint64_t magic;
    std::uint32_t format;
    std::uint32_t size;
    char typeName[128];
    std::uint32_t sharedMemType;
    std::uint32_t wiped;
    std::uint32_t writerPid;
    std::uint32_t shocketPid;
    char shocketName[64];
    std::uint64_t updates;
    std::uint8_t reserved[20];
    std::uint32_t checksum;
};
static_assert(sizeof(OwnerFile::Record) == 256);
static_assert(offsetof(OwnerFile::Record, typeName) == 16);
static_assert(offsetof(OwnerFile::Record, sharedMemType) == 144);
static_assert(offsetof(OwnerFile::Record, shocketName) == 160);
static_assert(offsetof(OwnerFile::Record, updates) == 224);
static_assert(offsetof(OwnerFile::Record, checksum) == 252);

namespace {
std::uint32_t checksumOf(void const* p) {
    Vex::Hash h(0x6f776e72u);
    h.mixNi(p, 252);
    return h.result();
}

std::string boundedString(char const* s, std::size_t n) { return std::string(s, strnlen(s, n)); }
}  // namespace

OwnerFile::Guard::Guard(int fd) : fd_(fd) {
    if (fd_ >= 0)
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
}
OwnerFile::Guard::~Guard() {
    if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

OwnerFile::OwnerFile(Lumo::Platform::DebugHandler* debug, Mem::RootPath root, bool create)
    : debug_(debug), root_(std::move(root)) {
    std::string path = root_.filePath(kFileName);
    if (create) root_.createDirectories();
    fd_ = ::open(path.c_str(), (create ? O_RDWR | O_CREAT : O_RDWR) | O_CLOEXEC, 0666);
    if (fd_ < 0 && !create) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        if (!create && errno == ENOENT) return;  // no owner yet: exists() is false
        Lumo::raise<Lumo::MemoryResourceException>("cannot open owner file {}: {}", path, std::strerror(errno));
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0)
        Lumo::raise<Lumo::MemoryResourceException>("cannot stat owner file {}: {}", path, std::strerror(errno));
    bool writable = (::fcntl(fd_, F_GETFL) & O_ACCMODE) == O_RDWR;
    if (std::size_t(st.st_size) < sizeof(Record)) {
        if (!writable) return;  // too short to map: validateFile() is false
        Guard g(fd_);
        if (::ftruncate(fd_, sizeof(Record)) != 0)
            Lumo::raise<Lumo::MemoryResourceException>("cannot size owner file {}: {}", path, std::strerror(errno));
    }
    void* p = ::mmap(nullptr, sizeof(Record), writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED)
        Lumo::raise<Lumo::MemoryResourceException>("cannot map owner file {}: {}", path, std::strerror(errno));
    record_ = static_cast<Record*>(p);
    if (create && writable) {
        Guard g(fd_);
        if (record_->magic == 0 && record_->checksum == 0) reformat();
    }
}

OwnerFile::~OwnerFile() {
    if (record_) ::munmap(record_, sizeof(Record));
    if (fd_ >= 0) ::close(fd_);
}

OwnerFile::Guard OwnerFile::lock() { return Guard(fd_); }

void OwnerFile::reformat() {
    if (!record_) return;
    LUMO_FMTRACE(debug_, 5, "OwnerFile", "formatting the owner file of {}", root_.path());
    std::memset(record_, 0, sizeof(Record));
    record_->magic = kMagic;
    record_->format = kOwnerFormat;
    record_->size = sizeof(Record);
    seal();
}

void OwnerFile::seal() {
    ++record_->updates;
    record_->checksum = checksumOf(record_);
}

bool OwnerFile::validate() const {
    std::string m;
    return validate(m);
}

bool OwnerFile::validate(std::string& message) const {
    if (!record_) {
        message = fmt::format("no owner file in {}", root_.path());
        return false;
    }
    Record r;
    std::memcpy(&r, record_, sizeof r);
    if (r.magic != kMagic) {
        message = fmt::format("bad owner magic:{:x}", r.magic);
        return false;
    }
    if (r.format != kOwnerFormat || r.size != sizeof(Record)) {
        message = fmt::format("bad owner format:{} size:{}", r.format, r.size);
        return false;
    }
    if (r.checksum != checksumOf(&r)) {
        message = fmt::format("bad owner checksum:{:x} wanted:{:x}", r.checksum, checksumOf(&r));
        return false;
    }
    return true;
}

bool OwnerFile::validateFile() const {
    struct stat st;
    return record_ && ::fstat(fd_, &st) == 0 && std::size_t(st.st_size) >= sizeof(Record);
}

std::string OwnerFile::headerToString() const {
    if (!record_) return "<no owner file>";
    Record r;
    std::memcpy(&r, record_, sizeof r);
    return fmt::format(
        "owner magic:{:x} format:{} size:{} typeName:{} sharedMemType:{} wiped:{} writerPid:{} shocket:{}/{} "
        "updates:{} checksum:{:x}",
        r.magic, r.format, r.size, boundedString(r.typeName, sizeof r.typeName), r.sharedMemType, r.wiped,
        r.writerPid, r.shocketPid, boundedString(r.shocketName, sizeof r.shocketName), r.updates, r.checksum);
}

ShocketInfo OwnerFile::shocketInfo() const {
    if (!record_) return {};
    return ShocketInfo{record_->shocketPid, boundedString(record_->shocketName, sizeof record_->shocketName)};
}

void OwnerFile::shocketInfoIs(ShocketInfo const& info) {
    if (info.name.size() >= sizeof record_->shocketName)
        Lumo::raise<Lumo::RangeException>("shocket name {} too long", info.name);
    std::memset(record_->shocketName, 0, sizeof record_->shocketName);
    std::memcpy(record_->shocketName, info.name.data(), info.name.size());
    record_->shocketPid = info.pid;
    seal();
}

std::string OwnerFile::typeName() const {
    return record_ ? boundedString(record_->typeName, sizeof record_->typeName) : std::string();
}

void OwnerFile::typeNameIs(std::string const& name) {
    std::memset(record_->typeName, 0, sizeof record_->typeName);
    std::memcpy(record_->typeName, name.data(), std::min(name.size(), sizeof record_->typeName - 1));
    seal();
}

std::uint32_t OwnerFile::sharedMemType() const { return record_ ? record_->sharedMemType : 0; }
void OwnerFile::sharedMemTypeIs(std::uint32_t type) {
    record_->sharedMemType = type;
    seal();
}
bool OwnerFile::wiped() const { return record_ && record_->wiped != 0; }
void OwnerFile::wipedIs(bool wiped) {
    record_->wiped = wiped ? 1 : 0;
    seal();
}
std::uint32_t OwnerFile::writerPid() const { return record_ ? record_->writerPid : 0; }
void OwnerFile::writerPidIs(std::uint32_t pid) {
    record_->writerPid = pid;
    seal();
}

}  // namespace SharedMem
