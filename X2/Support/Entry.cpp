#include "X2/Support/Entry.h"

namespace X2 {
namespace Impl {
std::uint8_t const kZeroBlock[256] = {};
}

void refuseEntryText(Vex::CharRange&) { Pell::Utility::affirm(false); __builtin_unreachable(); }

}  // namespace X2
