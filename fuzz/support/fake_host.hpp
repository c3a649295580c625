// A small host for the fuzz targets: no interpreter services except those the
// oracle module gives (text lower-casing, the strict TOML reader).
#pragma once

#include <string>
#include <string_view>

namespace tarvik::fuzz {

// Installs the fake host (once) and makes a scratch directory the working
// directory, for the readers that take their file from there.
void init_fake_host();

// Writes a file of the scratch directory.
void write_scratch_file(const std::string& name, std::string_view bytes);

}  // namespace tarvik::fuzz
