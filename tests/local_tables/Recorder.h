#pragma once
// A watcher of a table entity that records every publication: field id,
// key, whether it was recursive, and the bytes of the previous value (the
// number of bytes per field id is told by the test; a change without a
// previous value records none).
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "Vex/Entity.h"

namespace tabletest {

struct Seen {
    Lumo::FieldId field = 0;
    bool hasKey = false;
    std::uint32_t key = 0;
    bool recursive = false;
    bool hasPrevious = false;
    std::vector<std::uint8_t> previous;

    // The previous value read as T (the first sizeof(T) recorded bytes).
    template <class T>
    T prev() const {
        T v{};
        std::memcpy(static_cast<void*>(&v), previous.data(), sizeof(T) < previous.size() ? sizeof(T) : previous.size());
        return v;
    }
};

class Recorder : public Vex::NotifieeConst {
public:
    // Bytes of the previous value to keep per field id (recursive changes).
    std::map<Lumo::FieldId, std::size_t> previousBytes{{771, sizeof(void*)}, {772, 16}, {775, 8}};
    std::vector<Seen> seen;

    void onChange(Lumo::Change const& c) override {
        Seen s;
        s.field = c.fieldId;
        s.hasKey = c.key.hasKey();
        s.key = c.key.index();
        s.recursive = c.recursive;
        s.hasPrevious = c.previous != nullptr;
        if (c.previous) {
            auto it = previousBytes.find(c.fieldId);
            std::size_t const n = it == previousBytes.end() ? 0 : it->second;
            auto const* p = static_cast<std::uint8_t const*>(c.previous);
            s.previous.assign(p, p + n);
        }
        seen.push_back(std::move(s));
        Vex::NotifieeConst::onChange(c);
    }
    std::vector<Seen> take() { return std::exchange(seen, {}); }
};

}  // namespace tabletest
