// builder.toml: the reader and the [build] list keys against tomllib.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "build/builder_toml.hpp"
#include "core/errors.hpp"
#include "core/pytext.hpp"
#include "support/fake_host.hpp"
#include "support/py_oracle.hpp"

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_fake_host();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzz::write_scratch_file("builder.toml", text);
    std::string cpp;
    try {
        std::optional<toml::table> doc = build::read_builder_toml();
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [key, entries] : build::extra_entries_of(*doc)) out[key] = entries;
        cpp = out.dump();
    } catch (const Error& e) {
        cpp = "error:" + e.kind_name();
    } catch (const std::exception& e) {
        cpp = std::string("error:unexpected ") + e.what();
    }
    if (is_valid_utf8(text)) fuzz::require_agreement("builder_toml", fuzz::oracle("builder_toml", text, cpp));
    return 0;
}
