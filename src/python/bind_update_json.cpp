#include "python/bind_update_json.hpp"

#include <cstdint>

namespace tarvik::py {

nb::object json_to_py(const Json& v) {
    switch (v.type()) {
        case Json::value_t::object: {
            nb::dict d;
            for (const auto& [k, item] : v.items()) d[nb::str(k.data(), k.size())] = json_to_py(item);
            return d;
        }
        case Json::value_t::array: {
            nb::list l;
            for (const auto& item : v) l.append(json_to_py(item));
            return l;
        }
        case Json::value_t::string: {
            const auto& s = v.get_ref<const std::string&>();
            return nb::str(s.data(), s.size());
        }
        case Json::value_t::boolean: return nb::bool_(v.get<bool>());
        case Json::value_t::number_integer: return nb::int_(v.get<int64_t>());
        case Json::value_t::number_unsigned: return nb::steal(PyLong_FromUnsignedLongLong(v.get<uint64_t>()));
        case Json::value_t::number_float: return nb::float_(v.get<double>());
        default: return nb::none();
    }
}

Json py_to_json(nb::handle v, int depth) {
    if (v.is_none()) return nullptr;
    if (nb::isinstance<nb::bool_>(v)) return nb::cast<bool>(v);
    if (nb::isinstance<nb::int_>(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (overflow == 0 && !(n == -1 && PyErr_Occurred())) return n;
        PyErr_Clear();
        double d = PyLong_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
        return d;
    }
    if (nb::isinstance<nb::float_>(v)) return nb::cast<double>(v);
    if (nb::isinstance<nb::str>(v)) return nb::cast<std::string>(v);
    if (nb::isinstance<nb::dict>(v)) {
        Json o = Json::object();
        if (depth == 0) return o;
        for (auto [k, item] : nb::borrow<nb::dict>(v))
            o[nb::cast<std::string>(nb::str(k))] = py_to_json(item, depth - 1);
        return o;
    }
    if (nb::isinstance<nb::list>(v) || nb::isinstance<nb::tuple>(v)) {
        Json a = Json::array();
        if (depth == 0) return a;
        for (nb::handle item : v) a.push_back(py_to_json(item, depth - 1));
        return a;
    }
    return nullptr;
}

}  // namespace tarvik::py
