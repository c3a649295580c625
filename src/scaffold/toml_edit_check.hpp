// The check every edited TOML document passes before it is written: read by
// the host's strict reader, it holds exactly the original's data with the
// edited keys set to the given strings.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvik::scaffold {

// The strict reader's data of a document (see Host::strict_toml_data), or a
// ValueError-kind error with the reader's message.
nlohmann::json strict_toml_data(std::string_view text);

// The data `original` should have after the edit: the tables of `table_path`
// (created where missing) holding each of `values` as a string. ValueError when
// a key on the path is not a table.
nlohmann::json edited_data(nlohmann::json original, const std::vector<std::string>& table_path,
                           const std::vector<std::pair<std::string, std::string>>& values);

// True when the strict reader accepts `edited` and its data equal `expected`.
bool reads_as(std::string_view edited, const nlohmann::json& expected);

}  // namespace tarvik::scaffold
