// Relative paths as they go into request URLs: each "/"-separated component
// percent-encoded (RFC 3986), so that a file named "a b#1?.txt" or "%41.bin"
// is asked for under its own name and not cut at "#" or "?" or decoded into
// another one.
#pragma once

#include <string>
#include <string_view>

namespace tarvik::update {

// Keeps the unreserved characters (letters, digits, "-", ".", "_", "~") and the
// "/" between components; every other byte (space, "#", "?", "%", controls,
// the UTF-8 bytes of non-ASCII letters) becomes "%XX" with upper-case hex.
std::string percent_encode_path(std::string_view rel);

}  // namespace tarvik::update
