#include "core/json_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "core/file_io.hpp"
#include "core/pytext.hpp"

namespace tarvik {

namespace {

// A string as json.dumps(..., ensure_ascii=False) writes it; bytes that are
// not UTF-8 are written as U+FFFD.
void append_string(std::string& out, const std::string& s) {
    if (!is_valid_utf8(s)) {
        append_string(out, utf8_replace_invalid(s));
        return;
    }
    out += '"';
    size_t plain_from = 0;  // the characters since the last escape are appended at once
    for (size_t i = 0; i < s.size(); ++i) {
        const char ch = s[i];
        if (static_cast<unsigned char>(ch) >= 0x20 && ch != '"' && ch != '\\') continue;
        out.append(s, plain_from, i - plain_from);
        plain_from = i + 1;
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default: {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(ch));
                out += buf;
            }
        }
    }
    out.append(s, plain_from);
    out += '"';
}

void append_scalar(std::string& out, const Json& v) {
    char buf[32];
    switch (v.type()) {
        case Json::value_t::string: append_string(out, v.get_ref<const std::string&>()); return;
        case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return;
        case Json::value_t::number_integer:
            out.append(buf, std::to_chars(buf, buf + sizeof buf, v.get<int64_t>()).ptr);
            return;
        case Json::value_t::number_unsigned:
            out.append(buf, std::to_chars(buf, buf + sizeof buf, v.get<uint64_t>()).ptr);
            return;
        case Json::value_t::number_float: {
            const double d = v.get<double>();
            if (std::isnan(d)) out += "NaN";
            else if (std::isinf(d)) out += d > 0 ? "Infinity" : "-Infinity";
            else out += py_float_repr(d);
            return;
        }
        default: out += "null"; return;
    }
}

// json.dumps layout: with indent < 0 one line with ", " and ": ", else one
// item a line indented by `indent` spaces a level, "," at line ends.
void append_value(std::string& out, const Json& v, int indent, int level) {
    const bool is_object = v.is_object();
    if (!is_object && !v.is_array()) {
        append_scalar(out, v);
        return;
    }
    if (v.empty()) {
        out += is_object ? "{}" : "[]";
        return;
    }
    out += is_object ? '{' : '[';
    auto newline = [&](int lvl) {
        out += '\n';
        out.append(static_cast<size_t>(indent) * static_cast<size_t>(lvl), ' ');
    };
    bool first = true;
    auto separate = [&] {
        if (!first) out += indent < 0 ? ", " : ",";
        first = false;
        if (indent >= 0) newline(level + 1);
    };
    if (is_object) {
        for (const auto& [k, item] : v.items()) {
            separate();
            append_string(out, k);
            out += ": ";
            append_value(out, item, indent, level + 1);
        }
    } else {
        for (const auto& item : v) {
            separate();
            append_value(out, item, indent, level + 1);
        }
    }
    if (indent >= 0) newline(level);
    out += is_object ? '}' : ']';
}

}  // namespace

std::string json_text(const Json& value) {
    std::string out;
    append_value(out, value, 2, 0);
    return out;
}

void write_json_file(const std::filesystem::path& path, const Json& value) {
    write_text_platform(path, json_text(value));
}

std::string json_compact_py(const Json& value) {
    std::string out;
    append_value(out, value, -1, 0);
    return out;
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
