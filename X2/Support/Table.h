#pragma once
// Everything a generated table source needs.
#include <tuple>

#include "AsicUtils/FieldOps.h"
#include "Asic/DirectIndexTable.h"
#include "Asic/Types.h"
#include "Lumo/Types.h"
#include "Orrin/PerUnitBitmap.h"
#include "Pell/Memory.h"
#include "Vex/PodArray.h"
#include "Trident3/DefaultEgressTimestampTableHelper.h"
#include "Vex/VexType.h"
#include "X2/Support/Accessor.h"
#include "X2/Support/Entry.h"
#include "X2/Support/Index.h"
#include "X2/Support/LocalTable.h"
#include "X2/Support/Reflect.h"
#include "X2/Support/Registry.h"
#include "X2/Support/WriteResponse.h"
