// Python's text rules in one place: repr() of a string and of a float, the
// UTF-8 decoder's verdicts (replacement, the failure Python reports), the
// reading of a decimal number as float() reads it, str.isspace() and strip(),
// and universal newlines. Case mapping (str.lower/upper) is a service of the
// host interpreter: Host::lower and Host::upper (core/host.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

// repr() of a Python str holding this UTF-8 text: single quotes, or double quotes
// when the text has a single quote and no double quote; backslash, the quote and
// non-printable characters escaped (\n, \t, \r, \xNN, \uNNNN).
std::string py_repr(std::string_view utf8);

// Decodes bytes as UTF-8, each invalid sequence replaced by U+FFFD (the way
// bytes.decode("utf-8", "replace") does); returns valid UTF-8.
std::string utf8_replace_invalid(std::string_view bytes);

// The first invalid sequence as Python's strict UTF-8 decoder reports it: the
// byte span [start, end) and the reason ("invalid start byte", "invalid
// continuation byte", "unexpected end of data").
struct Utf8Fault {
    size_t start, end;
    const char* reason;
};
std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes);

// The code points of bytes decoded as UTF-8, each invalid sequence read as
// U+FFFD (as utf8_replace_invalid does).
std::u32string utf8_code_points(std::string_view bytes);

// True when the bytes are valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Number of code points in valid UTF-8 text, and its first n code points.
size_t utf8_length(std::string_view utf8);
std::string utf8_prefix(std::string_view utf8, size_t n_code_points);

// The Unicode version of str.isprintable() as py_repr applies it (the table
// in pytext_printable.inc, made by scripts/gen_printable_table.py).
const char* printable_unicode_version();

// repr() of a float: the shortest text that reads back as the same value,
// in fixed form for exponents -4 to 15 ("1000000000000000.0", "0.0001"),
// else in exponent form ("1e+16", "1.5e-05"); "nan", "inf", "-inf".
std::string py_float_repr(double value);

// float() of a decimal number's text, whatever the process locale: too large
// gives an infinity, too small zero or a subnormal.
double py_float_from_text(const std::string& text);

// Python's str.isspace() for one code point (also the \s of its str patterns).
bool py_isspace(char32_t cp);
// Byte length of the whitespace code point that starts at s[i]; 0 when none
// does (a byte that starts no valid UTF-8 sequence is not whitespace).
size_t py_space_length(std::string_view s, size_t i);
// str.strip(), str.lstrip() and str.rstrip() without arguments.
std::string_view py_strip(std::string_view s);
std::string_view py_lstrip(std::string_view s);
std::string_view py_rstrip(std::string_view s);
// py_strip as a new string.
std::string strip(std::string_view s);

// Splits text into lines the way Python's universal-newline reading does:
// "\n", "\r\n" and "\r" end a line; the line ends are kept when keep_ends.
std::vector<std::string> split_lines(std::string_view text, bool keep_ends = false);

// Text as Python's universal-newline reading gives it: "\r\n" and "\r"
// become "\n".
std::string universal_newlines(std::string_view text);

// Appends the UTF-8 encoding of one code point.
void append_utf8(std::string& out, char32_t cp);

}  // namespace tarvik
