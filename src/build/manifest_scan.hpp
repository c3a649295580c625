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
    std::string rel;  // "/"-separated path below the distribution root
};

// The files of dist_dir that a manifest lists, sorted by relative path: the
// tree walked top-down without following links to directories (links to
// files count as files), directories that cannot be listed skipped, files
// named skip_name (at any depth) and ignored paths left out. A name that is
// not valid UTF-8 cannot go into the manifest and fails with ValueError.
std::vector<DistFile> list_dist_files(const std::filesystem::path& dist_dir, const std::string& skip_name,
                                      const IgnoreMatcher& ignore);

struct FileDigest {
    std::uint64_t size = 0;
    bool block_level = false;           // size >= BLOCK_THRESHOLD
    std::string sha256;                 // whole file
    std::vector<std::string> blocks;    // per BLOCK_SIZE slice, block-level files only
};

// Digests of the files below dist_dir, in the same order. Each file is read once, in pieces
// of at most BLOCK_SIZE; small files are hashed on two threads, and for a
// large file one thread keeps the whole-file digest while the other hashes
// the blocks. The first failure (in file order) is rethrown after the work
// stops. poll runs on the calling thread now and then (Ctrl-C checks); an
// exception from it stops the work too.
std::vector<FileDigest> digest_files(const std::filesystem::path& dist_dir, const std::vector<DistFile>& files,
                                     const std::function<void()>& poll = {});

}  // namespace tarvik::build
