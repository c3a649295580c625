#include "update/manifest_json.hpp"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <locale.h>
#include <stdlib.h>
#else
#include <locale.h>
#include <stdlib.h>
#ifdef __APPLE__
#include <xlocale.h>
#endif
#endif

#include "core/errors.hpp"
#include "core/pytext.hpp"
#include "update/safe_paths.hpp"

namespace tarvik::update {

namespace {

constexpr int kMaxDepth = 1000;

// A JSON number's text as a double, whatever the process locale, the way
// Python's float() reads it: too large gives an infinity, too small zero or a
// subnormal. (strtod in the "C" locale: libc++ has no floating from_chars.)
double decimal_to_double(const std::string& token) {
#ifdef _WIN32
    static const _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    if (c_locale) return _strtod_l(token.c_str(), nullptr, c_locale);
#else
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    if (c_locale) return strtod_l(token.c_str(), nullptr, c_locale);
#endif
    return std::strtod(token.c_str(), nullptr);
}

// With build off the parser only checks the text and every value is null.
// With lazy_files the top-level "files" object is checked but left empty.
// Either way it counts the compact form and notes the first unsafe path
// among the keys of the top-level "files" object.
class Parser {
public:
    Parser(std::string_view text, bool build, bool lazy_files = false)
        : p_(text.data()), begin_(text.data()), end_(text.data() + text.size()), build_(build),
          lazy_files_(lazy_files) {}

    size_t compact = 0;
    std::optional<std::string> unsafe_key;

    Json document() {
        skip_ws();
        Json v = value(0);
        skip_ws();
        if (p_ != end_) fail("Extra data");
        return v;
    }

private:
    const char* p_;
    const char* begin_;
    const char* end_;
    bool build_;
    bool lazy_files_;
    bool in_files_ = false;

    [[noreturn]] void fail(const char* what) const {
        throw Error(ErrorKind::JSONDecodeError, std::string(what) + ": char " + std::to_string(p_ - begin_));
    }

    void skip_ws() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool literal(std::string_view word) {
        if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
        p_ += word.size();
        return true;
    }

    Json value(int depth) {
        if (p_ == end_) fail("Expecting value");
        switch (*p_) {
            case '{': return object(depth + 1);
            case '[': return array(depth + 1);
            case '"': return string();
            case 't': if (literal("true")) return counted(true, 4); break;
            case 'f': if (literal("false")) return counted(false, 5); break;
            case 'n': if (literal("null")) return counted(nullptr, 4); break;
            case 'N': if (literal("NaN")) return counted(std::numeric_limits<double>::quiet_NaN(), 3); break;
            case 'I': if (literal("Infinity")) return counted(std::numeric_limits<double>::infinity(), 8); break;
            case '-':
                if (literal("-Infinity")) return counted(-std::numeric_limits<double>::infinity(), 9);
                return number();
            default:
                if (*p_ >= '0' && *p_ <= '9') return number();
        }
        fail("Expecting value");
    }

    Json counted(Json v, size_t n) {
        compact += n;
        return v;
    }

    Json object(int depth) {
        if (depth > kMaxDepth) fail("Too deeply nested");
        ++p_;  // '{'
        compact += 2;
        std::vector<std::pair<std::string, Json>> members;
        skip_ws();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            return Json::object();
        }
        const bool top = depth == 1, file_keys = depth == 2 && in_files_;
        for (;;) {
            if (p_ == end_ || *p_ != '"') fail("Expecting property name enclosed in double quotes");
            std::string key = string_text(build_ || top || file_keys);
            if (file_keys && !unsafe_key && !is_safe_relative_path(key)) unsafe_key = key;
            skip_ws();
            if (p_ == end_ || *p_ != ':') fail("Expecting ':' delimiter");
            ++p_;
            compact += 2;
            skip_ws();
            Json v;
            if (top && key == "files") {
                v = files_value(depth);
            } else {
                v = value(depth);
            }
            if (build_) members.emplace_back(std::move(key), std::move(v));
            if (!another_follows('}')) break;
        }
        if (!build_) return nullptr;
        drop_repeated_keys(members);
        Json obj = Json::object();
        auto& vec = static_cast<std::vector<std::pair<const std::string, Json>>&>(obj.get_ref<Json::object_t&>());
        vec.reserve(members.size());
        for (auto& [k, v] : members) vec.emplace_back(std::move(k), std::move(v));
        return obj;
    }

