// Relative paths from a manifest are untrusted: only plain "/"-separated paths
// that stay inside the installation, and out of the user's own folders, may be
// written or deleted.
#pragma once

#include <string>
#include <string_view>

namespace tarvik::update {

// False for an empty path, an absolute path, a drive prefix ("C:"), an empty,
// "." or ".." component, a backslash or a NUL character, a path below a
// folder the update never touches ("dbs", "logs" or "__pycache__" at any
// depth: the user's databases, logs and the interpreter's caches), and the
// installation's signed statement ("manifest-*.json.sig").
bool is_safe_relative_path(std::string_view rel);

// True when no existing component of app_dir/rel is a symbolic link that
// leads out of app_dir. With parents_only the last component is not looked at
// (deleting a link removes the link, not what it points to). Every component
// is looked at with lstat; a link is resolved and must stay below app_dir.
bool stays_inside(const std::string& app_dir, const std::string& rel, bool parents_only);

}  // namespace tarvik::update
