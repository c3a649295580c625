// The manifest JSON reader against json.loads.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "core/json_text.hpp"
#include "core/pytext.hpp"
#include "support/fake_host.hpp"
#include "support/py_oracle.hpp"
#include "update/manifest_json.hpp"

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_fake_host();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string cpp;
    try {
        cpp = json_compact_py(update::parse_manifest_json(text));
    } catch (const std::exception&) {
        cpp = "error";
    }
    if (update::is_json(text) != (cpp != "error")) fuzz::require_agreement("manifest_json", "is_json disagrees with the parse");
    // The skimming reading (files measured, not built) against the full one.
    std::optional<update::ManifestText> reading[2];
    for (bool lazy : {false, true}) {
        try {
            reading[lazy] = update::read_manifest_text(text, lazy);
        } catch (const std::exception&) {
        }
    }
    if (reading[0].has_value() != reading[1].has_value())
        fuzz::require_agreement("manifest_json", "the skimming reading accepts what the full one does not, or back");
    if (reading[0] && (reading[0]->compact_length != reading[1]->compact_length ||
                       reading[0]->unsafe_key != reading[1]->unsafe_key))
        fuzz::require_agreement("manifest_json", "the skimming reading measures or checks the files otherwise");
    if (is_valid_utf8(text)) fuzz::require_agreement("manifest_json", fuzz::oracle("manifest_json", text, cpp));
    return 0;
}
