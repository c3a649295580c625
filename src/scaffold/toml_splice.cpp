#include "scaffold/toml_splice.hpp"

#include <algorithm>
#include <optional>
#include <map>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "core/errors.hpp"
#include "core/toml_hazard.hpp"
#include "scaffold/toml_edit_check.hpp"

namespace tarvik::scaffold {

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The change cannot be made by editing the text where it stands.
struct CannotSplice {};

toml::table parse_toml(std::string_view text) {
    if (auto hazard = toml_parser_hazard(text)) throw value_error(*hazard);
    try {
        return toml::parse(text);
    } catch (const toml::parse_error& e) {
        const auto& at = e.source().begin;
        throw value_error(std::string(e.description()) + " (at line " + std::to_string(at.line) + ", column " +
                          std::to_string(at.column) + ")");
    }
}

bool is_bare_key(std::string_view key) {
    if (key.empty()) return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-';
    });
}

std::string key_text(std::string_view key) { return is_bare_key(key) ? std::string(key) : toml_quoted(key); }

std::string dotted(const std::vector<std::string>& keys, size_t from = 0) {
    std::string out;
    for (size_t i = from; i < keys.size(); ++i) {
        if (!out.empty()) out += '.';
        out += key_text(keys[i]);
    }
    return out;
}

// Byte offsets of toml++ source positions (1-based lines, columns counted in
// code points, end positions one past the last character).
class PositionMap {
public:
    explicit PositionMap(std::string_view text) : text_(text) {
        starts_.push_back(0);
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] == '\n') starts_.push_back(i + 1);
    }

    size_t offset(const toml::source_position& p) const {
        size_t line = std::clamp<size_t>(p.line, 1, starts_.size());
        size_t i = starts_[line - 1];
        for (size_t col = 1; col < p.column && i < text_.size() && text_[i] != '\n'; ++col) {
            ++i;
            while (i < text_.size() && (static_cast<unsigned char>(text_[i]) & 0xC0) == 0x80) ++i;
        }
        return i;
    }

    size_t line_end(size_t offset) const {
        size_t nl = text_.find('\n', offset);
        return nl == std::string_view::npos ? text_.size() : nl;
    }

    std::string_view indent_of_line(size_t line) const {
        size_t b = starts_[std::clamp<size_t>(line, 1, starts_.size()) - 1], e = b;
        while (e < text_.size() && (text_[e] == ' ' || text_[e] == '\t')) ++e;
        return text_.substr(b, e - b);
    }

    char at(const toml::source_position& p) const {
        size_t o = offset(p);
        return o < text_.size() ? text_[o] : '\0';
    }

    std::string_view text() const { return text_; }

private:
    std::string_view text_;
    std::vector<size_t> starts_;
};

struct Edit {
    size_t offset, erase;
    std::string insert;
};

class Splicer {
public:
    Splicer(std::string_view text, toml::table& doc) : text_(text), pos_(text), doc_(doc) {
        collect_headers(doc_);
        collect_value_lines(doc_);
        scan_header_lines();
    }

    std::string run(const std::vector<std::string>& path, const Entries& values) {
        toml::table* table = &doc_;
        for (size_t i = 0; i < path.size(); ++i) {
            toml::node* child = table->get(path[i]);
            if (!child) {
                add_missing_tables(*table, path, i, values);
                return apply();
            }
            if (!child->is_table())
                throw value_error("pyproject.toml: " + dotted({path.begin(), path.begin() + long(i) + 1}) +
                                  " is not a table");
            key_of_[child] = key_source(*table, path[i]);
            table = child->as_table();
        }
        set_in_table(*table, path, values);
        return apply();
    }

private:
    void collect_headers(const toml::node& n) {
        if (auto* t = n.as_table()) {
            if (t->is_inline()) return;
            if (pos_.at(t->source().begin) == '[') headers_.insert(t->source().begin.line);
            for (auto&& [k, v] : *t) collect_headers(v);
        } else if (auto* a = n.as_array()) {
            for (auto&& v : *a)
                if (v.is_table()) collect_headers(v);
        }
    }

    // Lines that continue a value begun on an earlier line (multi-line strings
    // and arrays): a "[" there does not start a header.
    void collect_value_lines(const toml::node& n) {
        if (auto* t = n.as_table(); t && !t->is_inline()) {
            for (auto&& [k, v] : *t) collect_value_lines(v);
            return;
        }
        if (auto* a = n.as_array()) {
            bool of_tables = !a->empty() && a->is_array_of_tables();
            if (of_tables) {
                for (auto&& v : *a) collect_value_lines(v);
                return;
            }
        }
        const auto& r = n.source();
        if (r.end.line > r.begin.line) value_spans_.emplace_back(r.begin.line, r.end.line);
    }

