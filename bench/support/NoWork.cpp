#include "support/NoWork.h"

namespace x2bench {
namespace {

struct NoWork final : Asic::IndexTableAccessor {
    unsigned char bytes[20] = {};
    unsigned numOfSubEntries() const override { return 1; }
    bool entryExists(void const*) const override { return true; }
    bool entryIsValid(void const*, unsigned) const override { return true; }
    Asic::TransactionId entryTransactionId(void const*) const override { return 1; }
    Asic::HwTable::MemId entryDataMemIdMax() const override { return 0; }
    std::uint32_t entryDataMaxSize(Asic::HwTable::MemId) const override { return sizeof bytes; }
    std::span<unsigned char const> entryDataPtr(void const*, Asic::HwTable::MemId) const override {
        return {bytes, sizeof bytes};
    }
    std::span<unsigned char> entryDataPtrIs(void const*, Asic::HwTable::MemId) override { return {bytes, sizeof bytes}; }
    void updateWriteResponse(void const*, Asic::HwTable::WriteResponse const&) override {}
    void entryPublish(Asic::Index, Asic::TransactionId) override {}
    void entryPublishIfValid(Asic::Index, Asic::TransactionId) override {}
    void entryDelete(Asic::Index) override {}
};

}  // namespace

Asic::IndexTableAccessor& noWorkAccessor() {
    static NoWork instance;
    return instance;
}

}  // namespace x2bench
