#pragma once
// An entry accessor whose operations do nothing (one 20-byte span, no
// lookup), for measuring what the interface's calls cost by themselves. It
// is defined in its own translation unit so that a benchmark loop calling it
// through the interface cannot see which class is behind the pointer: the
// compiler then emits the plain indirect calls a hardware agent makes, with
// no guessed-type shortcut.
#include "Asic/TableAccessor.h"

namespace x2bench {

// One instance for the process (the interface has no public destructor).
Asic::IndexTableAccessor& noWorkAccessor();

}  // namespace x2bench
