#pragma once
// A simulated chip and a simulated hardware-writing agent, for the tests and
// benchmarks of the table accessors and for the demonstration (demo/).
//
// SimChip: memories addressed by (physical memory id, instance), each an
// array of `entries` entries of `width` bytes, zero at start. The shape comes
// from the descriptors (entry count) and from the accessor (entry width, read
// once per table). An access beyond a memory's entries fails, as on the
// chip: the chip follows the descriptor, not the table's index range.
//
// SimAgent: knows no generated class. It subscribes to table entities (local
// tables and shared-memory tables alike) and queues every notified (table,
// field, key); run() answers the queue through the notifying accessor, its
// entry accessor and the table's descriptor only:
//   - tables with write responses (the descriptor names a write-response
//     collection): a change of field 770 copies each data memory's bytes to
//     the chip memory that the descriptor names and records
//     updateWriteResponse(transaction id, written or failed); an absent or
//     invalid entry clears the chip's entry and deleteWriteResponse. A
//     span shorter than the memory's width (a shared-memory table's data
//     array holds its current size, trailing zero bytes trimmed) is padded
//     with zeros to the width;
//   - read tables: a change of field 772 (a read request) reads the chip into
//     entryDataPtrIs and publishes with entryPublish under the request's
//     transaction id; a read-all request (key 4294967294) reads every entry
//     the descriptor counts and then sets the bulk read response.
// Its own publications (write responses, answered entries, bulk responses)
// come back through the subscription and are ignored by field.
//
// Entry placement. A table of one instance keeps entry i at index i of each
// of its memories. EgressTimestampTable spreads its 72 entries over 12
// instances; the harness's choice: entries 0..55 (two registers each) go to
// instances 0..7, seven per instance (instance i / 7, index i % 7); entries
// 56..71 (one register each) go to instances 8..11, four per instance.
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Asic/AmaMem/IndexTable.h"
#include "Asic/DirectIndexTable.h"
#include "Asic/TableAccessor.h"
#include "LogicalFap/HwTableDesc.h"
#include "Trident3/DefaultEgressTimestampTableHelper.h"
#include "Vex/Entity.h"
#include "X2/Support/Registry.h"

namespace hwsim {

class SimChip {
public:
    struct Memory {
        std::uint32_t entries = 0;
        std::uint32_t width = 0;
        std::vector<std::uint8_t> bytes;
    };

    // Declares memory (id, instance); declaring it again with the same shape
    // is how two tables share a memory. A different shape is a harness error.
    void memoryIs(std::uint32_t id, std::uint32_t instance, std::uint32_t entries, std::uint32_t width) {
        auto [it, fresh] = memories_.try_emplace({id, instance});
        Memory& m = it->second;
        if (fresh) {
            m.entries = entries;
            m.width = width;
            m.bytes.assign(std::size_t(entries) * width, 0);
        } else if (m.entries != entries || m.width != width) {
            throw std::logic_error("memory " + std::to_string(id) + " declared with two shapes");
        }
    }
    Memory const* memory(std::uint32_t id, std::uint32_t instance) const {
        auto it = memories_.find({id, instance});
        return it == memories_.end() ? nullptr : &it->second;
    }
    // The bytes of one entry; null when the memory lacks the index.
    std::uint8_t* at(std::uint32_t id, std::uint32_t instance, std::uint32_t index) {
        auto it = memories_.find({id, instance});
        if (it == memories_.end() || index >= it->second.entries) return nullptr;
        return it->second.bytes.data() + std::size_t(index) * it->second.width;
    }
    std::size_t memories() const { return memories_.size(); }
    std::uint64_t writes = 0;
    std::uint64_t reads = 0;

private:
    std::map<std::pair<std::uint32_t, std::uint32_t>, Memory> memories_;
};

// Where entry `index` of a table lies: instance and index in its memories.
struct Placement {
    std::uint32_t instance;
    std::uint32_t index;
};

inline Placement placementOf(Asic::MemLayout const& l, std::uint32_t index) {
    if (l.instances == 1) return {0, index};
    constexpr std::uint32_t split = Trident3::DefaultEgressTimestampTableHelper::kLastSplitIndex + 1;
    if (index < split) return {index / 7, index % 7};
    return {8 + (index - split) / 4, (index - split) % 4};
}

// The descriptor that reaches a table: its source's (a twin has none of its
// own, and a shared-memory table is reached through its source's too).
inline LogicalFap::HwTableDesc const* descriptorOf(X2::TableInfo const& t) {
    std::string const source = std::string(t.source).substr(std::strlen("X2/Default/"));
    auto e = Vex::Entity::singletonExists("bcm56275_a0::Default::" + source + "Desc");
    return dynamic_cast<LogicalFap::HwTableDesc const*>(e.ptr());
}

// Where data memory m of entry `index` lies: the first physical memory the
// descriptor names for it (present false when it names none).
struct Where {
    bool present;
    std::uint32_t id;
    Placement at;
};
inline Where whereOf(LogicalFap::HwTableDesc const& d, std::uint32_t index, std::uint32_t m) {
    Asic::MemLayout const& l = d.memLayouts()[0].layouts[0];
    Placement const p = placementOf(l, index);
    auto ids = l.physicalMemIds[p.instance * l.dataMemories + m];
    return {!ids.empty(), ids.empty() ? 0u : ids[0], p};
}

// The chip's bytes at `w` (a memory's width); empty when the chip lacks them.
inline std::vector<std::uint8_t> chipBytes(SimChip& chip, Where const& w) {
    std::uint8_t const* p = w.present ? chip.at(w.id, w.at.instance, w.at.index) : nullptr;
    if (!p) return {};
    return std::vector<std::uint8_t>(p, p + chip.memory(w.id, w.at.instance)->width);
}

class SimAgent {
public:
    explicit SimAgent(SimChip& chip) : chip_(chip) {}
    SimAgent(SimAgent const&) = delete;
    SimAgent& operator=(SimAgent const&) = delete;

