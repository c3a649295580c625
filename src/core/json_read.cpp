#include "core/json_read.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/pytext.hpp"

namespace tarvik {

namespace {

constexpr int kMaxDepth = 1000;

// Characters a decoded code point takes in json.dumps(..., ensure_ascii=False).
size_t escaped_cost(char32_t cp) {
    if (cp == '"' || cp == '\\' || cp == '\b' || cp == '\f' || cp == '\n' || cp == '\r' || cp == '\t') return 2;
    return cp < 0x20 ? 6 : 1;
}

size_t float_length(double d) {
    if (std::isnan(d)) return 3;
    if (std::isinf(d)) return d > 0 ? 8 : 9;
    return py_float_repr(d).size();
}

size_t integer_length(const Json& v) {
    char buf[32];
    if (v.is_number_unsigned())
        return static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, v.get<uint64_t>()).ptr - buf);
    return static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, v.get<int64_t>()).ptr - buf);
}

// Characters of a string's compact form: the quotes, each code point, and
// the extra characters of the escaped ones.
struct EscapeCost {
    signed char extra[256];
    constexpr EscapeCost() : extra() {
        for (int c = 0; c < 256; ++c) extra[c] = (c & 0xC0) == 0x80 ? -1 : c < 0x20 ? 5 : 0;
        for (int c : {'"', '\\', '\b', '\f', '\n', '\r', '\t'}) extra[c] = 1;
    }
};
constexpr EscapeCost kEscapeCost;

size_t string_length(const std::string& s) {
    long long n = 2 + static_cast<long long>(s.size());
    for (char ch : s) n += kEscapeCost.extra[static_cast<unsigned char>(ch)];
    return static_cast<size_t>(n);
}

// A repeated key keeps the place of its first occurrence and the value of its
// last one (what dict(pairs) does).
template <class Key, class Value>
void drop_repeated_keys(std::vector<std::pair<Key, Value>>& members) {
    const size_t n = members.size();
    if (n < 2) return;
    if (n <= 8) {
        bool repeated = false;
        for (size_t i = 0; i < n && !repeated; ++i)
            for (size_t j = i + 1; j < n && !repeated; ++j) repeated = members[i].first == members[j].first;
        if (!repeated) return;
    }
    // Where each member goes; the keys stay in place until every slot is known.
    std::unordered_map<std::string_view, size_t> slot_of;
    slot_of.reserve(n);
    std::vector<size_t> slot(n);
    size_t slots = 0;
    for (size_t i = 0; i < n; ++i) slot[i] = slot_of.emplace(members[i].first, slots).second ? slots++ : slot_of[members[i].first];
    if (slots == n) return;
    slot_of.clear();
    std::vector<std::pair<Key, Value>> kept(slots);
    std::vector<bool> placed(slots, false);
    for (size_t i = 0; i < n; ++i) {
        auto& to = kept[slot[i]];
        if (!placed[slot[i]]) {
            to.first = std::move(members[i].first);
            placed[slot[i]] = true;
        }
        to.second = std::move(members[i].second);
    }
    members = std::move(kept);
}

// True when none of the eight bytes ends or escapes a string or needs a
// look: no quote, no backslash, no control character, nothing beyond ASCII.
inline bool plain_string_bytes(const char* at) {
    constexpr uint64_t ones = 0x0101010101010101ULL, high = 0x8080808080808080ULL;
    uint64_t w;
    std::memcpy(&w, at, 8);
    if (w & high) return false;
    const uint64_t quote = w ^ (ones * '"'), backslash = w ^ (ones * '\\');
    const uint64_t special = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((w - ones * 0x20) & ~w);
    return (special & high) == 0;
}

// Keys of an object read in skim mode: in place in the text, or decoded here
// when they hold escapes (a deque does not move its strings as it grows).
struct SkimKey {
    std::string_view text;
    size_t length;  // of its compact form
};

// The Value type of the check-only mode: the text is read and checked, nothing kept.
struct Checked {};

