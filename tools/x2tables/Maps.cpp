#include "Maps.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <thread>
#include <utility>

#include "Fail.h"
#include "Json.h"
#include "Lumo/Time.h"
#include "Lumo/Util.h"
#include "Mem/RootPath.h"
#include "Quorl/Quorl.h"
#include "SharedMem/OwnerFile.h"
#include "Vorn/Ops.h"
#include "Vorn/SlotHeaderCommon.h"
#include "Vorn/Validator.h"
#include "Vorn/VornReader.h"
#include "VornCore/BucketReader.h"
#include "VornCore/WriterHashMap.h"
#include "X2/Default/EgrVlanTagActionProfileTable.h"
#include "X2/Default/IngVlanTagActionProfileTable.h"
#include "X2/Support/Registry.h"

namespace x2tables {
namespace {

namespace fs = std::filesystem;
using Vorn::SlotHeaderCommon;
using Vorn::SlotLink;
using Bytes = std::vector<std::uint8_t>;

Lumo::Platform::DebugHandler* debug() { return Lumo::Platform::getDebugHandler("x2tables"); }

// ---- files read as bytes (no mapping, nothing written) -------------------------

// Up to `max` bytes of a file; nothing when it cannot be opened.
std::optional<Bytes> readBytes(fs::path const& path, std::size_t max) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes b(max);
    in.read(reinterpret_cast<char*>(b.data()), std::streamsize(max));
    b.resize(std::size_t(in.gcount()));
    return b;
}

template <class T>
T at(Bytes const& b, std::size_t offset) {
    T v{};
    if (offset + sizeof(T) <= b.size()) std::memcpy(&v, b.data() + offset, sizeof(T));
    return v;
}

bool processAlive(std::uint32_t pid) { return pid != 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM); }

// ---- where a map lives, and what its header says ---------------------------------

struct MapInfo {
    std::string name;  // as given, or relative to the root
    Mem::RootPath root;
    SlotHeaderCommon header;
    std::size_t slotFileSize = 0;
    std::string typeName;
};

std::string rootDir() { return Mem::ZorbRootPath::rootDir(); }

// The slot file's common header, checked; every failure is one line.
MapInfo readHeader(std::string name, Mem::RootPath root) {
    fs::path const slots = fs::path(root.path()) / "slots";
    std::error_code ec;
    if (!fs::exists(slots, ec)) {
        if (!fs::is_directory(root.path(), ec))
            fail("map {}: no such map under {} (x2tables map list shows them)", name, rootDir());
        fail("map {}: no slot file in {}", name, root.path());
    }
    auto const size = fs::file_size(slots, ec);
    auto bytes = readBytes(slots, SlotHeaderCommon::kSize);
    if (ec || !bytes) fail("map {}: cannot read {}", name, slots.string());
    if (bytes->size() < SlotHeaderCommon::kSize)
        fail("map {}: slot file truncated: {} bytes, its header alone takes {}", name, bytes->size(),
             SlotHeaderCommon::kSize);
    MapInfo info{std::move(name), std::move(root), {}, std::size_t(size), {}};
    std::memcpy(static_cast<void*>(&info.header), bytes->data(), SlotHeaderCommon::kSize);
    std::string why;
    if (!info.header.validate(debug(), SlotHeaderCommon::kSize, info.slotFileSize, 0, why))
        fail("map {}: slot file damaged: {}", info.name, why);
    std::uint64_t const wanted = std::uint64_t(SlotHeaderCommon::kSize) +
                                 (std::uint64_t(info.header.numSlots) + 1) * info.header.slotSize;
    if (info.slotFileSize < wanted)
        fail("map {}: slot file truncated: {} bytes, its {} slots need {}", info.name, info.slotFileSize,
             info.header.numSlots, wanted);
    info.typeName = info.header.typeNameString();
    return info;
}

