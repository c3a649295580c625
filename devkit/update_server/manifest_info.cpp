#include "manifest_info.hpp"

#include <nlohmann/json.hpp>

#include "refusal.hpp"
#include "safe_names.hpp"

namespace devserver {

namespace {

std::string display_label(const std::string& os) {
    if (os == "windows") return "Windows";
    if (os == "macos") return "macOS";
    if (os == "linux") return "Linux";
    throw Refusal(400, "manifest: \"os\" must be windows, macos or linux");
}

std::string required_text(const nlohmann::json& doc, const char* name) {
    auto it = doc.find(name);
    if (it == doc.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
        throw Refusal(400, std::string("manifest: \"") + name + "\" must be a non-empty string");
    return it->get<std::string>();
}

}  // namespace

ManifestInfo read_manifest(const std::string& bytes) {
    nlohmann::json doc = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded() || !doc.is_object()) throw Refusal(400, "manifest: not a JSON object");
    ManifestInfo info;
    info.app_name = required_text(doc, "app_name");
    info.version = required_text(doc, "version");
    info.folder = info.app_name + "-" + info.version + "-" + display_label(required_text(doc, "os"));
    if (!safe_component(info.folder)) throw Refusal(400, "manifest: app name or version unusable in a folder name");
    auto files = doc.find("files");
    if (files == doc.end() || !files->is_object()) throw Refusal(400, "manifest: \"files\" must be an object");
    for (const auto& [rel, entry] : files->items()) {
        auto parts = safe_relative_path(rel);
        if (!parts) throw Refusal(400, "manifest: unsafe path " + rel);
        bool in_media = false;
        for (size_t i = 0; i + 1 < parts->size(); ++i) in_media = in_media || (*parts)[i] == "media";
        if (!in_media) info.required.push_back(rel);
    }
    return info;
}

}  // namespace devserver
