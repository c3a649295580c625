#include "update/manifest_json.hpp"

#include <utility>

#include "update/safe_paths.hpp"

namespace tarvik::update {

ManifestText read_manifest_text(std::string_view text, bool lazy_files) {
    ManifestText out;
    if (lazy_files) {
        JsonReading reading = read_json_skimming(text, "files");
        out.doc = std::move(reading.value);
        out.compact_length = reading.compact_length;
        if (reading.skimmed)
            for (std::string_view key : reading.skimmed->keys)
                if (!is_safe_relative_path(key)) {
                    out.unsafe_key = std::string(key);
                    break;
                }
        return out;
    }
    out.doc = parse_json(text);
    out.compact_length = compact_length(out.doc);
    if (out.doc.is_object()) {
        auto files = out.doc.find("files");
        if (files != out.doc.end() && files->is_object()) {
            for (const auto& item : files->items())
                if (!is_safe_relative_path(item.key())) {
                    out.unsafe_key = item.key();
                    break;
                }
        }
    }
    return out;
}

}  // namespace tarvik::update