MapInfo locate(std::string const& arg) {
    std::error_code ec;
    // A directory path names the map directly; anything else is a map name under the root.
    if (arg.find('/') != std::string::npos && fs::is_directory(arg, ec) && (arg[0] == '/' || arg[0] == '.'))
        return readHeader(arg, Mem::RootPath(arg));
    return readHeader(arg, Mem::ZorbRootPath(arg));
}

// "EgrVlanTagActionProfileTable entries" for a table's record type name.
std::string collectionOf(std::string const& typeName) {
    auto const last = typeName.rfind("::");
    if (last == std::string::npos || last < 2) return "-";
    auto const prev = typeName.rfind("::", last - 1);
    std::string const record = typeName.substr(last + 2);
    std::string const table = typeName.substr(prev == std::string::npos ? 0 : prev + 2,
                                              last - (prev == std::string::npos ? 0 : prev + 2));
    if (!X2::findTable(table)) return "-";
    if (record == "Entry") return table + " entries";
    if (record == "WriteResponse") return table + " write responses";
    return table + " " + record;
}

struct Writer {
    std::uint32_t pid = 0;
    bool alive = false;
};

Writer writerOf(MapInfo const& m) {
    auto owner = readBytes(fs::path(m.root.path()) / SharedMem::OwnerFile::kFileName, 256);
    Writer w;
    if (!owner || owner->size() < 256 || at<std::uint64_t>(*owner, 0) != SharedMem::OwnerFile::kMagic) return w;
    w.pid = at<std::uint32_t>(*owner, 152);
    w.alive = processAlive(w.pid);
    return w;
}

struct Channel {
    bool present = false;
    std::uint64_t announced = 0;
    bool closed = false;
    std::vector<std::uint32_t> readers;  // pids of the readers registered and alive
};

Channel channelOf(MapInfo const& m) {
    Channel c;
    auto q = readBytes(fs::path(m.root.path()) / Quorl::kQuorlFile, sizeof(Quorl::QuorlHeader));
    if (!q || q->size() < sizeof(Quorl::QuorlHeader)) return c;
    Quorl::QuorlHeader h;
    std::memcpy(static_cast<void*>(&h), q->data(), sizeof h);
    if (h.magic != Quorl::QuorlHeader::kMagic) return c;
    c.present = true;
    c.announced = h.writeSeq;
    c.closed = h.closed != 0;
    std::size_t const most = sizeof(Quorl::ReadersHeader) + Quorl::ReadersHeader::kMaxReaders * sizeof(Quorl::ReaderEntry);
    auto r = readBytes(fs::path(m.root.path()) / Quorl::kReadersFile, most);
    if (!r || r->size() < sizeof(Quorl::ReadersHeader) ||
        at<std::uint64_t>(*r, 0) != Quorl::ReadersHeader::kMagic)
        return c;
    for (std::size_t off = sizeof(Quorl::ReadersHeader); off + sizeof(Quorl::ReaderEntry) <= r->size();
         off += sizeof(Quorl::ReaderEntry)) {
        std::uint32_t const pid = at<std::uint32_t>(*r, off);
        if (processAlive(pid)) c.readers.push_back(pid);
    }
    return c;
}

std::string hexOf(unsigned char const* p, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += fmt::format("{:02x}", p[i]);
    return s;
}

// ---- the chip's own records ----------------------------------------------------------

// How the values of a map of one of the chip's shared records read. A record
// is decoded only when it is its bytes (trivially copyable) and of the slot's
// value size; any other map's values print as bytes.
struct RecordDecoder {
    char const* typeName;
    char const* table;
    std::size_t size;
    bool storable;
    // "name=value ..." or, with json, the members of a JSON object.
    std::string (*decode)(char const* table, unsigned char const* bytes, bool json);
};

