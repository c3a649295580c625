#include "update/change_guard.hpp"

#include "core/release_statement.hpp"
#include "update/safe_paths.hpp"

namespace tarvik::update {

namespace {

// True when the new manifest keeps none of the files the installation lists.
bool keeps_no_shipped_file(const Json& remote_files, const Json& local_files) {
    for (const auto& member : local_files.get_ref<const Json::object_t&>())
        if (remote_files.contains(member.first)) return false;
    return true;
}

}  // namespace

std::optional<std::string> refusal_of_change(const std::string& app_dir, const std::string& manifest_name,
                                             const UpdateDiff& diff, const Json& remote_files,
                                             const Json* local_files, bool is_signed) {
    if (!is_signed && local_files && !diff.to_delete.empty() && keeps_no_shipped_file(remote_files, *local_files))
        return "the release would delete every shipped file and is not signed";
    for (const DownloadItem& item : diff.to_download)
        if (!stays_inside(app_dir, item.path, false))
            return "'" + item.path + "' would be written through a symbolic link out of the installation";
    for (const std::string& top : {manifest_name, statement_name(manifest_name)})
        if (!stays_inside(app_dir, top, false)) return "'" + top + "' is a symbolic link out of the installation";
    return std::nullopt;
}

}  // namespace tarvik::update
