// Names that a release's manifest never lists: what the build leaves out and
// what the update client refuses to write.
#pragma once

#include <string_view>

namespace tarvik {

// Folders an update never writes into, at any depth: the user's databases
// ("dbs"), logs ("logs") and the interpreter's caches ("__pycache__").
inline bool is_protected_folder_name(std::string_view name) {
    return name == "dbs" || name == "logs" || name == "__pycache__";
}

// A signed statement beside its manifest ("manifest-*.json.sig").
inline bool is_statement_file_name(std::string_view name) {
    return name.starts_with("manifest-") && name.ends_with(".json.sig");
}

}  // namespace tarvik
