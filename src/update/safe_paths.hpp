// Relative paths from a manifest are untrusted: only plain "/"-separated paths
// that stay inside the installation may be written or deleted.
#pragma once

#include <string_view>

namespace tarvik::update {

// False for an empty path, an absolute path, a drive prefix ("C:"), an empty,
// "." or ".." component, a backslash or a NUL character.
bool is_safe_relative_path(std::string_view rel);

}  // namespace tarvik::update
