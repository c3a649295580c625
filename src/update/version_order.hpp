// Release order of version texts, for refusing downgrades: "1.10" is newer
// than "1.9", "1.0" equals "1.0.0", and a letter part marks a pre-release
// ("1.0rc1" and "1.0.dev2" are older than "1.0"). Numbers are compared by
// value however long they are; letter parts alphabetically, ignoring case.
#pragma once

#include <string_view>

namespace tarvik::update {

// Negative when a is older than b, 0 when they name the same release,
// positive when a is newer.
int compare_versions(std::string_view a, std::string_view b);

}  // namespace tarvik::update
