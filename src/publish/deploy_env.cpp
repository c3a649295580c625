#include "publish/deploy_env.hpp"

#include <set>
#include <string_view>

#include "core/file_io.hpp"
#include "core/pytext.hpp"

namespace tarvik::deploy {

namespace {

size_t leading_space_length(std::string_view s) { return s.size() - py_lstrip(s).size(); }

bool is_key_start(char c) { return (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_key_char(char c) { return is_key_start(c) || (c >= '0' && c <= '9'); }

struct EnvEntry {
    std::string indent, key;
};

// Matches "<indent><KEY><blanks>:<anything>", KEY being [A-Z_][A-Z0-9_]*.
bool parse_entry(std::string_view line, EnvEntry& entry) {
    size_t i = leading_space_length(line);
    if (i >= line.size() || !is_key_start(line[i])) return false;
    size_t key_begin = i;
    while (i < line.size() && is_key_char(line[i])) ++i;
    size_t key_end = i;
    i += leading_space_length(line.substr(i));
    if (i >= line.size() || line[i] != ':') return false;
    entry.indent = std::string(line.substr(0, key_begin));
    entry.key = std::string(line.substr(key_begin, key_end - key_begin));
    return true;
}

std::string written_entry(const std::string& indent, const std::string& key, const std::string& value) {
    return indent + key + ": \"" + value + "\"";
}

std::vector<std::string_view> split_on_lf(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (;;) {
        size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) break;
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    lines.push_back(text.substr(start));
    return lines;
}

const std::string* value_of(const EnvVars& vars, const std::string& key) {
    for (const auto& [name, value] : vars)
        if (name == key) return &value;
    return nullptr;
}

std::string new_block(const EnvVars& vars) {
    std::string block = "env:\n";
    for (const auto& [name, value] : vars) block += written_entry("  ", name, value) + "\n";
    return block;
}

}  // namespace

std::string inject_env(const std::string& yaml_content, const EnvVars& env_vars) {
    const std::vector<std::string_view> lines = split_on_lf(yaml_content);
    std::vector<std::string> out;
    out.reserve(lines.size() + env_vars.size());
    bool found_env = false;

    size_t i = 0;
    while (i < lines.size()) {
        std::string_view line = lines[i];
        if (strip(line) != "env:") {
            out.emplace_back(line);
            ++i;
            continue;
        }
        out.emplace_back(line);
        ++i;
        std::set<std::string> seen;
        // The block runs over empty lines and lines that begin with whitespace.
        for (; i < lines.size(); ++i) {
            std::string_view entry = lines[i];
            if (!entry.empty() && py_space_length(entry, 0) == 0) break;
            EnvEntry parsed;
            const std::string* value = parse_entry(entry, parsed) ? value_of(env_vars, parsed.key) : nullptr;
            if (value) {
                out.push_back(written_entry(parsed.indent, parsed.key, *value));
                seen.insert(parsed.key);
            } else {
                out.emplace_back(entry);
            }
        }
        for (const auto& [name, value] : env_vars)
            if (!seen.count(name)) out.push_back(written_entry("  ", name, value));
        found_env = true;
    }

    if (found_env) {
        std::string joined;
        for (size_t k = 0; k < out.size(); ++k) {
            if (k) joined += '\n';
            joined += out[k];
        }
        return joined;
    }

    const std::string block = new_block(env_vars);
    if (yaml_content.rfind("name:", 0) == 0 && lines.size() > 1) {
        // After the name entry, including the indented lines that continue
        // its value ("name: |" and its text): a block put between them would
        // take those lines in.
        size_t after = 1;
        for (size_t k = 1; k < lines.size() && (lines[k].empty() || py_space_length(lines[k], 0) != 0); ++k)
            if (!strip(lines[k]).empty()) after = k + 1;
        size_t offset = 0;
        for (size_t k = 0; k < after; ++k) offset += lines[k].size() + 1;
        if (offset > yaml_content.size()) return yaml_content + "\n" + block;
        return yaml_content.substr(0, offset) + block + yaml_content.substr(offset);
    }
    return block + yaml_content;
}

}  // namespace tarvik::deploy
