#include "scaffold/toml_edit_check.hpp"

#include "core/errors.hpp"
#include "core/host.hpp"

namespace tarvik::scaffold {

nlohmann::json strict_toml_data(std::string_view text) {
    std::string error;
    std::optional<std::string> data = host().strict_toml_data(text, error);
    if (!data) throw Error(ErrorKind::TOMLDecodeError, error);
    return nlohmann::json::parse(*data);
}

nlohmann::json edited_data(nlohmann::json original, const std::vector<std::string>& table_path,
                           const std::vector<std::pair<std::string, std::string>>& values) {
    nlohmann::json* table = &original;
    std::string dotted;
    for (const std::string& key : table_path) {
        dotted += (dotted.empty() ? "" : ".") + key;
        nlohmann::json& child = (*table)[key];
        if (child.is_null()) child = nlohmann::json::object();
        if (!child.is_object()) throw value_error("pyproject.toml: " + dotted + " is not a table");
        table = &child;
    }
    for (const auto& [key, value] : values) (*table)[key] = "str:" + value;
    return original;
}

bool reads_as(std::string_view edited, const nlohmann::json& expected) {
    std::string error;
    std::optional<std::string> data = host().strict_toml_data(edited, error);
    return data && nlohmann::json::parse(*data) == expected;
}

}  // namespace tarvik::scaffold
