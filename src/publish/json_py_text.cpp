#include "publish/json_py_text.hpp"

#include "core/pytext.hpp"

namespace tarvik::publish {

namespace {

std::string py_repr_of(const Json& v) {
    if (v.is_string()) return py_repr(v.get_ref<const std::string&>());
    return py_str(v);
}

}  // namespace

std::string py_str(const Json& v) {
    switch (v.type()) {
        case Json::value_t::string: return v.get<std::string>();
        case Json::value_t::null: return "None";
        case Json::value_t::boolean: return v.get<bool>() ? "True" : "False";
        case Json::value_t::array: {
            std::string out = "[";
            for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + py_repr_of(v[i]);
            return out + "]";
        }
        case Json::value_t::object: {
            std::string out = "{";
            bool first = true;
            for (const auto& [k, item] : v.items()) {
                out += (first ? "" : ", ") + py_repr(k) + ": " + py_repr_of(item);
                first = false;
            }
            return out + "}";
        }
        case Json::value_t::number_float: return py_float_repr(v.get<double>());
        default:
            return v.dump();
    }
}

std::string py_str(const Json* value) { return value ? py_str(*value) : "None"; }

bool py_truthy(const Json& v) {
    switch (v.type()) {
        case Json::value_t::null: return false;
        case Json::value_t::boolean: return v.get<bool>();
        case Json::value_t::number_integer: return v.get<int64_t>() != 0;
        case Json::value_t::number_unsigned: return v.get<uint64_t>() != 0;
        case Json::value_t::number_float: return v.get<double>() != 0.0;
        case Json::value_t::string: return !v.get_ref<const std::string&>().empty();
        case Json::value_t::array:
        case Json::value_t::object: return !v.empty();
        default: return true;
    }
}

const Json* member(const Json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

}  // namespace tarvik::publish
