#include "core/json_text.hpp"

#include "core/errors.hpp"
#include "core/file_io.hpp"

namespace tarvik {

std::string json_text(const Json& value) {
    return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

void write_json_file(const std::filesystem::path& path, const Json& value) {
    write_text_platform(path, json_text(value));
}

std::string json_compact_py(const Json& v) {
    switch (v.type()) {
        case Json::value_t::object: {
            std::string out = "{";
            bool first = true;
            for (const auto& [k, item] : v.items()) {
                if (!first) out += ", ";
                first = false;
                out += Json(k).dump(-1, ' ', false, Json::error_handler_t::replace);
                out += ": ";
                out += json_compact_py(item);
            }
            return out + "}";
        }
        case Json::value_t::array: {
            std::string out = "[";
            bool first = true;
            for (const auto& item : v) {
                if (!first) out += ", ";
                first = false;
                out += json_compact_py(item);
            }
            return out + "]";
        }
        default:
            return v.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
}

Json parse_json(const std::string& text) {
    try {
        return Json::parse(text);
    } catch (const Json::parse_error& e) {
        throw Error(ErrorKind::JSONDecodeError, e.what());
    }
}

Json read_json_file(const std::filesystem::path& path) {
    std::string text = read_text_utf8(path);
    return parse_json(text);
}

const char* py_type_word(const Json& v) {
    switch (v.type()) {
        case Json::value_t::object: return "dict";
        case Json::value_t::array: return "list";
        case Json::value_t::string: return "str";
        case Json::value_t::boolean: return "bool";
        case Json::value_t::null: return "NoneType";
        case Json::value_t::number_float: return "float";
        default: return "int";
    }
}

}  // namespace tarvik