// The reader. Build mode returns values; skim mode (the Value type size_t)
// returns the length of each value's compact form and builds nothing; check
// mode (Checked) only reads.
class Reader {
public:
    explicit Reader(std::string_view text) : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

    // With a member name, that top-level member's object values are skimmed.
    template <class Value>
    Value document(std::string_view skim_member = {}) {
        skim_member_ = skim_member;
        if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0)
            fail_at("Unexpected UTF-8 BOM (decode using utf-8-sig)", p_);
        skip_ws();
        Value v = value<Value>(0);
        skip_ws();
        if (p_ != end_) fail_at("Extra data", p_);
        // Refused only now: Python reads on past a lone surrogate, and a later
        // fault is the one it reports.
        if (lone_surrogate_) fail_at("Unpaired surrogate in string", lone_surrogate_);
        return v;
    }

    std::optional<SkimmedObject> skimmed;

private:
    const char* begin_;
    const char* p_;
    const char* end_;
    std::string_view skim_member_;
    const char* lone_surrogate_ = nullptr;  // the 'u' of the first \uXXXX escape of a lone surrogate

    // json.loads' message: "<what>: line L column C (char N)", counted in characters.
    [[noreturn]] void fail_at(const char* what, const char* at) const {
        std::string_view before(begin_, static_cast<size_t>(at - begin_));
        const size_t line_start = before.rfind('\n');
        const size_t line = static_cast<size_t>(std::count(before.begin(), before.end(), '\n')) + 1;
        const size_t column = line_start == std::string_view::npos ? utf8_length(before) + 1
                                                                    : utf8_length(before.substr(line_start + 1)) + 1;
        throw Error(ErrorKind::JSONDecodeError, std::string(what) + ": line " + std::to_string(line) + " column " +
                                                 std::to_string(column) + " (char " +
                                                 std::to_string(utf8_length(before)) + ")");
    }

    [[noreturn]] static void too_deep(const char* what) {
        throw Error(ErrorKind::RecursionError,
                          std::string("maximum recursion depth exceeded while decoding a JSON ") + what +
                              " from a unicode string");
    }

    void skip_ws() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool literal(std::string_view word) {
        if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
        p_ += word.size();
        return true;
    }

    template <class Value>
    static Value constant(Json v, size_t length) {
        if constexpr (std::is_same_v<Value, Json>) {
            (void)length;
            return v;
        } else if constexpr (std::is_same_v<Value, Checked>) {
            (void)v;
            (void)length;
            return {};
        } else {
            (void)v;
            return length;
        }
    }

    template <class Value>
    Value value(int depth) {
        if (p_ == end_) fail_at("Expecting value", p_);
        switch (*p_) {
            case '{': return object<Value>(depth + 1);
            case '[': return array<Value>(depth + 1);
            case '"': {
                if constexpr (std::is_same_v<Value, Json>) {
                    std::string s;
                    string_text<true>(&s);
                    return Json(std::move(s));
                } else if constexpr (std::is_same_v<Value, Checked>) {
                    string_text<false>(nullptr);
                    return {};
                } else {
                    return string_text<false>(nullptr);
                }
            }
            case 'n': if (literal("null")) return constant<Value>(nullptr, 4); break;
            case 't': if (literal("true")) return constant<Value>(true, 4); break;
            case 'f': if (literal("false")) return constant<Value>(false, 5); break;
            case 'N':
                if (literal("NaN")) return constant<Value>(std::numeric_limits<double>::quiet_NaN(), 3);
                break;
            case 'I':
                if (literal("Infinity")) return constant<Value>(std::numeric_limits<double>::infinity(), 8);
                break;
            case '-':
                if (literal("-Infinity")) return constant<Value>(-std::numeric_limits<double>::infinity(), 9);
                break;
            default: break;
        }
        Json n = number();
        if constexpr (std::is_same_v<Value, Json>) {
            return n;
        } else if constexpr (std::is_same_v<Value, Checked>) {
            return {};
        } else {
            return n.is_number_float() ? float_length(n.get<double>()) : integer_length(n);
        }
    }

    // After a member or an element: true past a ',' (another one follows),
    // false past the closing bracket.
    bool another_follows(char close) {
        skip_ws();
        if (p_ != end_ && *p_ == close) {
            ++p_;
            return false;
        }
        if (p_ == end_ || *p_ != ',') fail_at("Expecting ',' delimiter", p_);
        ++p_;
        skip_ws();
        return true;
    }

    // A member's key and the ':' after it; leaves the text at its value.
    std::string member_key() {
        if (p_ == end_ || *p_ != '"') fail_at("Expecting property name enclosed in double quotes", p_);
        std::string key;
        string_text<true>(&key);
        skip_ws();
        if (p_ == end_ || *p_ != ':') fail_at("Expecting ':' delimiter", p_);
        ++p_;
        skip_ws();
        return key;
    }

    template <class Value>
    Value object(int depth) {
        if (depth > kMaxDepth) too_deep("object");
        ++p_;  // '{'
        skip_ws();
        if constexpr (std::is_same_v<Value, Checked>) {
            if (p_ != end_ && *p_ == '}') {
                ++p_;
                return {};
            }
            do {
                if (p_ == end_ || *p_ != '"') fail_at("Expecting property name enclosed in double quotes", p_);
                string_text<false>(nullptr);
                skip_ws();
                if (p_ == end_ || *p_ != ':') fail_at("Expecting ':' delimiter", p_);
                ++p_;
                skip_ws();
                value<Checked>(depth);
            } while (another_follows('}'));
            return {};
        } else {
            return members_of<Value>(depth);
        }
    }

    template <class Value>
    Value members_of(int depth) {
        std::vector<std::pair<std::string, Value>> members;
        if (p_ == end_ || *p_ != '}') {
            const bool top = depth == 1 && !skim_member_.empty();
            do {
                std::string key = member_key();
                if constexpr (std::is_same_v<Value, Json>) {
                    if (top && key == skim_member_) {
                        members.emplace_back(std::move(key), member_value(depth));
                        continue;
                    }
                }
                members.emplace_back(std::move(key), value<Value>(depth));
            } while (another_follows('}'));
        } else {
            ++p_;
        }
        drop_repeated_keys(members);
        if constexpr (std::is_same_v<Value, Json>) {
            Json obj = Json::object();
            obj.get_ref<Json::object_t&>() =
                Json::object_t(std::make_move_iterator(members.begin()), std::make_move_iterator(members.end()));
            return obj;
        } else {
            size_t n = 2 + (members.empty() ? 0 : 2 * (members.size() - 1));
            for (const auto& [k, length] : members) n += string_length(k) + 2 + length;
            return n;
        }
    }

    // The skimmed member's value: an object is read in skim mode and noted
    // (each copy of the member replaces the note: the last one wins).
    Json member_value(int depth) {
        if (p_ == end_ || *p_ != '{') {
            skimmed.reset();
            return value<Json>(depth);
        }
        SkimmedObject note;
        ++p_;  // '{'
        skip_ws();
        std::vector<std::pair<std::string_view, size_t>> members;  // key, compact length of key and value
        bool ascending = true;  // then no key repeats (a built manifest lists its files sorted)
        if (p_ == end_ || *p_ != '}') {
            do {
                SkimKey key = skim_key(note.decoded);
                if (ascending && !members.empty()) ascending = members.back().first < key.text;
                members.emplace_back(key.text, key.length + value<size_t>(depth + 1));
            } while (another_follows('}'));
        } else {
            ++p_;
        }
        if (!ascending) drop_repeated_keys(members);
        note.compact_length = 2 + (members.empty() ? 0 : 2 * (members.size() - 1));
        note.keys.reserve(members.size());
        for (const auto& [k, length] : members) {
            note.compact_length += length + 2;
            note.keys.push_back(k);
        }
        skimmed = std::move(note);
        return Json::object();
    }

    // A member's key in skim mode and the ':' after it: a view of the text
    // when it holds no escape, else of its decoded copy kept in decoded.
    SkimKey skim_key(std::deque<std::string>& decoded) {
        if (p_ == end_ || *p_ != '"') fail_at("Expecting property name enclosed in double quotes", p_);
        const char* const start = p_;
        SkimKey key{{}, string_text<false>(nullptr)};
        std::string_view raw(start + 1, static_cast<size_t>(p_ - start - 2));
        if (raw.find('\\') == std::string_view::npos) {
            key.text = raw;
        } else {
            p_ = start;
            string_text<true>(&decoded.emplace_back());
            key.text = decoded.back();
        }
        skip_ws();
        if (p_ == end_ || *p_ != ':') fail_at("Expecting ':' delimiter", p_);
        ++p_;
        skip_ws();
        return key;
    }

    template <class Value>
    Value array(int depth) {
        if (depth > kMaxDepth) too_deep("array");
        ++p_;  // '['
        skip_ws();
        Json arr = Json::array();
        size_t length = 2, count = 0;
        if (p_ == end_ || *p_ != ']') {
            do {
                Value v = value<Value>(depth);
                if constexpr (std::is_same_v<Value, Json>) {
                    arr.push_back(std::move(v));
                } else if constexpr (std::is_same_v<Value, Checked>) {
                    (void)v;
                } else {
                    length += v + (count++ ? 2 : 0);
                }
            } while (another_follows(']'));
        } else {
            ++p_;
        }
        if constexpr (std::is_same_v<Value, Json>) {
            return arr;
        } else if constexpr (std::is_same_v<Value, Checked>) {
            (void)length;
            return {};
        } else {
            return length;
        }
    }

    // Four hex digits at q, or the \uXXXX failure reported at the 'u'.
    char32_t hex4(const char* q, const char* u) const {
        char32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = q[i];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<char32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<char32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<char32_t>(c - 'A' + 10);
            else fail_at("Invalid \\uXXXX escape", u);
        }
        return v;
    }

    // A string at p_ (its opening quote), checked as Python's scanner checks
    // it; with Keep its decoded text goes to out. Returns its compact length.
    template <bool Keep>
    size_t string_text(std::string* out) {
        const char* const quote = p_;
        const char* q = p_ + 1;
        size_t length = 2;
        for (;;) {
            const char* run = q;
            for (;;) {
                const char* const plain = q;
                while (end_ - q >= 8 && plain_string_bytes(q)) q += 8;
                length += static_cast<size_t>(q - plain);
                if (q == end_ || *q == '"' || *q == '\\') break;
                const auto c = static_cast<unsigned char>(*q);
                if (c < 0x20) fail_at("Invalid control character at", q);
                length += (c & 0xC0) != 0x80;
                ++q;
            }
            if constexpr (Keep) out->append(run, q);
            if (q == end_) fail_at("Unterminated string starting at", quote);
            if (*q == '"') {
                p_ = q + 1;
                return length;
            }
            const char* const backslash = q++;
            if (q == end_) fail_at("Unterminated string starting at", quote);
            char32_t decoded = 0;
            if (*q != 'u') {
                switch (*q) {
                    case '"': decoded = '"'; break;
                    case '\\': decoded = '\\'; break;
                    case '/': decoded = '/'; break;
                    case 'b': decoded = '\b'; break;
                    case 'f': decoded = '\f'; break;
                    case 'n': decoded = '\n'; break;
                    case 'r': decoded = '\r'; break;
                    case 't': decoded = '\t'; break;
                    default: fail_at("Invalid \\escape", backslash);
                }
                ++q;
            } else {
                const char* const u = q++;
                // Python wants a character after the four digits.
                if (end_ - q <= 4) fail_at("Invalid \\uXXXX escape", u);
                decoded = hex4(q, u);
                q += 4;
                if (decoded >= 0xD800 && decoded <= 0xDBFF && end_ - q > 6 && q[0] == '\\' && q[1] == 'u') {
                    const char32_t low = hex4(q + 2, q + 1);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        decoded = 0x10000 + ((decoded - 0xD800) << 10) + (low - 0xDC00);
                        q += 6;
                    }
                }
                if (decoded >= 0xD800 && decoded <= 0xDFFF) {
                    if (!lone_surrogate_) lone_surrogate_ = u;
                    decoded = 0xFFFD;
                }
            }
            length += escaped_cost(decoded);
            if constexpr (Keep) append_utf8(*out, decoded);
        }
    }

    bool digit_at(const char* q) const { return q < end_ && *q >= '0' && *q <= '9'; }

    // A number at p_, matched as Python's scanner matches it; anything else
    // there is "Expecting value".
    Json number() {
        const char* const start = p_;
        const char* q = p_;
        if (*q == '-') ++q;
        if (q < end_ && *q >= '1' && *q <= '9') {
            while (digit_at(q)) ++q;
        } else if (q < end_ && *q == '0') {
            ++q;
        } else {
            fail_at("Expecting value", start);
        }
        bool integral = true;
        if (q + 1 < end_ && *q == '.' && digit_at(q + 1)) {
            integral = false;
            q += 2;
            while (digit_at(q)) ++q;
        }
        if (q + 1 < end_ && (*q == 'e' || *q == 'E')) {
            const char* e = q + 1;
            if (e + 1 < end_ && (*e == '+' || *e == '-')) ++e;
            if (digit_at(e)) {
                integral = false;
                q = e;
                while (digit_at(q)) ++q;
            }
        }
        p_ = q;
        if (integral) {
            int64_t i = 0;
            if (std::from_chars(start, q, i).ec == std::errc()) return i;
            uint64_t u = 0;
            if (*start != '-' && std::from_chars(start, q, u).ec == std::errc()) return u;
        }
        return py_float_from_text(std::string(start, q));
    }
};

}  // namespace

