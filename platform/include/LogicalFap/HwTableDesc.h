#pragma once
// The logical access layer's descriptor base, its access modes, command
// batches and the chip information a descriptor derives its access from.
#include <cstdint>
#include <functional>
#include <vector>

#include "Asic/TableDesc.h"
#include "Lumo/Bytes.h"
#include "Lumo/Node.h"
#include "Lumo/String.h"

namespace LogicalFap {

// How the access layer reaches a table.
enum class HwAccessMode : std::uint8_t {
    writeThrough = 0,   // plain writable table
    writeBack = 1,
    readHitBits = 2,    // read table whose reads clear hit bits
    readOnly = 3,       // read table
    securedWrite = 4,   // writable behind the enter/exit command sequence
};

// Chip facts the access layer needs: the name and the register window.
class ChipPtInfo : public Lumo::Node {
public:
    explicit ChipPtInfo(char const* chip) : chip_(chip) {}
    char const* chip() const { return chip_; }

private:
    char const* chip_;
};

// Register data to write, counted so that commands can share it.
class UserEntryWrite : public Lumo::Node {
public:
    explicit UserEntryWrite(Lumo::Bytes const& data) : data_(data) {}
    Lumo::Bytes const& data() const { return data_; }

private:
    Lumo::Bytes data_;
};

struct Command {
    std::uint32_t kind;
    std::uint32_t code;
    std::uint32_t address;
    std::uint32_t word;
    Lumo::Ptr<UserEntryWrite> payload;
    std::uint32_t length;
    std::uint8_t flags;
};

// A batch of chip commands. This stand-in records what it is given.
class IBatch {
public:
    virtual ~IBatch() = default;
    virtual void commandAdd(Command const& c) { commands_.push_back(c); }     // sixth operation
    virtual void priorityIs(std::uint32_t p) { priority_ = p; }                // eleventh operation
    virtual bool isPrioritised() const { return prioritised_; }                // thirteenth operation

    std::vector<Command> const& commands() const { return commands_; }
    std::uint32_t priority() const { return priority_; }
    void prioritisedIs(bool on) { prioritised_ = on; }

private:
    std::vector<Command> commands_;
    std::uint32_t priority_ = 0;
    bool prioritised_ = false;
};

using CmdBuilder = std::function<void(IBatch*)>;

// What initAccessInfo derived: per data memory of instance 0, the physical
// memory and the mode.
struct AccessInfo {
    HwAccessMode mode = HwAccessMode::writeThrough;
    bool cached = false;
    char const* chip = nullptr;
    std::uint64_t entries = 0;
    std::vector<std::uint32_t> memories;
};

class HwTableDesc : public Asic::HwTableDesc {
public:
    using Asic::HwTableDesc::HwTableDesc;

    virtual double downloadInterval() const { return 0.0; }
    virtual Vex::VexTypeBase tileStatusVexType() const { return {}; }
    virtual std::uint32_t tileGroup() const { return 0; }

    // Derives the access information from the members set by the generated
    // asicHwTableInit. Raises Lumo::InvalidInitializeException when they are
    // incomplete or the chip information is missing.
    void initAccessInfo(Lumo::Ptr<ChipPtInfo const> const& chip, HwAccessMode mode, bool cached);
    AccessInfo const& accessInfo() const { return accessInfo_; }

    CmdBuilder const& enterCmdBuilder() const { return enterCmdBuilder_; }
    CmdBuilder const& exitCmdBuilder() const { return exitCmdBuilder_; }

protected:
    CmdBuilder enterCmdBuilder_;
    CmdBuilder exitCmdBuilder_;

private:
    AccessInfo accessInfo_;
};

}  // namespace LogicalFap
