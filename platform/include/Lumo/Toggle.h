#pragma once
// Feature toggles. A toggle is read once per process and cached. Its value
// comes from the JSON file `file` (an object of "name": true|false members)
// in the directory named by LUMO_TOGGLE_DIR, or from LUMO_TOGGLES
// ("FullCoreDump=0,CoreDumpSharedFiles=1"), which wins; otherwise `dflt`.
#include <string_view>

bool getToggleState(std::string_view name, std::string_view file, bool dflt);
