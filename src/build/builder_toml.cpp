#include "build/builder_toml.hpp"

#include <filesystem>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/toml_hazard.hpp"

namespace tarvik::build {

std::optional<toml::table> read_builder_toml() {
    namespace fs = std::filesystem;
    fs::path path = fs::current_path() / "builder.toml";
    std::error_code ec;
    if (!fs::exists(path, ec)) return std::nullopt;
    std::string text = read_text_utf8(path);
    // The interpreter's strict reader judges the text first, so that toml++
    // only ever parses valid TOML.
    std::string error;
    if (!host().strict_toml_data(text, error)) throw Error(ErrorKind::TOMLDecodeError, error);
    if (auto hazard = toml_parser_hazard(text)) throw Error(ErrorKind::TOMLDecodeError, *hazard);
    try {
        return toml::parse(text, path_text(path));
    } catch (const toml::parse_error& e) {
        const auto& at = e.source().begin;
        throw Error(ErrorKind::TOMLDecodeError, std::string(e.description()) + " (at line " +
                                                 std::to_string(at.line) + ", column " +
                                                 std::to_string(at.column) + ")");
    }
}

ExtraEntries extra_entries_of(const toml::table& doc) {
    ExtraEntries out;
    const toml::node* build = doc.get("build");
    if (!build) return out;
    const toml::table* table = build->as_table();
    if (!table) throw type_error("builder.toml: [build] must be a table");
    for (const char* key : kExtraKeys) {
        const toml::node* value = table->get(key);
        if (!value) continue;
        const toml::array* items = value->as_array();
        std::vector<std::string> entries;
        bool ok = items != nullptr;
        if (ok) {
            for (const toml::node& item : *items) {
                const auto* s = item.as_string();
                if (!s) { ok = false; break; }
                entries.push_back(s->get());
            }
        }
        if (!ok) throw type_error(std::string("builder.toml: build.") + key + " must be an array of strings");
        out[key] = std::move(entries);
    }
    return out;
}

}  // namespace tarvik::build