    // The top-level "files" member: its keys are paths to check; with
    // lazy_files an object is only checked.
    Json files_value(int depth) {
        in_files_ = true;
        const bool lazy = lazy_files_ && p_ != end_ && *p_ == '{';
        const bool build = build_;
        if (lazy) build_ = false;
        Json v = value(depth);
        build_ = build;
        in_files_ = false;
        return lazy ? Json::object() : v;
    }

    // A repeated key keeps the place of its first occurrence and the value of
    // its last one.
    static void drop_repeated_keys(std::vector<std::pair<std::string, Json>>& members) {
        bool repeated = false;
        if (members.size() <= 8) {
            for (size_t i = 0; i < members.size() && !repeated; ++i)
                for (size_t j = i + 1; j < members.size() && !repeated; ++j)
                    repeated = members[i].first == members[j].first;
        } else {
            std::unordered_set<std::string_view> seen(members.size() * 2);
            for (const auto& m : members)
                if (!seen.insert(m.first).second) {
                    repeated = true;
                    break;
                }
        }
        if (!repeated) return;
        std::vector<std::pair<std::string, Json>> kept;
        for (auto& m : members) {
            auto it = std::find_if(kept.begin(), kept.end(), [&](const auto& k) { return k.first == m.first; });
            if (it == kept.end()) kept.push_back(std::move(m));
            else it->second = std::move(m.second);
        }
        members = std::move(kept);
    }

    // After a member or an element: true past a ',' (another one follows),
    // false past the closing bracket.
    bool another_follows(char close) {
        skip_ws();
        if (p_ != end_ && *p_ == ',') {
            ++p_;
            compact += 2;
            skip_ws();
            return true;
        }
        if (p_ != end_ && *p_ == close) {
            ++p_;
            return false;
        }
        fail("Expecting ',' delimiter");
    }

    Json array(int depth) {
        if (depth > kMaxDepth) fail("Too deeply nested");
        ++p_;  // '['
        compact += 2;
        Json arr = Json::array();
        auto& vec = arr.get_ref<Json::array_t&>();
        skip_ws();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
            return arr;
        }
        for (;;) {
            Json v = value(depth);
            if (build_) vec.push_back(std::move(v));
            if (!another_follows(']')) return arr;
        }
    }

    Json string() {
        std::string text = string_text(build_);
        return build_ ? Json(std::move(text)) : Json();
    }

    // Characters a decoded code point takes in the compact form.
    static size_t escaped_cost(uint32_t cp) {
        if (cp == '"' || cp == '\\' || cp == '\b' || cp == '\f' || cp == '\n' || cp == '\r' || cp == '\t') return 2;
        return cp < 0x20 ? 6 : 1;
    }