template <class E>
std::string decodeEntry(char const* table, unsigned char const* bytes, bool json) {
    if constexpr (std::is_trivially_copyable_v<E>) {
        E e;
        std::memcpy(static_cast<void*>(&e), bytes, sizeof e);
        X2::TableInfo const* t = X2::findTable(table);
        std::string s = json ? fmt::format("\"transactionId\": {}, \"fields\": {{", std::uint64_t(e.transactionId()))
                             : fmt::format("transactionId={}", std::uint64_t(e.transactionId()));
        bool first = true;
        for (auto const& f : t->fields) {
            X2::FieldValueArg const v = X2::fieldGet(*t, f, &e);
            bool const zero = f.width > 64 ? v.wide.isZero() : v.scalar == 0;
            if (zero) continue;
            std::string const value = f.width > 64 ? v.wide.toHex() : fmt::format("{}", v.scalar);
            if (json)
                s += fmt::format("{}\"{}\": {}", first ? "" : ", ", f.name,
                                 f.width > 53 ? jsonQuote(f.width > 64 ? value : fmt::format("0x{:x}", v.scalar)) : value);
            else
                s += fmt::format(" {}={}", f.name, value);
            first = false;
        }
        return json ? s + "}" : s;
    } else {
        (void)table, (void)bytes, (void)json;
        return {};
    }
}

template <class W>
std::string decodeWriteResponse(char const*, unsigned char const* bytes, bool json) {
    if constexpr (std::is_trivially_copyable_v<W>) {
        W w;
        std::memcpy(static_cast<void*>(&w), bytes, sizeof w);
        std::string_view state = Asic::HwTable::entryStateName(w.entryState);
        std::string const stateText = state.empty() ? fmt::format("{}", unsigned(w.entryState)) : std::string(state);
        if (json)
            return fmt::format("\"transactionId\": {}, \"entryState\": {}, \"entryIndex\": {}",
                               std::uint64_t(w.transactionId), jsonQuote(stateText), std::uint32_t(w.entryIndex().value()));
        return fmt::format("transactionId={} entryState={} entryIndex={}", std::uint64_t(w.transactionId), stateText,
                           std::uint32_t(w.entryIndex().value()));
    } else {
        (void)bytes, (void)json;
        return {};
    }
}

template <class T>
constexpr RecordDecoder entryDecoder(char const* table) {
    return {T::Entry::kTypeName, table, sizeof(typename T::Entry), std::is_trivially_copyable_v<typename T::Entry>,
            &decodeEntry<typename T::Entry>};
}
template <class T>
constexpr RecordDecoder writeResponseDecoder(char const* table) {
    return {T::WriteResponse::kTypeName, table, sizeof(typename T::WriteResponse),
            std::is_trivially_copyable_v<typename T::WriteResponse>, &decodeWriteResponse<typename T::WriteResponse>};
}

using Egr = bcm56275_a0::Default::EgrVlanTagActionProfileTable;
using Ing = bcm56275_a0::Default::IngVlanTagActionProfileTable;
RecordDecoder const kRecords[] = {
    entryDecoder<Egr>("EgrVlanTagActionProfileTable"), writeResponseDecoder<Egr>("EgrVlanTagActionProfileTable"),
    entryDecoder<Ing>("IngVlanTagActionProfileTable"), writeResponseDecoder<Ing>("IngVlanTagActionProfileTable"),
};

RecordDecoder const* decoderFor(std::string const& typeName, std::size_t valueSize) {
    for (auto const& r : kRecords)
        if (typeName == r.typeName && r.storable && r.size == valueSize) return &r;
    return nullptr;
}

// ---- values of any size, keyed by a 32-bit field found in the map --------------------

// The byte offset of the key in the values of the map being read. The key is
// the 32-bit field whose hash (the seed of the type name) is the slot's
// order key in every slot sampled (see Session::findKey).
std::size_t gKeyOffset = 0;

template <std::size_t N>
struct RawValue {
    alignas(8) unsigned char bytes[N];
    std::uint32_t fwkKey() const {
        std::uint32_t k;
        std::memcpy(&k, bytes + gKeyOffset, 4);
        return k;
    }
};

constexpr std::size_t kMaxValueSize = 128;

template <std::size_t N>
class Session {
public:
    using V = RawValue<N>;
    using Ops = Vorn::BasicOps<V>;
    using Reader = Vorn::VornReader<Ops>;

