#pragma once
// The base runtime's string: names of entities, texts of attributes.
#include <string>

namespace Lumo {
using String = std::string;
}
