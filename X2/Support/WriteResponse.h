#pragma once
// The write-response record shared by every table with write responses: the
// base record (transaction id, entry state) plus the entry's index, which is
// its key. 16 bytes, flat: the index sits in the base's tail padding at
// bytes 12..15.
#include <cstdint>

#include <fmt/format.h>

#include "Asic/Types.h"
#include "Vex/CharRange.h"
#include "Vex/Hash.h"

namespace X2 {

struct WriteResponseTag {};

template <class Self, class IndexT>
class WriteResponseT : public Asic::HwTable::WriteResponse, public WriteResponseTag {
public:
    using Index = IndexT;

    WriteResponseT() = default;
    // The framework's construction from one argument: the index, the rest zero.
    explicit WriteResponseT(IndexT index) : entryIndex_(index) {}
    WriteResponseT(IndexT index, Asic::TransactionId tid, Asic::HwTable::EntryState state) : entryIndex_(index) {
        transactionId = tid;
        entryState = state;
    }
    // Text parse: Type(transactionId=N, entryState=NAME, entryIndex=N).
    explicit WriteResponseT(Vex::CharRange& r) { parse(r); }

    IndexT entryIndex() const { return entryIndex_; }
    IndexT fwkKey() const { return entryIndex_; }

    static bool isEq(void const* a, void const* b) {
        if (a == b) return true;
        auto const& x = *static_cast<Self const*>(a);
        auto const& y = *static_cast<Self const*>(b);
        return Asic::HwTable::WriteResponse::isEq(x, y) && x.entryIndex_ == y.entryIndex_;
    }
    friend bool operator==(Self const& a, Self const& b) { return isEq(&a, &b); }

    std::uint32_t hash(std::uint32_t seed) const {
        Vex::Hash h(seed);
        h.hashMix(Vex::hashSingleAttr(0, std::uint64_t(transactionId)));
        h.hashMix(std::uint8_t(entryState));
        h.hashMix(Vex::hashSingleAttr(0, entryIndex_.value()));
        return h.result();
    }

private:
    void parse(Vex::CharRange& r) {
        *this = WriteResponseT();
        Vex::DesAttrPost post(r);
        r.needPre(Self::kTypeName, "transactionId");
        try {
            transactionId = Vex::deserializeAttr<Asic::TransactionId>(r);
        } catch (Lumo::RangeException const& e) {
            Vex::rethrowFromDeserializeAttr("transactionId", e);
        }
        r.needSep("entryState");
        try {
            Asic::sequenceToValue(r, entryState);
        } catch (Lumo::RangeException const& e) {
            Vex::rethrowFromDeserializeAttr("entryState", e);
        }
        r.needSep("entryIndex");
        try {
            entryIndex_ = IndexT(r);
        } catch (Lumo::RangeException const& e) {
            Vex::rethrowFromDeserializeAttr("entryIndex", e);
        }
        post.close();
    }

    IndexT entryIndex_{};
};

}  // namespace X2

template <class T>
struct fmt::formatter<T, char, std::enable_if_t<std::is_base_of_v<X2::WriteResponseTag, T>>> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    template <class Ctx>
    auto format(T const& w, Ctx& ctx) const {
        return fmt::format_to(ctx.out(), "{}(transactionId={}, entryState={}, entryIndex={})", T::kTypeName,
                              w.transactionId, w.entryState, w.entryIndex().value());
    }
};