    // Follows `table`, reached on the chip through `desc`.
    void watch(Asic::DirectIndexTable& table, LogicalFap::HwTableDesc const& desc) {
        add(&table, table.notifyingAccessor(0), &table, desc);
    }
    // A shared-memory table: `desc` is its source's descriptor. It has no
    // read requests, so no bulk read response to set.
    void watch(Asic::AmaMem::IndexTable& table, LogicalFap::HwTableDesc const& desc) {
        add(&table, table.notifyingAccessor(0), nullptr, desc);
    }

    // Answers every queued notification, including those its answers cause.
    std::size_t run() {
        std::size_t n = 0;
        while (!queue_.empty()) {
            Note const note = queue_.front();
            queue_.pop_front();
            n += handle(note);
        }
        return n;
    }

    std::size_t pending() const { return queue_.size(); }
    std::uint64_t failedWrites = 0;
    std::uint64_t unanswered = 0;  // read requests for entries the chip lacks

private:
    struct Watched : Vex::NotifieeConst {
        explicit Watched(SimAgent& a) : agent(a) {}
        ~Watched() override { notifierIs(nullptr); }
        void onAttribute(Lumo::FieldId field, void const* key) override {
            std::uint32_t k = 0;
            if (key) std::memcpy(&k, key, sizeof k);
            agent.queue_.push_back({this, field, key != nullptr, k});
        }
        SimAgent& agent;
        Lumo::Ptr<Vex::Entity> table;              // kept alive while watched
        Asic::DirectIndexTable* direct = nullptr;  // read tables: where the bulk read response goes
        LogicalFap::HwTableDesc const* desc = nullptr;
        Asic::MemLayout const* layout = nullptr;
        bool read = false;
        Asic::IndexTable::NotifyingAccessor* notifying = nullptr;
        Asic::IndexTableAccessor* entries = nullptr;
    };
    struct Note {
        Watched* w;
        Lumo::FieldId field;
        bool hasKey;
        std::uint32_t key;
    };

    void add(Vex::Entity* table, Asic::IndexTable::NotifyingAccessor* notifying, Asic::DirectIndexTable* direct,
             LogicalFap::HwTableDesc const& desc) {
        auto w = std::make_unique<Watched>(*this);
        w->table = table;
        w->direct = direct;
        w->desc = &desc;
        w->layout = &desc.memLayouts()[0].layouts[0];
        w->read = desc.collectionNames()[0].writeResponse == nullptr;
        if (w->read && !direct) throw std::logic_error("a read table must be a local-collection table");
        if (!notifying) throw std::logic_error("the table hands out no notifying accessor");
        w->notifying = notifying;
        w->entries = notifying->getEntryAccessor(0);
        // Entry widths, once per table; the memory ids come from the descriptor.
        Asic::MemLayout const& l = *w->layout;
        for (std::uint32_t inst = 0; inst < l.instances; ++inst)
            for (std::uint32_t m = 0; m < l.dataMemories; ++m)
                for (std::uint32_t id : l.physicalMemIds[inst * l.dataMemories + m])
                    chip_.memoryIs(id, inst, std::uint32_t(l.entries), w->entries->entryDataMaxSize(m));
        w->notifierIs(table);
        watched_.push_back(std::move(w));
    }

