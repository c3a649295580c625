#include "publish/upload_entries.hpp"

#include <system_error>
#include <utility>

#include "core/file_io.hpp"
#include "core/release_statement.hpp"

namespace tarvik::publish {

namespace {

namespace fs = std::filesystem;

void walk(const fs::path& dir, const std::string& prefix, std::vector<UploadEntry>& out) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return;
    std::vector<std::pair<std::string, fs::path>> files, subdirs;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return;
        const fs::directory_entry& entry = *it;
        std::string name = path_text(entry.path().filename());
        std::error_code kind_ec;
        if (entry.is_directory(kind_ec)) {  // follows links, as a walk's folder list does
            if (name == "media") continue;
            std::error_code link_ec;
            if (!entry.is_symlink(link_ec)) subdirs.emplace_back(name, entry.path());
        } else {
            files.emplace_back(name, entry.path());
        }
    }
    for (auto& [name, path] : files) {
        std::string rel = prefix + name;
        out.push_back({rel, rel, std::move(path)});
    }
    for (auto& [name, path] : subdirs) walk(path, prefix + name + "/", out);
}

}  // namespace

std::vector<UploadEntry> collect_upload_entries(const fs::path& manifest, const fs::path& output_folder) {
    std::vector<UploadEntry> entries;
    entries.push_back({"manifest", path_text(manifest.filename()), manifest});
    fs::path statement = manifest;
    statement += kStatementSuffix;
    std::error_code ec;
    if (fs::is_regular_file(statement, ec)) entries.push_back({"statement", path_text(statement.filename()), statement});
    walk(output_folder, "", entries);
    return entries;
}

}  // namespace tarvik::publish
