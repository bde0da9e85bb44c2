#include "X2/Support/Descriptor.h"

#include "Trident3/MeteringConstants.h"

namespace X2 {

namespace {
// A register write of `data` to the shaper register at `offset`.
LogicalFap::Command shaperWrite(std::uint32_t offset, Lumo::Bytes const& data) {
    Lumo::Ptr<LogicalFap::UserEntryWrite> payload;
    try {
        payload = new LogicalFap::UserEntryWrite(data);
    } catch (...) {
        // A command without payload: the access layer reports the failed write.
    }
    return {6, 20, kShaperRegisterBase + offset, 4, payload, std::uint32_t(data.size()), 0};
}
}  // namespace

LogicalFap::CmdBuilder shaperEnterCmdBuilder(std::uint32_t offset0, std::uint32_t offset1) {
    return [offset0, offset1](LogicalFap::IBatch* batch) {
        if (batch->isPrioritised()) batch->priorityIs(7);
        Lumo::Bytes const data = Trident3::Bcm56275MmuMtroEgrMeteringConfigConstants().enableShaperBytes();
        for (std::uint32_t offset : {offset0, offset1}) {
            batch->commandAdd(shaperWrite(offset, data));
            batch->commandAdd(shaperWrite(offset, data));
        }
    };
}

LogicalFap::CmdBuilder shaperExitCmdBuilder(std::uint32_t offset0, std::uint32_t offset1) {
    return [offset0, offset1](LogicalFap::IBatch* batch) {
        Lumo::Bytes const data = Trident3::Bcm56275MmuMtroEgrMeteringConfigConstants().disableShaperBytes();
        for (std::uint32_t offset : {offset0, offset1}) batch->commandAdd(shaperWrite(offset, data));
    };
}

DescriptorSingleton::DescriptorSingleton(Vex::VexTypeBase type, char const* typeName, Vex::Entity::Factory make)
    : type_(type) {
    Vex::Entity::typeFactoryIs(type, typeName, make);
    ptr_ = Vex::Entity::singletonExists(typeName);
    if (!ptr_) ptr_ = Vex::Entity::singletonIs(type);
}

DescriptorSingleton::~DescriptorSingleton() {
    ptr_ = nullptr;
    Vex::Entity::typeFactoryDel(type_);
}

}  // namespace X2
