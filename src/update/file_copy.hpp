// Copying the installed copy of a file that an update patches.
#pragma once

#include <filesystem>
#include <string>

namespace tarvik::update {

// Copies the bytes of src into dst (created or truncated); no times or modes.
void copy_content(const std::filesystem::path& src, const std::filesystem::path& dst);

}  // namespace tarvik::update
