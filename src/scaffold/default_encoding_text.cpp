#include "scaffold/default_encoding_text.hpp"

#include <string>

#include "core/file_io.hpp"
#include "core/host.hpp"

namespace tarvik::scaffold {

void write_text_default_encoding(const std::filesystem::path& path, std::string_view lf_text) {
    std::string bytes = host().encode_default(to_platform_newlines(lf_text));
    write_file(path, bytes);
}

}  // namespace tarvik::scaffold
