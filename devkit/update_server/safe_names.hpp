// What the server accepts as a channel key or as a relative path inside a
// channel. Anything that could leave its directory, or alias another name, is
// refused before a file is touched.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devserver {

// One path component: not empty, not "." or "..", no "/", "\" or NUL, and no
// drive prefix ("C:").
bool safe_component(std::string_view name);

// A "/"-separated relative path split into safe components; nullopt when the
// path is empty, absolute or has an unsafe component (an empty one included).
std::optional<std::vector<std::string>> safe_relative_path(std::string_view rel);

// Splits on "/" keeping empty pieces ("a//b" gives "a", "", "b").
std::vector<std::string> split_slash(std::string_view text);

}  // namespace devserver
