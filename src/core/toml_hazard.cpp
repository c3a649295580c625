#include "core/toml_hazard.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "core/pytext.hpp"

namespace tarvik {

namespace {

// What toml++ skips after a line-ending backslash besides the white space
// and line breaks TOML skips there: code points TOML keeps as text.
bool skipped_by_toml_parser_only(char32_t c) {
    return c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200B) || c == 0x202F || c == 0x205F ||
           c == 0x2060 || c == 0x3000 || c == 0xFEFF;
}

// Code points its horizontal white-space test has no answer for: the test
// splits U+00A0..U+FEFF into 64 slices of 0x3FA and answers slices 0, 11
// and 63 only for U+00A0, U+3000 and U+FEFF.
bool unreadable(char32_t c) {
    return (c >= 0xA1 && c <= 0x499) || (c >= 0x2C5E && c <= 0x3057 && c != 0x3000) || (c >= 0xFB26 && c <= 0xFEFE);
}

}  // namespace

std::optional<std::string> toml_parser_hazard(std::string_view text) {
    for (size_t i = text.find('\\'); i != std::string_view::npos; i = text.find('\\', i + 1)) {
        size_t k = i + 1;
        while (k < text.size() && (text[k] == ' ' || text[k] == '\t')) ++k;
        if (k == text.size() || (text[k] != '\n' && text[k] != '\r')) continue;
        while (k < text.size() && (text[k] == ' ' || text[k] == '\t' || text[k] == '\n' || text[k] == '\r')) ++k;
        if (k == text.size()) continue;
        const char32_t c = utf8_code_points(text.substr(k, 4)).front();
        if (!unreadable(c) && !skipped_by_toml_parser_only(c)) continue;
        const size_t line = static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<long>(k), '\n')) + 1;
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
        return "line " + std::to_string(line) + ": " + code +
               " after a line-ending backslash cannot be read safely by the TOML library; put another character "
               "first on that line";
    }
    return std::nullopt;
}

}  // namespace tarvik
