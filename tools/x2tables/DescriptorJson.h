#pragma once
// The module and descriptor of a table, as shown by `describe`.
#include <string>

#include "X2/Support/Registry.h"

namespace x2tables {

// `"module": ..., "typeIndex": ..., "descriptor": {...} or null` (no braces
// around them: the caller splices them into the table's object).
std::string descriptorJsonKeys(X2::TableInfo const& t);
// The same, readably: indented lines ending in '\n'.
std::string descriptorText(X2::TableInfo const& t);

}  // namespace x2tables
