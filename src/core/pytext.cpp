#include "core/pytext.hpp"

#include <cstdint>
#include <cstdio>

namespace tarvik {

namespace {

// Decodes one code point at s[i]; returns its length, or 0 for an invalid sequence.
// Follows the maximal-subpart rule of Python's decoder for the replacement count.
size_t decode_one(std::string_view s, size_t i, char32_t& cp, size_t& bad_len) {
    auto b0 = static_cast<unsigned char>(s[i]);
    bad_len = 1;
    if (b0 < 0x80) { cp = b0; return 1; }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) { need = 1; cp = b0 & 0x1F; }
    else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2; cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3; cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else return 0;
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) { bad_len = k; return 0; }
        auto b = static_cast<unsigned char>(s[i + k]);
        unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) { bad_len = k; return 0; }
        cp = (cp << 6) | (b & 0x3F);
    }
    return need + 1;
}


// Python's str.isprintable() for the characters that commonly occur; the
// remaining categories (unassigned, private use) are treated as printable.
bool printable(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) return false;
    if (cp >= 0x2000 && cp <= 0x200F) return false;
    if (cp >= 0x2028 && cp <= 0x202F) return false;
    if (cp >= 0x205F && cp <= 0x206F) return false;
    if (cp == 0x1680 || cp == 0x3000 || cp == 0xFEFF) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    if (cp >= 0xFFF9 && cp <= 0xFFFB) return false;
    return true;
}

}  // namespace

std::string utf8_replace_invalid(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        char32_t cp;
        size_t bad;
        size_t n = decode_one(bytes, i, cp, bad);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i += bad;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        char32_t cp;
        size_t bad;
        size_t n = decode_one(bytes, i, cp, bad);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

size_t utf8_length(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

std::string utf8_prefix(std::string_view s, size_t count) {
    size_t n = 0, i = 0;
    for (; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (n == count) break;
            ++n;
        }
    }
    return std::string(s.substr(0, i));
}

std::string py_repr(std::string_view utf8) {
    std::string text = utf8_replace_invalid(utf8);
    bool has_single = text.find('\'') != std::string::npos;
    bool has_double = text.find('"') != std::string::npos;
    char quote = (has_single && !has_double) ? '"' : '\'';
    std::string out(1, quote);
    size_t i = 0;
    while (i < text.size()) {
        char32_t cp = 0;
        size_t bad = 0;
        size_t n = decode_one(text, i, cp, bad);
        i += n ? n : 1;
        if (cp == static_cast<char32_t>(quote) || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == '\n') out += "\\n";
        else if (cp == '\r') out += "\\r";
        else if (cp == '\t') out += "\\t";
        else if (!printable(cp)) {
            char buf[16];
            if (cp < 0x100) std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
            else if (cp < 0x10000) std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
            else std::snprintf(buf, sizeof buf, "\\U%08x", static_cast<unsigned>(cp));
            out += buf;
        } else append_utf8(out, cp);
    }
    out += quote;
    return out;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) out += static_cast<char>(cp);
    else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace tarvik
