// Deleting a file that must be there (os.remove): a missing file is an error.
#pragma once

#include <filesystem>

namespace tarvik::scaffold {

// Removes the file; FileNotFoundError when there is none, and the OS error
// (IsADirectoryError, PermissionError, ...) when it cannot be removed.
void remove_existing_file(const std::filesystem::path& path);

}  // namespace tarvik::scaffold
