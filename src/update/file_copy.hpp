// Copying and staging files of an update.
#pragma once

#include <filesystem>
#include <string>

namespace tarvik::update {

// Copies the bytes of src into dst (created or truncated); no times or modes.
void copy_content(const std::filesystem::path& src, const std::filesystem::path& dst);

// A new directory "<system temp>/<prefix>XXXXXX", private to the current user.
std::filesystem::path make_temp_dir(const std::string& prefix);

}  // namespace tarvik::update