    bool inside_value(size_t line) const {
        for (auto [first, last] : value_spans_)
            if (line > first && line <= last) return true;
        return false;
    }

    // Every "[table]" header line, with the key path it names.
    void scan_header_lines() {
        size_t line = 1;
        for (size_t b = 0; b <= text_.size(); ++line) {
            size_t e = pos_.line_end(b);
            std::string_view l = text_.substr(b, e - b);
            size_t i = l.find_first_not_of(" \t");
            if (i != std::string_view::npos && l[i] == '[' && l.substr(i, 2) != "[[" && !inside_value(line)) {
                // The header line alone is a document holding just that table.
                try {
                    toml::table one = toml::parse(l);
                    std::vector<std::string> path;
                    const toml::table* t = &one;
                    while (t->size() == 1 && t->begin()->second.is_table()) {
                        path.emplace_back(t->begin()->first.str());
                        t = t->begin()->second.as_table();
                    }
                    headers_.insert(line);
                    header_paths_.emplace(line, std::move(path));
                } catch (const toml::parse_error&) {
                }
            }
            b = e + 1;
        }
    }

    std::optional<size_t> own_header_line(const std::vector<std::string>& path) const {
        for (const auto& [line, p] : header_paths_)
            if (p == path) return line;
        return std::nullopt;
    }

    static toml::source_region key_source(const toml::table& t, const std::string& name) {
        for (auto&& [k, v] : t)
            if (k.str() == name) return k.source();
        return {};
    }

    // First header line after `line` (one past the last line when none).
    size_t next_header(size_t line) const {
        auto it = headers_.upper_bound(line);
        return it == headers_.end() ? static_cast<size_t>(-1) : *it;
    }

    // The furthest end of a value below `n` that begins in lines [first, last).
    // With `children`, the values inside the inline table `n` itself.
    void last_value_end(const toml::node& n, size_t first, size_t last, std::optional<toml::source_position>& best,
                        bool children = false) {
        auto* t = n.as_table();
        if (t && (children || !t->is_inline())) {
            for (auto&& [k, v] : *t) last_value_end(v, first, last, best);
            return;
        }
        const auto& r = n.source();
        if (r.begin.line < first || r.begin.line >= last) return;
        if (!best || pos_.offset(r.end) > pos_.offset(*best)) best = r.end;
    }

    std::string lines_for(const Entries& entries, std::string_view indent, const std::string& prefix) {
        std::string out;
        for (const auto& [k, v] : entries) {
            out += '\n';
            out += indent;
            out += prefix + key_text(k) + " = " + toml_quoted(v);
        }
        return out;
    }

    static std::string inline_body(const std::vector<std::string>& path, size_t from, const Entries& entries) {
        std::string body;
        for (const auto& [k, v] : entries) {
            if (!body.empty()) body += ", ";
            body += key_text(k) + " = " + toml_quoted(v);
        }
        for (size_t i = path.size(); i-- > from;) body = key_text(path[i]) + " = {" + body + "}";
        return body;
    }

    // A new header block at the end of the document.
    void append_table(const std::vector<std::string>& path, const Entries& entries) {
        std::string block;
        std::string_view t = text_;
        if (!t.empty()) block = t.back() == '\n' ? "\n" : "\n\n";
        block += '[';
        block += dotted(path);
        block += ']';
        block += lines_for(entries, "", "");
        block += '\n';
        edits_.push_back({t.size(), 0, block});
    }

    void insert_into_inline(const toml::table& t, const std::string& body) {
        std::optional<toml::source_position> best;
        last_value_end(t, 0, static_cast<size_t>(-1), best, true);
        size_t close = pos_.offset(t.source().end) - 1;  // the closing brace
        if (best && pos_.offset(*best) <= close) edits_.push_back({pos_.offset(*best), 0, ", " + body});
        else edits_.push_back({close, 0, body});
    }

    void add_missing_tables(toml::table& parent, const std::vector<std::string>& path, size_t missing,
                            const Entries& values) {
        if (parent.is_inline()) insert_into_inline(parent, inline_body(path, missing, values));
        else append_table(path, values);
    }