    explicit Session(MapInfo const& m)
        : m_(m), reader_(debug(), m.name, m.root, Ops(m.typeName)), decoder_(decoderFor(m.typeName, N)) {
        if (!reader_.initialize("x2tables"))
            fail("map {}: cannot attach: {}", m_.name,
                 reader_.message().empty() ? "a file is missing or damaged" : reader_.message());
    }

    Reader& reader() { return reader_; }

    void dump(bool json, std::ostream& out) {
        auto const all = sortedValues(nullptr);
        fmt::memory_buffer buf;
        auto flush = [&] {
            out.write(buf.data(), std::streamsize(buf.size()));
            buf.clear();
        };
        if (json)
            fmt::format_to(std::back_inserter(buf), "{{\"map\": {}, \"type\": {}, \"valueSize\": {}, \"members\": [",
                           jsonQuote(m_.name), jsonQuote(m_.typeName), N);
        bool first = true;
        for (auto const& [k, v] : all) {
            if (json)
                fmt::format_to(std::back_inserter(buf), "{}\n {{\"key\": {}, \"value\": \"", first ? "" : ",", k);
            else
                fmt::format_to(std::back_inserter(buf), "{:>10}  ", k);
            if (decoder_ && !json) {
                buf.append(valueText(v.bytes));
            } else {
                for (unsigned char b : v.bytes) {
                    static constexpr char kDigits[] = "0123456789abcdef";
                    buf.push_back(kDigits[b >> 4]);
                    buf.push_back(kDigits[b & 15]);
                }
            }
            if (json) {
                buf.push_back('"');
                if (decoder_)
                    fmt::format_to(std::back_inserter(buf), ", \"record\": {{{}}}",
                                   decoder_->decode(decoder_->table, v.bytes, true));
                buf.push_back('}');
            } else {
                buf.push_back('\n');
            }
            first = false;
            if (buf.size() > (1 << 16)) flush();
        }
        if (json)
            buf.append(std::string_view("]}\n"));
        else
            fmt::format_to(std::back_inserter(buf), "{} members\n", all.size());
        flush();
    }

    void check(std::ostream& out) {
        if (!keyFound_) findKey();
        for (int attempt = 0; attempt < 50; ++attempt) {
            std::uint64_t const before = channelOf(m_).announced;
            std::uint64_t const shape = reader_.slotTable().headerWord();
            std::string why;
            std::uint32_t occupied = 0, free = 0, buckets = 0;
            bool const ok = walk(why, occupied, free, buckets);
            // A walk is only conclusive when nothing changed under it.
            if (channelOf(m_).announced != before || reader_.slotTable().headerWord() != shape) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            if (!ok) fail("map {}: corrupt: {}", m_.name, why);
            out << fmt::format("map {}: ok: {} members and {} free slots in {} slots, {} buckets\n", m_.name, occupied,
                               free, occupied + free, buckets);
            return;
        }
        fail("map {}: changed during every attempt to check it; try again when its writer is quieter", m_.name);
    }

