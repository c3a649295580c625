// The pyproject.toml edit: what it writes must read (with tomllib) as the
// template's data with tool.poetry's name and version set. Input: the name,
// a NUL byte, the template (or only the template, name "tarvik").
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "core/pytext.hpp"
#include "scaffold/toml_splice.hpp"
#include "support/fake_host.hpp"
#include "support/py_oracle.hpp"

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_fake_host();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(text)) return 0;
    std::string name = "tarvik";
    std::string_view tmpl = text;
    if (size_t nul = text.find('\0'); nul != text.npos) {
        name = std::string(text.substr(0, nul));
        tmpl = text.substr(nul + 1);
    }
    std::string cpp;
    try {
        cpp = "ok:" + scaffold::set_toml_strings(tmpl, {"tool", "poetry"}, {{"name", name}, {"version", "0.0.1"}});
    } catch (const std::exception& e) {
        cpp = std::string("error:") + e.what();
    }
    fuzz::require_agreement("toml_edit", fuzz::oracle("toml_edit", text, cpp));
    return 0;
}
