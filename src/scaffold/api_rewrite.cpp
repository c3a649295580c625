#include "scaffold/api_rewrite.hpp"

#include <filesystem>

#include "core/file_io.hpp"
#include "scaffold/text_case.hpp"

namespace tarvik::scaffold {

namespace fs = std::filesystem;

namespace {

// Python's text-mode reading: "\r\n" and a lone "\r" end a line as "\n".
std::string universal_newlines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    std::string out;
    size_t start = 0;
    for (size_t hit; (hit = text.find(from, start)) != std::string::npos; start = hit + from.size()) {
        out.append(text, start, hit - start);
        out += to;
    }
    out.append(text, start, std::string::npos);
    return out;
}

std::string rewrite_api_source(std::string text, const std::string& app_name, bool is_filter_file,
                               bool is_serializers_file, bool is_urls_file, bool is_views_file) {
    const std::string app_module = std::string("from ") + PROJECT_PACKAGE + "." + app_name;
    if (is_filter_file) text = replace_all(text, "from tarvik.server.core import models", app_module + " import models");
    if (is_serializers_file)
        text = replace_all(text, "from tarvik.server.core import models", app_module + " import models");
    if (is_urls_file) text = replace_all(text, "from tarvik.server.function import example", app_module + " import views");
    if (is_views_file)
        text = replace_all(text, "from tarvik.server.core import models, serializers, filter",
                           app_module + " import models, serializers, filter");
    const std::string lower = lower_case(app_name);
    text = replace_all(text, "Example", capitalised(app_name));
    text = replace_all(text, "example", lower);
    if (is_urls_file) {
        text = replace_all(text, ", " + app_name, ", views");
        text = replace_all(text, ", " + lower, ", views");
    }
    return text;
}

void replace_example_in_file(const std::string& file_path, const std::string& app_name, bool is_filter_file,
                             bool is_serializers_file, bool is_urls_file, bool is_views_file) {
    fs::path file = path_from_utf8(file_path);
    std::error_code ec;
    if (!fs::exists(file, ec)) return;  // like os.path.exists: unreachable counts as missing
    std::string text = universal_newlines(read_text_utf8(file));
    text = rewrite_api_source(std::move(text), app_name, is_filter_file, is_serializers_file, is_urls_file,
                              is_views_file);
    write_text_platform(file, text);
}

}  // namespace tarvik::scaffold
