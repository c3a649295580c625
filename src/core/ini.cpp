#include "core/ini.hpp"

#include <cerrno>
#include <set>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/pytext.hpp"

namespace tarvik {

namespace {

// Splits into lines that keep their "\n". With universal newlines, "\r\n" and
// "\r" end lines too and are read as "\n" (Python's text files); without, only
// "\n" ends a line (Python's StringIO).
std::vector<std::string> split_keep_lf(std::string_view text, bool universal) {
    const std::string lf_text = universal ? universal_newlines(text) : std::string(text);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < lf_text.size()) {
        size_t lf = lf_text.find('\n', start);
        size_t end = lf == std::string::npos ? lf_text.size() : lf + 1;
        lines.push_back(lf_text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// A value line break written as a continuation: "\n" followed by a tab. Carriage
// returns count as line breaks too, or the file would read back differently.
std::string continued_value(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '\r') {
            if (i + 1 < value.size() && value[i + 1] == '\n') ++i;
            out += "\n\t";
        } else if (c == '\n') {
            out += "\n\t";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string IniConfig::option_key(std::string_view option) { return host().lower(option); }

const std::string* IniConfig::Section::find(const std::string& key) const {
    auto it = index.find(key);
    return it == index.end() ? nullptr : &options[it->second].second;
}

std::string& IniConfig::Section::slot(const std::string& key) {
    auto [it, added] = index.emplace(key, options.size());
    if (added) options.emplace_back(key, std::string());
    return options[it->second].second;
}

const IniConfig::Section* IniConfig::find_section(const std::string& name) const {
    auto it = section_index_.find(name);
    return it == section_index_.end() ? nullptr : &sections_[it->second];
}

IniConfig::Section* IniConfig::find_section(const std::string& name) {
    auto it = section_index_.find(name);
    return it == section_index_.end() ? nullptr : &sections_[it->second];
}

void IniConfig::read(const std::filesystem::path& path) {
    std::string text;
    try {
        text = read_text_utf8(path);
    } catch (const OsError& e) {
        if (e.error_number == ENOENT || e.error_number == ENOTDIR) return;
        throw;
    }
    IniConfig work = *this;
    work.parse(text, true, path_text(path));
    *this = std::move(work);
}

void IniConfig::read_string(std::string_view text, const std::string& source) {
    IniConfig work = *this;
    work.parse(text, false, source);
    *this = std::move(work);
}

void IniConfig::parse(std::string_view text, bool universal_newlines, const std::string& source) {
    // Sections and options seen in this read: a second one is an error.
    std::set<std::string> sections_added;
    std::set<std::pair<std::string, std::string>> options_added;
    // Options whose value this read wrote; their trailing blanks go at the end.
    std::vector<std::pair<size_t, std::string>> touched;
    std::vector<std::pair<int, std::string>> bad_lines;

    // The current section by index (sections_ may reallocate as it grows).
    constexpr size_t NONE = static_cast<size_t>(-1), DEFAULTS = NONE - 1;
    size_t cur = NONE;
    auto current = [&]() -> Section& { return cur == DEFAULTS ? defaults_ : sections_[cur]; };
    std::string sectname;
    std::optional<std::string> optname;
    size_t indent_level = 0;

    std::vector<std::string> lines = split_keep_lf(text, universal_newlines);
    int lineno = 0;
    for (const std::string& line : lines) {
        ++lineno;
        std::string_view stripped = py_strip(line);
        bool comment = !stripped.empty() && (stripped[0] == '#' || stripped[0] == ';');
        std::string_view value = comment ? std::string_view() : stripped;
        if (value.empty()) {
            // An empty line inside a value is part of it; a comment line is not.
            if (!comment && cur != NONE && optname && !optname->empty())
                current().slot(*optname) += '\n';
            continue;
        }
        const size_t indent = utf8_length(std::string_view(line).substr(0, line.size() - py_lstrip(line).size()));
        if (cur != NONE && optname && !optname->empty() && indent > indent_level) {
            std::string& v = current().slot(*optname);
            v += '\n';
            v += value;
            continue;
        }
        indent_level = indent;
        size_t close = value.rfind(']');
        if (value[0] == '[' && close != std::string_view::npos && close >= 2) {
            sectname = std::string(value.substr(1, close - 1));
            if (Section* existing = find_section(sectname)) {
                if (sections_added.count(sectname)) throw DuplicateSectionError(sectname, source, lineno);
                cur = static_cast<size_t>(existing - sections_.data());
                sections_added.insert(sectname);
            } else if (sectname == DEFAULT_SECTION) {
                cur = DEFAULTS;
            } else {
                section_index_.emplace(sectname, sections_.size());
                sections_.push_back(Section{sectname, {}, {}});
                cur = sections_.size() - 1;
                sections_added.insert(sectname);
            }
            optname.reset();
            continue;
        }
        if (cur == NONE) throw MissingSectionHeaderError(source, lineno, line);
        size_t delim = value.find_first_of("=:");
        if (delim == std::string_view::npos) {
            bad_lines.emplace_back(lineno, line);
            continue;
        }
        std::string_view name = py_rstrip(value.substr(0, delim));
        if (name.empty()) bad_lines.emplace_back(lineno, line);
        std::string key = option_key(name);
        if (!options_added.emplace(sectname, key).second)
            throw DuplicateOptionError(sectname, key, source, lineno);
        current().slot(key) = std::string(py_strip(value.substr(delim + 1)));
        touched.emplace_back(cur, key);
        optname = key;
    }
    for (const auto& [at, key] : touched) {
        std::string& v = (at == DEFAULTS ? defaults_ : sections_[at]).slot(key);
        v = std::string(py_rstrip(v));
    }
    if (!bad_lines.empty()) throw IniParsingError(source, std::move(bad_lines));
}

std::vector<std::string> IniConfig::sections() const {
    std::vector<std::string> names;
    names.reserve(sections_.size());
    for (const Section& s : sections_) names.push_back(s.name);
    return names;
}

bool IniConfig::has_section(const std::string& section) const { return find_section(section) != nullptr; }

bool IniConfig::has_option(const std::string& section, const std::string& option) const {
    std::string key = option_key(option);
    if (section.empty() || section == DEFAULT_SECTION) return defaults_.find(key) != nullptr;
    const Section* s = find_section(section);
    if (!s) return false;
    return s->find(key) != nullptr || defaults_.find(key) != nullptr;
}

std::optional<std::string> IniConfig::find(const std::string& section, const std::string& option) const {
    const Section* s = find_section(section);
    if (!s && section != DEFAULT_SECTION) return std::nullopt;
    std::string key = option_key(option);
    if (s)
        if (const std::string* v = s->find(key)) return *v;
    if (const std::string* v = defaults_.find(key)) return *v;
    return std::nullopt;
}

std::string IniConfig::get(const std::string& section, const std::string& option) const {
    if (!find_section(section) && section != DEFAULT_SECTION) throw NoSectionError(section);
    std::optional<std::string> v = find(section, option);
    if (!v) throw NoOptionError(option_key(option), section);
    return *v;
}

std::string IniConfig::get(const std::string& section, const std::string& option,
                           const std::string& fallback) const {
    return find(section, option).value_or(fallback);
}

void IniConfig::set(const std::string& section, const std::string& option, const std::string& value) {
    Section* s = nullptr;
    if (section.empty() || section == DEFAULT_SECTION) {
        s = &defaults_;
    } else {
        s = find_section(section);
        if (!s) throw NoSectionError(section);
    }
    s->slot(option_key(option)) = value;
}

void IniConfig::add_section(const std::string& section) {
    if (section == DEFAULT_SECTION) throw value_error("Invalid section name: 'DEFAULT'");
    if (find_section(section)) throw DuplicateSectionError(section, {}, 0);
    section_index_.emplace(section, sections_.size());
    sections_.push_back(Section{section, {}, {}});
}

std::string IniConfig::to_string() const {
    std::string out;
    auto write_section = [&out](const Section& s) {
        out += '[';
        out += s.name;
        out += "]\n";
        for (const auto& [key, value] : s.options) {
            out += key;
            out += " = ";
            out += continued_value(value);
            out += '\n';
        }
        out += '\n';
    };
    if (!defaults_.options.empty()) write_section(defaults_);
    for (const Section& s : sections_) write_section(s);
    return out;
}

void IniConfig::write(const std::filesystem::path& path) const { write_text_platform(path, to_string()); }

}  // namespace tarvik
