// Recursive copy of a template tree into a destination folder.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace tarvik {

// Copies every entry of src_folder into dst_folder, which is created with its
// parents when missing. Directories (links to directories included) are copied
// recursively, except those named ".quasar" or ".vscode", which are skipped
// with everything under them at any depth. Files (links are followed) are
// copied with content, permission bits and times; existing destination files
// are overwritten and other destination entries stay. The first failure stops
// the copy and is raised; entries copied before it stay.
//
// A directory link that leads back to a directory being copied, and a source
// directory that is also a destination of this copy (a tree copied into
// itself), raise an OSError instead of recursing without end.
void copy_files(const std::filesystem::path& src_folder, const std::filesystem::path& dst_folder);

// The same copy with no directory names skipped.
void copy_tree(const std::filesystem::path& src_folder, const std::filesystem::path& dst_folder);

}  // namespace tarvik
