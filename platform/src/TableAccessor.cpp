#include "Asic/TableAccessor.h"

#include <cstring>

namespace Asic {

namespace {
Index keyIndex(void const* key) {
    Index i;
    std::memcpy(&i, key, sizeof i);
    return i;
}
}  // namespace

HwTable::OptionalWriteResponse HwTableAccessor::writeResponse(void const*) const { return {}; }
void HwTableAccessor::updateWriteResponse(void const*, HwTable::WriteResponse const&) {}
void HwTableAccessor::deleteWriteResponse(void const*) {}

TransactionId IndexTableAccessor::readRequestTransactionId(void const*) const { return 0; }
std::uint64_t IndexTableAccessor::dmaBusAddress(Index, HwTable::MemId) { return 0; }

HwTable::OptionalWriteResponse HwTableNotificationAccessor::writeResponse(void const*) const { return {}; }
Index HwTableNotificationAccessor::writeResponseHwEntryIndex(void const* key) const { return keyIndex(key); }
void HwTableNotificationAccessor::updateWriteResponse(void const*, HwTable::WriteResponse const&) {}
void HwTableNotificationAccessor::deleteWriteResponse(void const*) {}

TransactionId HwIndexTableNotificationAccessor::readRequestTransactionId(void const*) const { return 0; }

}  // namespace Asic