Json parse_json(std::string_view text) {
    if (!is_utf8(text)) require_utf8(text);
    return Reader(text).document<Json>();
}

Json read_json_file(const std::filesystem::path& path) {
    std::string bytes = read_file(path);
    require_utf8(bytes);
    return parse_json(universal_newlines(bytes));
}

bool is_json(std::string_view text) {
    if (!is_utf8(text)) return false;
    try {
        Reader(text).document<Checked>();
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

JsonReading read_json_skimming(std::string_view text, std::string_view member) {
    if (!is_utf8(text)) require_utf8(text);
    Reader reader(text);
    JsonReading out;
    out.value = reader.document<Json>(member);
    out.compact_length = compact_length(out.value);
    if (reader.skimmed && out.value.is_object()) {
        out.skimmed = std::move(reader.skimmed);
        out.compact_length = out.compact_length - 2 + out.skimmed->compact_length;  // "{}" stands in its place
    }
    return out;
}

size_t compact_length(const Json& v) {
    switch (v.type()) {
        case Json::value_t::object: {
            size_t n = 2, i = 0;
            for (const auto& [k, item] : v.items()) n += (i++ ? 2 : 0) + string_length(k) + 2 + compact_length(item);
            return n;
        }
        case Json::value_t::array: {
            size_t n = 2, i = 0;
            for (const auto& item : v) n += (i++ ? 2 : 0) + compact_length(item);
            return n;
        }
        case Json::value_t::string: return string_length(v.get_ref<const std::string&>());
        case Json::value_t::boolean: return v.get<bool>() ? 4 : 5;
        case Json::value_t::null: return 4;
        case Json::value_t::number_float: return float_length(v.get<double>());
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned: return integer_length(v);
        default: return json_compact_py(v).size();
    }
}

}  // namespace tarvik
