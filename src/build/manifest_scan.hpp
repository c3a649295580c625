// The two halves of manifest generation that touch the disk: listing the
// files of a distribution and hashing them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/ignore_rules.hpp"

namespace tarvik::build {

constexpr std::uint64_t BLOCK_SIZE = 1048576;       // one block of a block-level entry
constexpr std::uint64_t BLOCK_THRESHOLD = 8388608;  // files this large get block-level entries

struct DistFile {
    std::string rel;       // "/"-separated path below the distribution root
    bool regular = false;  // the listing saw a regular file (not a link)
};

struct FileDigest {
    std::uint64_t size = 0;
    bool block_level = false;           // size >= BLOCK_THRESHOLD
    std::string sha256;                 // whole file
    std::vector<std::string> blocks;    // per BLOCK_SIZE slice, block-level files only
};

struct ScannedFiles {
    std::vector<DistFile> files;  // sorted by relative path
    std::vector<FileDigest> digests;  // of the same files
    // Folders named "dbs", "logs" or "__pycache__" (the outermost, sorted)
    // whose files were left out: updates never write there.
    std::vector<std::string> left_out_folders;
};

// The files of dist_dir that a manifest lists, with their digests: the tree
// walked top-down without following links to directories (links to files
// count as files), directories that cannot be listed skipped, files named
// skip_name (at any depth) and ignored paths left out. A name that is not
// valid UTF-8 cannot go into the manifest and fails with ValueError. Signed
// statements ("manifest-*.json.sig") and files below a "dbs", "logs" or
// "__pycache__" folder (at any depth) are left out too: an update client
// refuses a release that lists them.
//
// Each file is read once. Small files are hashed on two threads while the
// walk goes on; then the large files, largest first, are shared between the
// two threads, each file read by one that keeps its whole-file digest and its
// block digests in the same pass. A listing failure comes first, else the first read failure in
// path order, rethrown after the work stops. poll runs on the calling thread
// now and then (Ctrl-C checks); an exception from it stops the work too.
ScannedFiles scan_distribution(const std::filesystem::path& dist_dir, const std::string& skip_name,
                               const IgnoreMatcher& ignore, const std::function<void()>& poll = {});

}  // namespace tarvik::build