    void watch(MapOptions const& o, std::ostream& out) {
        Quorl::QuorlReader channel(debug(), m_.root);
        if (!channel.attach(reader_.fenixId()))
            fail("map {}: cannot follow its change channel: {}", m_.name, channel.message());
        std::map<std::uint32_t, Bytes> known = snapshot();
        out << fmt::format("watching {}: {} members (every change as it is announced; Ctrl-C stops)\n", m_.name,
                           known.size());
        out.flush();
        long changes = 0;
        double const end = o.seconds < 0 ? -1 : Lumo::time() + o.seconds;
        while (o.count < 0 || changes < o.count) {
            if (end >= 0 && Lumo::time() >= end) break;
            channel.wait(50);
            std::set<std::uint32_t> keys;
            bool everything = false;
            auto const status = channel.service([&](Quorl::Notif n) {
                if (auto it = slotKey_.find(n.slot); it != slotKey_.end()) keys.insert(it->second);
                V v;
                Vorn::IterHint hint;
                Vorn::SlotRead const r = reader_.readSlot(n.slot, v, hint);
                if (r == Vorn::SlotRead::unknown) everything = true;  // still changing: compare all
                if (r != Vorn::SlotRead::present) return;
                if (!keyFound_) findKey();
                keys.insert(v.fwkKey());
            });
            if (status == Quorl::QuorlReader::Status::closed) {
                out << "the writer closed the map\n";
                return;
            }
            if (everything || status == Quorl::QuorlReader::Status::resync) {
                // Every slot may have changed: compare everything.
                if (!keyFound_) findKey();
                for (auto const& [k, v] : known) keys.insert(k);
                for (auto const& [k, v] : snapshot()) keys.insert(k);
            }
            for (std::uint32_t k : keys) {
                V v;
                Vorn::IterHint hint;
                bool const found = reader_.lookup(k, v, hint);
                auto it = known.find(k);
                if (found) {
                    slotKey_[hint.slot] = k;
                    Bytes b(v.bytes, v.bytes + N);
                    if (it != known.end() && it->second == b) continue;
                    out << fmt::format("set {} {}\n", k, valueText(b.data()));
                    known[k] = std::move(b);
                } else {
                    if (it == known.end()) continue;
                    out << fmt::format("removed {}\n", k);
                    known.erase(it);
                }
                ++changes;
            }
            out.flush();
        }
    }

private:
    // Finds the key's offset from up to 16 occupied slots. An empty map
    // leaves it for later (watch calls again when values appear).
    void findKey() {
        auto& slots = reader_.slotTable();
        std::vector<std::size_t> candidates;
        for (std::size_t o = 0; o + 4 <= N; o += 4) candidates.push_back(o);
        int samples = 0;
        for (std::uint32_t s = 0; s < slots.numSlots() && samples < 16; ++s) {
            V v;
            std::uint64_t trailer;
            if (slots.getValue(s, v, trailer) != Vorn::SlotRead::present) continue;
            std::erase_if(candidates, [&](std::size_t o) {
                std::uint32_t k;
                std::memcpy(&k, v.bytes + o, 4);
                return Lumo::Util::reverse(reader_.ops().hash(k)) != std::uint32_t(trailer);
            });
            ++samples;
        }
        if (samples == 0) return;
        if (candidates.empty())
            fail("map {}: no 32-bit field of its values hashes to their slots' order keys (was it written with a "
                 "hash seed other than the one of its type name?)",
                 m_.name);
        gKeyOffset = candidates.front();
        keyFound_ = true;
    }

    // Every value, sorted by key; `slotKey` (when given) learns the slot of each.
    std::vector<std::pair<std::uint32_t, V>> sortedValues(std::map<std::uint32_t, std::uint32_t>* slotKey) {
        std::vector<std::pair<std::uint32_t, V>> all;
        if (!keyFound_) findKey();
        if (!keyFound_) return all;
        all.reserve(reader_.members());
        V v;
        Vorn::IterHint hint;
        for (bool ok = reader_.first(v, hint); ok; ok = reader_.next(v.fwkKey(), v, hint)) {
            all.emplace_back(v.fwkKey(), v);
            if (slotKey) (*slotKey)[hint.slot] = v.fwkKey();
        }
        std::sort(all.begin(), all.end(), [](auto const& a, auto const& b) { return a.first < b.first; });
        for (std::size_t i = 1; i < all.size(); ++i)
            if (all[i].first == all[i - 1].first)
                fail("map {}: corrupt: key {} met twice in one iteration", m_.name, all[i].first);
        return all;
    }

    std::map<std::uint32_t, Bytes> snapshot() {
        std::map<std::uint32_t, Bytes> all;
        for (auto const& [k, v] : sortedValues(&slotKey_)) all.emplace_hint(all.end(), k, Bytes(v.bytes, v.bytes + N));
        return all;
    }

