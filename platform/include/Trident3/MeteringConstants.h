#pragma once
// Register data of the egress metering configuration that turns the MACsec
// shapers' byte mode on and off.
#include "Lumo/Bytes.h"

namespace Trident3 {

class Bcm56275MmuMtroEgrMeteringConfigConstants {
public:
    Lumo::Bytes enableShaperBytes() const;
    Lumo::Bytes disableShaperBytes() const;
};

}  // namespace Trident3
