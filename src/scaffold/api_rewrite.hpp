// Rewrites a copied API-app source so that it names the new app instead of the
// skeleton's placeholders (Example, example) and framework imports.
#pragma once

#include <string>

namespace tarvik::scaffold {

// The project package that every app lives in.
inline constexpr const char* PROJECT_PACKAGE = "ostervane";

// Every occurrence of `from`, left to right and not overlapping, replaced by `to`.
std::string replace_all(std::string text, const std::string& from, const std::string& to);

// The rewritten text of one skeleton source for app `app_name`; the flags say
// which of the skeleton's files it is (all false for models.py).
std::string rewrite_api_source(std::string text, const std::string& app_name, bool is_filter_file,
                               bool is_serializers_file, bool is_urls_file, bool is_views_file);

// Rewrites the file in place (UTF-8 text); a missing file is skipped.
void replace_example_in_file(const std::string& file_path, const std::string& app_name,
                             bool is_filter_file = false, bool is_serializers_file = false,
                             bool is_urls_file = false, bool is_views_file = false);

}  // namespace tarvik::scaffold