    // Every bucket chain and the free list, as the writer's validation walks
    // them, without writing anything. False with `why` at the first fault.
    bool walk(std::string& why, std::uint32_t& occupied, std::uint32_t& free, std::uint32_t& bucketCount) {
        VornCore::BucketReader buckets(debug(), m_.root);
        if (!buckets.attach() || !buckets.validate(reader_.fenixId(), why)) {
            if (why.empty()) why = "bucket file missing or unreadable";
            return false;
        }
        reader_.doResize();
        auto& slots = reader_.slotTable();
        auto const& h = slots.header().common;
        std::uint32_t const numSlots = slots.numSlots();
        std::uint32_t const headerOccupied = Mem::atomicLoad(h.occupiedSlots, std::memory_order_relaxed);
        std::uint16_t const flags = Mem::atomicLoad(h.runtimeFlags, std::memory_order_relaxed);
        if (flags & SlotHeaderCommon::kCriticalSectionFlag) {
            why = "the writer is inside a critical section (or died in one)";
            return false;
        }
        if (Mem::atomicLoad(h.maxSlots, std::memory_order_relaxed) < numSlots || headerOccupied > numSlots) {
            why = fmt::format("inconsistent header: numSlots:{} maxSlots:{} occupied:{}", numSlots,
                              Mem::atomicLoad(h.maxSlots, std::memory_order_relaxed), headerOccupied);
            return false;
        }
        Vorn::Validator v(numSlots);
        std::uint32_t const n = buckets.shape().count;
        bucketCount = n;
        for (std::uint32_t b = 0; b < n; ++b) {
            std::uint32_t l = SlotLink::linkOf(buckets.head(b).load(std::memory_order_relaxed));
            bool havePrev = false;
            std::uint32_t prevOrder = 0, prevKey = 0;
            while (SlotLink::isSlot(l)) {
                std::uint32_t const idx = SlotLink::indexOf(l);
                if (!v.markOccupied(idx, why)) return false;
                if (v.occupied() > headerOccupied) {
                    why = fmt::format("more values in the chains than occupiedSlots:{}", headerOccupied);
                    return false;
                }
                V value;
                std::uint64_t trailer;
                Vorn::SlotRead const read = slots.getValue(idx, value, trailer);
                std::uint64_t const w = slots.word(idx).load(std::memory_order_relaxed);
                if (read != Vorn::SlotRead::present || (SlotLink::seqOf(w) & Vorn::kSeqStateBits) != Vorn::kSeqOccupied) {
                    why = fmt::format("slot:{} in bucket:{} has sequence:{:x}", idx, b, SlotLink::seqOf(w));
                    return false;
                }
                std::uint32_t const order = std::uint32_t(trailer);
                if (keyFound_) {
                    std::uint32_t const k = value.fwkKey();
                    std::uint32_t const hash = reader_.ops().hash(k);
                    if ((hash & (n - 1)) != b || order != Lumo::Util::reverse(hash)) {
                        why = fmt::format("slot:{} key:{} does not belong in bucket:{}", idx, k, b);
                        return false;
                    }
                    if (havePrev && !(prevOrder < order || (prevOrder == order && prevKey < k))) {
                        why = fmt::format("slot:{} key:{} out of order in bucket:{}", idx, k, b);
                        return false;
                    }
                    prevKey = k;
                } else if ((Lumo::Util::reverse(order) & (n - 1)) != b) {
                    why = fmt::format("slot:{} does not belong in bucket:{}", idx, b);
                    return false;
                }
                havePrev = true;
                prevOrder = order;
                l = SlotLink::linkOf(w);
            }
            std::uint32_t const wantEnd = SlotLink::endLink(VornCore::nextBucketInOrder(b, n));
            if ((l & ~Vorn::kLinkMarkBit) != wantEnd) {
                why = fmt::format("bucket:{} ends with link:{:x}, expected:{:x}", b, l, wantEnd);
                return false;
            }
        }
        for (std::uint32_t cur = Mem::atomicLoad(h.freeListHead, std::memory_order_relaxed); cur != Vorn::kLinkNone;) {
            if (!v.markFree(cur, why)) return false;
            std::uint64_t const w = slots.word(cur).load(std::memory_order_relaxed);
            if (SlotLink::seqOf(w) & 3u) {
                why = fmt::format("free slot:{} has sequence:{:x}", cur, SlotLink::seqOf(w));
                return false;
            }
            std::uint32_t const l = SlotLink::linkOf(w) & ~Vorn::kLinkMarkBit;
            cur = l == Vorn::kLinkNone ? Vorn::kLinkNone : SlotLink::indexOf(l);
        }
        occupied = v.occupied();
        free = v.free();
        if (occupied + free != numSlots || occupied != headerOccupied) {
            why = fmt::format("occupied:{} and free:{} do not add up to numSlots:{} (header occupied:{})", occupied,
                              free, numSlots, headerOccupied);
            return false;
        }
        return true;
    }