    // Calls f(data memory id, physical memory id) for each memory the entry's instance has.
    template <class F>
    static void forEachMemory(Asic::MemLayout const& l, std::uint32_t instance, F&& f) {
        for (std::uint32_t m = 0; m < l.dataMemories; ++m)
            for (std::uint32_t id : l.physicalMemIds[instance * l.dataMemories + m]) f(m, id);
    }

    std::size_t handle(Note const& n) {
        Watched& w = *n.w;
        if (!n.hasKey) return 0;  // the bulk read response: our own
        if (!w.read && n.field == 770) return program(w, n.key);
        if (w.read && n.field == 772) return answer(w, n.key);
        return 0;  // our own write responses and answered entries
    }

    std::size_t program(Watched& w, std::uint32_t index) {
        Asic::MemLayout const& l = *w.layout;
        Placement const p = placementOf(l, index);
        bool const present = w.notifying->entryExists(&index) && w.entries->entryIsValid(&index, 0);
        bool ok = true;
        forEachMemory(l, p.instance, [&](std::uint32_t m, std::uint32_t id) {
            std::uint8_t* dst = chip_.at(id, p.instance, p.index);
            if (!dst) {
                ok = false;
                return;
            }
            std::uint32_t const width = chip_.memory(id, p.instance)->width;
            if (present) {
                std::span<unsigned char const> src = w.entries->entryDataPtr(&index, m);
                std::size_t const n = src.size() < width ? src.size() : width;
                std::memcpy(dst, src.data(), n);
                std::memset(dst + n, 0, width - n);
            } else {
                std::memset(dst, 0, width);
            }
            ++chip_.writes;
        });
        if (!present) {
            w.notifying->deleteWriteResponse(&index);
            return 1;
        }
        if (!ok) ++failedWrites;
        Asic::HwTable::WriteResponse r;
        r.transactionId = w.notifying->entryTransactionId(&index);
        r.entryState = ok ? Asic::HwTable::EntryState::entryStateWritten : Asic::HwTable::EntryState::entryStateFailed;
        w.notifying->updateWriteResponse(&index, r);
        return 1;
    }

    bool readEntry(Watched& w, std::uint32_t index, Asic::TransactionId tid) {
        Asic::MemLayout const& l = *w.layout;
        Placement const p = placementOf(l, index);
        bool ok = true;
        forEachMemory(l, p.instance, [&](std::uint32_t, std::uint32_t id) {
            ok = ok && chip_.at(id, p.instance, p.index) != nullptr;
        });
        if (!ok) {
            ++unanswered;
            return false;
        }
        forEachMemory(l, p.instance, [&](std::uint32_t m, std::uint32_t id) {
            std::span<unsigned char> dst = w.entries->entryDataPtrIs(&index, m);
            std::uint32_t const width = chip_.memory(id, p.instance)->width;
            std::memcpy(dst.data(), chip_.at(id, p.instance, p.index), dst.size() < width ? dst.size() : width);
            ++chip_.reads;
        });
        w.notifying->entryPublish(index, tid);
        return true;
    }

    std::size_t answer(Watched& w, std::uint32_t key) {
        Asic::TransactionId const tid = w.notifying->readRequestTransactionId(&key);
        if (tid == 0) return 0;  // the request was removed
        if (key != Asic::kReadAllIndex) return readEntry(w, key, tid) ? 1 : 0;
        std::size_t n = 0;
        for (std::uint32_t i = 0; i < w.layout->entries; ++i) n += readEntry(w, i, tid) ? 1 : 0;
        w.direct->bulkReadResponseTidIs(tid);
        return n;
    }

    SimChip& chip_;
    std::vector<std::unique_ptr<Watched>> watched_;
    std::deque<Note> queue_;
};

}  // namespace hwsim