    uint32_t hex4() {
        if (end_ - p_ < 4) fail("Invalid \\uXXXX escape");
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = *p_++;
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
            else fail("Invalid \\uXXXX escape");
        }
        return v;
    }

    // The text must already be valid UTF-8; control characters are refused.
    std::string string_text(bool keep) {
        ++p_;  // '"'
        std::string out;
        size_t length = 2;
        for (;;) {
            const char* run = p_;
            while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) {
                length += (static_cast<unsigned char>(*p_) & 0xC0) != 0x80;
                ++p_;
            }
            if (keep) out.append(run, p_);
            if (p_ == end_) fail("Unterminated string starting at");
            char c = *p_++;
            if (c == '"') {
                compact += length;
                return out;
            }
            if (c != '\\') fail("Invalid control character at");
            if (p_ == end_) fail("Unterminated string starting at");
            uint32_t decoded = 0;
            switch (char e = *p_++) {
                case '"': decoded = '"'; break;
                case '\\': decoded = '\\'; break;
                case '/': decoded = '/'; break;
                case 'b': decoded = '\b'; break;
                case 'f': decoded = '\f'; break;
                case 'n': decoded = '\n'; break;
                case 'r': decoded = '\r'; break;
                case 't': decoded = '\t'; break;
                case 'u': {
                    uint32_t cp = hex4();
                    if (cp >= 0xD800 && cp <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
                        const char* save = p_;
                        p_ += 2;
                        uint32_t low = hex4();
                        if (low >= 0xDC00 && low <= 0xDFFF) cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        else p_ = save;
                    }
                    // A lone surrogate has no UTF-8 form.
                    if (cp >= 0xD800 && cp <= 0xDFFF) fail("Unpaired surrogate in string");
                    decoded = cp;
                    break;
                }
                default:
                    (void)e;
                    fail("Invalid \\escape");
            }
            length += escaped_cost(decoded);
            if (keep) append_utf8(out, decoded);
        }
    }

    Json number() {
        const char* start = p_;
        if (*p_ == '-') ++p_;
        if (p_ == end_) fail("Expecting value");
        if (*p_ == '0') {
            ++p_;
        } else if (*p_ >= '1' && *p_ <= '9') {
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        } else {
            p_ = start;
            fail("Expecting value");
        }
        bool integral = true;
        if (p_ != end_ && *p_ == '.' && p_ + 1 != end_ && p_[1] >= '0' && p_[1] <= '9') {
            integral = false;
            ++p_;
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            const char* e = p_ + 1;
            if (e != end_ && (*e == '+' || *e == '-')) ++e;
            if (e != end_ && *e >= '0' && *e <= '9') {
                integral = false;
                p_ = e;
                while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
            }
        }
        Json v = number_value(start, integral);
        compact += number_length(v);
        return v;
    }

    Json number_value(const char* start, bool integral) const {
        if (integral) {
            int64_t i = 0;
            if (std::from_chars(start, p_, i).ec == std::errc()) return i;
            uint64_t u = 0;
            if (*start != '-' && std::from_chars(start, p_, u).ec == std::errc()) return u;
        }
        return decimal_to_double(std::string(start, p_));
    }

    static size_t number_length(const Json& v) {
        char buf[32];
        if (v.is_number_integer() && !v.is_number_unsigned())
            return static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, v.get<int64_t>()).ptr - buf);
        if (v.is_number_unsigned())
            return static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, v.get<uint64_t>()).ptr - buf);
        double d = v.get<double>();
        if (std::isnan(d)) return 3;
        if (std::isinf(d)) return d > 0 ? 8 : 9;
        return json_compact_py(v).size();
    }
};

// Characters a byte adds to the compact form beyond itself: continuation bytes
// of a code point add none (-1), escaped characters add their backslash form.
struct EscapeCost {
    signed char extra[256];
    constexpr EscapeCost() : extra() {
        for (int c = 0; c < 256; ++c) extra[c] = (c & 0xC0) == 0x80 ? -1 : c < 0x20 ? 5 : 0;
        for (int c : {'"', '\\', '\b', '\f', '\n', '\r', '\t'}) extra[c] = 1;
    }
};
constexpr EscapeCost kEscapeCost;

size_t escaped_length(const std::string& s) {
    long long n = 2 + static_cast<long long>(s.size());
    for (char ch : s) n += kEscapeCost.extra[static_cast<unsigned char>(ch)];
    return static_cast<size_t>(n);
}

}  // namespace

Json parse_manifest_json(std::string_view text) { return Parser(text, true).document(); }

ManifestText read_manifest_text(std::string_view text, bool lazy_files) {
    Parser parser(text, true, lazy_files);
    ManifestText out;
    out.doc = parser.document();
    out.compact_length = parser.compact;
    out.unsafe_key = std::move(parser.unsafe_key);
    return out;
}

bool is_json(std::string_view text) {
    try {
        Parser(text, false).document();
        return true;
    } catch (const Error&) {
        return false;
    }
}

bool is_utf8(std::string_view bytes) {
    size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        if (word & 0x8080808080808080ULL) break;
    }
    return is_valid_utf8(bytes.substr(i));
}

size_t compact_length(const Json& v) {
    switch (v.type()) {
        case Json::value_t::object: {
            size_t n = 2, i = 0;
            for (const auto& [k, item] : v.items()) n += (i++ ? 2 : 0) + escaped_length(k) + 2 + compact_length(item);
            return n;
        }
        case Json::value_t::array: {
            size_t n = 2, i = 0;
            for (const auto& item : v) n += (i++ ? 2 : 0) + compact_length(item);
            return n;
        }
        case Json::value_t::string: return escaped_length(v.get_ref<const std::string&>());
        case Json::value_t::boolean: return v.get<bool>() ? 4 : 5;
        case Json::value_t::null: return 4;
        case Json::value_t::number_float: {
            double d = v.get<double>();
            if (std::isnan(d)) return 3;
            if (std::isinf(d)) return d > 0 ? 8 : 9;
            return json_compact_py(v).size();
        }
        default: return json_compact_py(v).size();
    }
}

}  // namespace tarvik::update
