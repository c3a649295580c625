// Python-compatible text forms used in messages: repr() of a string, and the
// decoding of bytes as UTF-8 with replacement characters.
#pragma once

#include <string>
#include <string_view>

namespace tarvik {

// repr() of a Python str holding this UTF-8 text: single quotes, or double quotes
// when the text has a single quote and no double quote; backslash, the quote and
// non-printable characters escaped (\n, \t, \r, \xNN, \uNNNN).
std::string py_repr(std::string_view utf8);

// Decodes bytes as UTF-8, each invalid sequence replaced by U+FFFD (the way
// bytes.decode("utf-8", "replace") does); returns valid UTF-8.
std::string utf8_replace_invalid(std::string_view bytes);

// True when the bytes are valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Number of code points in valid UTF-8 text, and its first n code points.
size_t utf8_length(std::string_view utf8);
std::string utf8_prefix(std::string_view utf8, size_t n_code_points);

// Appends the UTF-8 encoding of one code point.
void append_utf8(std::string& out, char32_t cp);

}  // namespace tarvik
