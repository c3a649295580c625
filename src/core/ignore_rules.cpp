#include "core/ignore_rules.hpp"

#include <algorithm>
#include <vector>

#include <cwctype>
#ifdef _WIN32
#include "core/win32.hpp"
#endif

#include "core/file_io.hpp"
#include "core/pytext.hpp"

namespace tarvik {

namespace {

char32_t fold_char(char32_t c, bool fold) {
    if (!fold) return c;
    if (c == U'/') return U'\\';  // as ntpath.normcase: "/" becomes "\"
#ifdef _WIN32
    // The C runtime's towlower maps only ASCII in the "C" locale; the system's
    // own mapping lowers every BMP letter, like str.lower() for those.
    if (c >= 0x80 && (c < 0xD800 || (c >= 0xE000 && c <= 0xFFFF))) {
        return static_cast<char32_t>(reinterpret_cast<ULONG_PTR>(
            CharLowerW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
    }
#endif
    return static_cast<char32_t>(std::towlower(static_cast<wint_t>(c)));
}

// Parses a bracket expression starting at p[i] == '['. Returns the index after
// the closing ']' or npos when there is none (then "[" is literal).
size_t bracket_end(const std::u32string& p, size_t i) {
    size_t j = i + 1;
    if (j < p.size() && p[j] == U'!') ++j;
    if (j < p.size() && p[j] == U']') ++j;
    while (j < p.size() && p[j] != U']') ++j;
    return j < p.size() ? j + 1 : std::u32string::npos;
}

// Whether c is in the bracket expression p[open..close) ("[" ... "]"), read
// as Python's fnmatch.translate reads it: the set is cut into chunks at each
// "-" that makes a range; a reversed range is dropped with its two ends (the
// chunks around it are joined); what is left matches as a regular expression
// class would: nothing when empty, any character when only "!" is left, else
// a leading "!" negates, and the last character of a chunk and the first of
// the next bound a range. With fold the pattern is folded first, as
// ntpath.normcase folds the whole pattern.
bool in_bracket(const std::u32string& pattern, size_t open, size_t close, char32_t c, bool fold) {
    std::u32string p;
    for (size_t k = open + 1; k + 1 < close; ++k) p += fold_char(pattern[k], fold);
    const char32_t fc = fold_char(c, fold);
    std::vector<std::u32string> chunks;
    if (p.find(U'-') == std::u32string::npos) {
        chunks.push_back(p);
    } else {
        size_t i = 0, k = (!p.empty() && p[0] == U'!') ? 2 : 1;
        for (;;) {
            k = k < p.size() ? p.find(U'-', k) : std::u32string::npos;
            if (k == std::u32string::npos) break;
            chunks.push_back(p.substr(i, k - i));
            i = k + 1;
            k = k + 3;
        }
        std::u32string last = p.substr(std::min(i, p.size()));
        if (!last.empty()) chunks.push_back(last);
        else chunks.back() += U'-';
        for (size_t k2 = chunks.size() - 1; k2 > 0; --k2) {
            if (chunks[k2 - 1].back() > chunks[k2][0]) {
                chunks[k2 - 1] = chunks[k2 - 1].substr(0, chunks[k2 - 1].size() - 1) + chunks[k2].substr(1);
                chunks.erase(chunks.begin() + static_cast<long>(k2));
            }
        }
    }
    std::u32string all;
    for (size_t k = 0; k < chunks.size(); ++k) all += (k ? U"-" : U"") + chunks[k];
    if (all.empty()) return false;
    if (all == U"!") return true;
    bool negate = chunks[0][0] == U'!';
    if (negate) chunks[0].erase(0, 1);
    bool found = false;
    for (size_t k = 0; k < chunks.size() && !found; ++k) {
        const std::u32string& ch = chunks[k];
        for (size_t m = 0; m < ch.size(); ++m) {
            bool range_start = m + 1 == ch.size() && k + 1 < chunks.size();
            bool range_end = m == 0 && k > 0 && !chunks[k - 1].empty();
            if (range_start || range_end) continue;  // part of a range, tested below
            if (ch[m] == fc) found = true;
        }
        if (k + 1 < chunks.size()) {
            if (ch.empty()) {
                // "!" then "-": after the negation the "-" is a member, and the
                // next chunk's first character too.
                if (fc == U'-' || fc == chunks[k + 1][0]) found = true;
            } else if (ch.back() <= fc && fc <= chunks[k + 1][0]) {
                found = true;
            }
        }
    }
    return found != negate;
}

bool match_from(const std::u32string& p, size_t pi, const std::u32string& t, size_t ti, bool fold) {
    // Iterative with backtracking to the last "*" (linear-ish for typical patterns).
    size_t star_p = std::u32string::npos, star_t = 0;
    while (ti < t.size()) {
        if (pi < p.size()) {
            char32_t pc = p[pi];
            if (pc == U'*') {
                while (pi < p.size() && p[pi] == U'*') ++pi;
                if (pi == p.size()) return true;
                star_p = pi;
                star_t = ti;
                continue;
            }
            if (pc == U'?') { ++pi; ++ti; continue; }
            if (pc == U'[') {
                size_t close = bracket_end(p, pi);
                if (close != std::u32string::npos) {
                    if (in_bracket(p, pi, close, t[ti], fold)) { pi = close; ++ti; continue; }
                } else if (fold_char(U'[', fold) == fold_char(t[ti], fold)) { ++pi; ++ti; continue; }
            } else if (fold_char(pc, fold) == fold_char(t[ti], fold)) { ++pi; ++ti; continue; }
        }
        if (star_p == std::u32string::npos) return false;
        pi = star_p;
        ti = ++star_t;
    }
    while (pi < p.size() && p[pi] == U'*') ++pi;
    return pi == p.size();
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view text, bool fold) {
    return match_from(utf8_code_points(pattern), 0, utf8_code_points(text), 0, fold);
}

std::vector<std::string> read_ignore_file(const std::filesystem::path& path) {
    std::vector<std::string> out;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return out;
    for (const std::string& raw : split_lines(read_text_utf8(path))) {
        std::string line = strip(raw);
        if (line.empty() || line[0] == '#') continue;
        out.push_back(std::move(line));
    }
    return out;
}

bool is_ignored(std::string_view rel, const std::vector<std::string>& patterns, bool fold) {
    return IgnoreMatcher(patterns, fold).ignored(rel);
}

IgnoreMatcher::IgnoreMatcher(const std::vector<std::string>& patterns, bool fold) : fold_(fold) {
    patterns_.reserve(patterns.size());
    for (const std::string& pat : patterns) {
        Pattern p;
        p.glob = utf8_code_points(pat);
        if (!pat.empty() && pat.back() == '/') {
            std::string d = pat;
            while (!d.empty() && d.back() == '/') d.pop_back();
            p.dir_prefix = d + "/";
            p.is_dir = true;
        }
        patterns_.push_back(std::move(p));
    }
}

bool IgnoreMatcher::ignored(std::string_view rel) const {
    size_t start = 0;
    for (;;) {
        size_t slash = rel.find('/', start);
        std::string_view part = rel.substr(start, slash == std::string_view::npos ? rel.npos : slash - start);
        if (part == "node_modules") return true;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (patterns_.empty()) return false;
    const std::u32string text = utf8_code_points(rel);
    size_t base = text.rfind(U'/');
    base = base == std::u32string::npos ? 0 : base + 1;
    for (const Pattern& p : patterns_) {
        if (match_from(p.glob, 0, text, 0, fold_)) return true;
        if (base > 0 && match_from(p.glob, 0, text, base, fold_)) return true;
        if (p.is_dir) {
            if (rel.substr(0, p.dir_prefix.size()) == p.dir_prefix) return true;
            if (rel.find("/" + p.dir_prefix) != std::string_view::npos) return true;
        }
    }
    return false;
}

}  // namespace tarvik