    void set_in_table(toml::table& table, const std::vector<std::string>& path, const Entries& values) {
        Entries missing;
        for (const auto& [k, v] : values) {
            toml::node* n = table.get(k);
            if (!n) {
                missing.emplace_back(k, v);
                continue;
            }
            auto* sub = n->as_table();
            if (sub && !sub->is_inline()) throw CannotSplice{};
            const auto& r = n->source();
            size_t b = pos_.offset(r.begin), e = pos_.offset(r.end);
            edits_.push_back({b, e - b, toml_quoted(v)});
        }
        if (missing.empty()) return;

        if (table.is_inline()) {
            insert_into_inline(table, inline_body(path, path.size(), missing));
            return;
        }
        const toml::source_region& region = table.source();
        const toml::source_region& key = key_of_[&table];
        size_t start = region.begin.line;
        if (pos_.at(region.begin) == '[') {
            // Defined by a header: its own ("[tool.poetry]") or only implied by
            // a sub-table's header ("[tool.poetry.dependencies]").
            size_t after_key = pos_.offset(key.end);
            std::string_view rest = text_.substr(after_key, pos_.offset(region.end) - after_key);
            bool own = rest.find_first_not_of(" \t]") == std::string_view::npos;
            if (!own) {
                // Its own header, when it has one, follows a sub-table's.
                std::optional<size_t> header = own_header_line(path);
                if (!header) {
                    append_table(path, missing);
                    return;
                }
                start = *header;
            }
            std::optional<toml::source_position> last;
            last_value_end(table, start, next_header(start), last);
            size_t at = pos_.line_end(last ? pos_.offset(*last) : pos_.offset({static_cast<toml::source_index>(start), 1}));
            std::string_view indent = last ? pos_.indent_of_line(last->line) : std::string_view();
            edits_.push_back({at, 0, lines_for(missing, indent, "")});
            return;
        }
        // Defined by dotted keys ("poetry.name = ..." under [tool]): new keys
        // follow the last of them with the same dotted prefix.
        std::optional<toml::source_position> last;
        last_value_end(table, start, next_header(start), last);
        std::string_view indent = pos_.indent_of_line(start);
        size_t line_begin = pos_.offset({static_cast<toml::source_index>(start), 1});
        size_t prefix_begin = line_begin + indent.size();
        std::string prefix(text_.substr(prefix_begin, pos_.offset(key.end) - prefix_begin));
        size_t at = pos_.line_end(pos_.offset(last ? *last : region.end));
        edits_.push_back({at, 0, lines_for(missing, indent, prefix + ".")});
    }

    std::string apply() {
        std::sort(edits_.begin(), edits_.end(), [](const Edit& a, const Edit& b) { return a.offset > b.offset; });
        std::string out(text_);
        for (const Edit& e : edits_) out.replace(e.offset, e.erase, e.insert);
        return out;
    }

    std::string_view text_;
    PositionMap pos_;
    toml::table& doc_;
    std::set<size_t> headers_;
    std::map<size_t, std::vector<std::string>> header_paths_;
    std::vector<std::pair<size_t, size_t>> value_spans_;
    std::map<const toml::node*, toml::source_region> key_of_;
    std::vector<Edit> edits_;
};

// The parsed document with the values set through toml++.
toml::table with_values(toml::table doc, const std::vector<std::string>& path, const Entries& values) {
    toml::table* t = &doc;
    for (const auto& k : path) {
        toml::node* n = t->get(k);
        if (!n) n = &t->insert_or_assign(k, toml::table{}).first->second;
        if (!n->is_table()) throw value_error("pyproject.toml: " + k + " is not a table");
        t = n->as_table();
    }
    for (const auto& [k, v] : values) t->insert_or_assign(k, v);
    return doc;
}

}  // namespace

std::string toml_quoted(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

std::string set_toml_strings(std::string_view text, const std::vector<std::string>& table_path,
                             const Entries& values) {
    // The strict reader sees the text first: toml++ only ever parses a
    // document that is valid TOML.
    const nlohmann::json expected = edited_data(strict_toml_data(text), table_path, values);
    toml::table doc = parse_toml(text);
    // The edit of the text in place, when the layout allows it; else toml++'s
    // rendering of the edited document (comments and layout lost). Either is
    // written only when the strict reader gives back exactly the expected data.
    try {
        std::string spliced = Splicer(text, doc).run(table_path, values);
        if (reads_as(spliced, expected)) return spliced;
    } catch (const CannotSplice&) {
    }
    std::ostringstream out;
    out << toml::toml_formatter{with_values(std::move(doc), table_path, values)};
    std::string rendered = out.str();
    if (!rendered.empty() && rendered.back() != '\n') rendered += '\n';
    if (reads_as(rendered, expected)) return rendered;
    throw value_error("pyproject.toml: cannot set " + dotted(table_path) +
                      " in this template without changing other data");
}

}  // namespace tarvik::scaffold