    // A value as text: the decoded record, or its bytes in hex.
    std::string valueText(unsigned char const* bytes) const {
        return decoder_ ? decoder_->decode(decoder_->table, bytes, false) : hexOf(bytes, N);
    }

    MapInfo const& m_;
    Reader reader_;
    RecordDecoder const* decoder_;
    bool keyFound_ = false;
    std::map<std::uint32_t, std::uint32_t> slotKey_;  // slot -> key it held when last read
};

// Runs f(session) with the session for the map's value size.
template <class F, std::size_t... I>
void withSession(MapInfo const& m, F&& f, std::index_sequence<I...>) {
    std::uint32_t const size = m.header.valueSize;
    bool done = false;
    auto one = [&]<std::size_t S>() {
        if (size != S) return;
        Session<S> s(m);
        f(s);
        done = true;
    };
    (one.template operator()<(I + 1) * 8>(), ...);
    if (!done)
        fail("map {}: values of {} bytes; this tool reads values of 8 to {} bytes in steps of 8", m.name, size,
             kMaxValueSize);
}

template <class F>
void withSession(MapInfo const& m, F&& f) {
    withSession(m, std::forward<F>(f), std::make_index_sequence<kMaxValueSize / 8>());
}

// ---- commands ------------------------------------------------------------------------

void list(bool json, std::ostream& out) {
    std::string const root = rootDir();
    std::error_code ec;
    std::vector<std::string> names;
    if (fs::is_directory(root, ec)) {
        for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec) && it->path().filename() == "slots")
                names.push_back(fs::relative(it->path().parent_path(), root, ec).string());
        }
    }
    std::sort(names.begin(), names.end());
    if (json) out << "[";
    bool first = true;
    for (auto const& name : names) {
        std::string line;
        try {
            MapInfo const m = readHeader(name, Mem::ZorbRootPath(root, name));
            Writer const w = writerOf(m);
            std::string const writer = w.pid == 0 ? "none" : fmt::format("{} ({})", w.pid, w.alive ? "running" : "gone");
            if (json) {
                line = fmt::format(
                    "{{\"map\": {}, \"type\": {}, \"collection\": {}, \"members\": {}, \"slots\": {}, \"writerPid\": {}, "
                    "\"writerRunning\": {}}}",
                    jsonQuote(name), jsonQuote(m.typeName), jsonQuote(collectionOf(m.typeName)), m.header.occupiedSlots,
                    m.header.numSlots, w.pid, w.alive ? "true" : "false");
            } else {
                line = fmt::format("{:<32} {:<44} {:>8} members  writer {}  ({})", name, collectionOf(m.typeName),
                                   m.header.occupiedSlots, writer, m.typeName);
            }
        } catch (UsageError const& e) {
            line = json ? fmt::format("{{\"map\": {}, \"error\": {}}}", jsonQuote(name), jsonQuote(e.message))
                        : fmt::format("{:<32} {}", name, e.message);
        }
        out << (json ? (first ? "" : ",\n ") : "") << line << (json ? "" : "\n");
        first = false;
    }
    if (json) out << "]\n";
    else if (names.empty()) out << fmt::format("no maps under {}\n", root);
}

