// Writing text the way Python's open(path, "w") does with no encoding given:
// the platform's default encoding and the platform's line ends.
#pragma once

#include <filesystem>
#include <string_view>

namespace tarvik::scaffold {

// Replaces the file with the UTF-8, LF-ended text re-encoded in the platform's
// default encoding. Text that the encoding cannot hold fails (UnicodeEncodeError)
// before the file is touched.
void write_text_default_encoding(const std::filesystem::path& path, std::string_view lf_text);

}  // namespace tarvik::scaffold
