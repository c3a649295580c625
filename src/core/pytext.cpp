#include "core/pytext.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <system_error>

#include <locale.h>
#include <stdlib.h>
#ifdef __APPLE__
#include <xlocale.h>
#endif

namespace tarvik {

namespace {

enum class Utf8Failure { none, invalid_start, invalid_continuation, end_of_data };

// Decodes one code point at s[i]; returns its length, or 0 for an invalid
// sequence with bad_len the length of its maximal valid prefix (at least 1),
// the span Python's decoder reports and replaces, and why it failed.
size_t decode_one(std::string_view s, size_t i, char32_t& cp, size_t& bad_len, Utf8Failure& why) {
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
    } else {
        why = Utf8Failure::invalid_start;
        return 0;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            bad_len = k;
            why = Utf8Failure::end_of_data;
            return 0;
        }
        auto b = static_cast<unsigned char>(s[i + k]);
        unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) {
            bad_len = k;
            why = Utf8Failure::invalid_continuation;
            return 0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    return need + 1;
}

size_t decode_one(std::string_view s, size_t i, char32_t& cp, size_t& bad_len) {
    Utf8Failure why;
    return decode_one(s, i, cp, bad_len, why);
}

struct CodePointRange {
    char32_t first, last;
};
#include "core/pytext_printable.inc"

// Python's str.isprintable() for one code point.
bool printable(char32_t cp) {
    if (cp >= 0x20 && cp < 0x7F) return true;
    const auto* end = std::end(kNonPrintable);
    const auto* it = std::upper_bound(std::begin(kNonPrintable), end, cp,
                                      [](char32_t c, const CodePointRange& r) { return c < r.first; });
    return it == std::begin(kNonPrintable) || cp > std::prev(it)->last;
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

std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t cp;
        size_t bad;
        Utf8Failure why = Utf8Failure::none;
        size_t n = decode_one(bytes, i, cp, bad, why);
        if (n == 0) {
            switch (why) {
                case Utf8Failure::invalid_start: return Utf8Fault{i, i + 1, "invalid start byte"};
                case Utf8Failure::end_of_data: return Utf8Fault{i, bytes.size(), "unexpected end of data"};
                default: return Utf8Fault{i, i + bad, "invalid continuation byte"};
            }
        }
        i += n;
    }
    return std::nullopt;
}

std::u32string utf8_code_points(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        char32_t cp;
        size_t bad;
        const size_t n = decode_one(bytes, i, cp, bad);
        out += n ? cp : U'\uFFFD';
        i += n ? n : bad;
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

bool py_isspace(char32_t c) {
    if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) return true;
    if (c < 0x80) return false;
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

size_t py_space_length(std::string_view s, size_t i) {
    char32_t cp;
    size_t bad;
    const size_t n = decode_one(s, i, cp, bad);
    return n != 0 && py_isspace(cp) ? n : 0;
}

std::string_view py_lstrip(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const size_t n = py_space_length(s, i);
        if (n == 0) break;
        i += n;
    }
    return s.substr(i);
}

std::string_view py_rstrip(std::string_view s) {
    size_t end = s.size();
    while (end > 0) {
        size_t k = end - 1;  // back to the start of the last code point
        while (k > 0 && end - k < 4 && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
        const size_t n = py_space_length(s, k);
        if (n == 0 || k + n != end) break;
        end = k;
    }
    return s.substr(0, end);
}

std::string_view py_strip(std::string_view s) { return py_rstrip(py_lstrip(s)); }

std::string strip(std::string_view s) { return std::string(py_strip(s)); }

std::vector<std::string> split_lines(std::string_view text, bool keep_ends) {
    std::vector<std::string> lines;
    size_t start = 0, i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n' || c == '\r') {
            const size_t end = i;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            ++i;
            lines.emplace_back(text.substr(start, (keep_ends ? i : end) - start));
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::string universal_newlines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            out += text[i];
            continue;
        }
        out += '\n';
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
    return out;
}

const char* printable_unicode_version() { return kPrintableUnicodeVersion; }

double py_float_from_text(const std::string& token) {
#ifdef _WIN32
    static const _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    if (c_locale) return _strtod_l(token.c_str(), nullptr, c_locale);
#else
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    if (c_locale) return strtod_l(token.c_str(), nullptr, c_locale);
#endif
    return std::strtod(token.c_str(), nullptr);
}

namespace {

// The shortest decimal digits that read back as d (d finite and positive),
// and the exponent of the first one: d = 0.DIGITS x 10^point.
void shortest_digits(double d, std::string& digits, int& point) {
    char buf[64];
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string_view text(buf, static_cast<size_t>(r.ptr - buf));
#else
    // Without a shortest to_chars: the fewest %e digits that read back exactly.
    std::string_view text;
    for (int precision = 0; precision <= 17; ++precision) {
        int n = std::snprintf(buf, sizeof buf, "%.*e", precision, d);
        text = std::string_view(buf, static_cast<size_t>(n));
        std::string c_form;  // the locale may write another decimal point
        for (char c : text) c_form += (c >= '0' && c <= '9') || c == 'e' || c == '-' || c == '+' ? c : '.';
        if (py_float_from_text(c_form) == d) break;
    }
#endif
    digits.clear();
    size_t e = text.find('e');
    for (char c : text.substr(0, e))
        if (c >= '0' && c <= '9') digits += c;
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    int exponent = 0;
    std::string_view exp_text = text.substr(e + 1);
    if (!exp_text.empty() && exp_text[0] == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
    point = exponent + 1;
}

}  // namespace

std::string py_float_repr(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    std::string out = std::signbit(d) ? "-" : "";
    if (d == 0) return out + "0.0";
    std::string digits;
    int point = 0;
    shortest_digits(std::fabs(d), digits, point);
    const int n = static_cast<int>(digits.size());
    if (point > 16 || point <= -4) {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits, 1);
        }
        const int exponent = point - 1;
        char buf[16];
        std::snprintf(buf, sizeof buf, "e%c%02d", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
        return out + buf;
    }
    if (point <= 0) return out + "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    if (point >= n) return out + digits + std::string(static_cast<size_t>(point - n), '0') + ".0";
    return out + digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
}

}  // namespace tarvik