void stat(MapInfo const& m, bool json, std::ostream& out) {
    Writer const w = writerOf(m);
    Channel const c = channelOf(m);
    std::uint32_t members = 0, buckets = 0, capacity = 0, maxSlots = 0, fenix = 0;
    std::uint64_t generationSlots = 0;
    withSession(m, [&](auto& s) {
        auto& r = s.reader();
        members = r.members();
        buckets = r.buckets();
        capacity = r.capacity();
        maxSlots = r.maxSize();
        fenix = r.fenixId();
        generationSlots = r.slotTable().headerWord();
    });
    std::uint32_t const resizes = std::uint32_t(generationSlots);
    std::string readers;
    for (auto pid : c.readers) readers += fmt::format("{}{}", readers.empty() ? "" : ", ", pid);
    if (json) {
        out << fmt::format(
            "{{\"map\": {}, \"type\": {}, \"collection\": {}, \"valueSize\": {}, \"members\": {}, \"slots\": {}, "
            "\"maxSlots\": {}, \"peakOccupancy\": {}, \"buckets\": {}, \"fenixId\": {}, \"resizeGeneration\": {}, "
            "\"writerPid\": {}, \"writerRunning\": {}, \"readers\": [{}], \"changesAnnounced\": {}, \"channelClosed\": {}}}\n",
            jsonQuote(m.name), jsonQuote(m.typeName), jsonQuote(collectionOf(m.typeName)), m.header.valueSize, members,
            capacity, maxSlots, m.header.peakOccupancy, buckets, fenix, resizes, w.pid, w.alive ? "true" : "false",
            readers, c.announced, c.closed ? "true" : "false");
        return;
    }
    out << fmt::format("map             {} ({})\n", m.name, m.root.path());
    out << fmt::format("type            {} ({})\n", m.typeName, collectionOf(m.typeName));
    out << fmt::format("values          {} bytes, slots of {}\n", m.header.valueSize, m.header.slotSize);
    out << fmt::format("members         {}\n", members);
    out << fmt::format("slots           {} (largest ever {}, peak occupancy {})\n", capacity, maxSlots,
                       m.header.peakOccupancy);
    out << fmt::format("buckets         {}\n", buckets);
    out << fmt::format("generation      fenix {:#x}; {} resizes so far (resize generation)\n", fenix, resizes);
    out << fmt::format("writer          {}\n",
                       w.pid == 0 ? std::string("none") : fmt::format("pid {} ({})", w.pid, w.alive ? "running" : "gone"));
    out << fmt::format("readers         {} attached{}\n", c.readers.size(),
                       readers.empty() ? "" : fmt::format(" (pids {})", readers));
    out << fmt::format("changes         {} announced{}\n", c.announced,
                       !c.present ? " (no change channel)" : c.closed ? " (channel closed)" : "");
}

}  // namespace

void mapCommand(std::vector<std::string> const& args, MapOptions const& o, std::ostream& out) {
    if (args.empty()) fail("map needs a subcommand: list, stat, dump, watch or check (x2tables help map)");
    std::string const& sub = args[0];
    if (sub == "list") {
        if (args.size() != 1) fail("map list takes no arguments");
        list(o.json, out);
        return;
    }
    if (sub != "stat" && sub != "dump" && sub != "watch" && sub != "check")
        fail("unknown map subcommand \"{}\": list, stat, dump, watch or check", sub);
    if (args.size() != 2) fail("map {} takes one map (x2tables map list shows them)", sub);
    MapInfo const m = locate(args[1]);
    try {
        if (sub == "stat") stat(m, o.json, out);
        else if (sub == "dump") withSession(m, [&](auto& s) { s.dump(o.json, out); });
        else if (sub == "check") withSession(m, [&](auto& s) { s.check(out); });
        else withSession(m, [&](auto& s) { s.watch(o, out); });
    } catch (Lumo::CorruptionDetectedException const& e) {
        fail("map {}: corrupt: {}", m.name, e.msg());
    } catch (Lumo::Exception const& e) {
        fail("map {}: {}", m.name, e.msg());
    }
}

}  // namespace x2tables
