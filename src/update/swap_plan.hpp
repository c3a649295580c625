// The journaled swap of an update. Everything an update keeps lives in one
// folder inside the installation (".tarvik_update", never a manifest path):
// the staged tree, the lock, and during a swap the plan, the journal and the
// backup of the replaced files. The staged tree is on the installation's file
// system, so every move of the swap is a rename: at any moment each file is
// either in the installation, in the backup or in the staged tree, and the plan
// says which of those places it can be in. Rolling back is therefore possible
// from any point, by the update script itself or by the next start.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvik::update {

inline constexpr const char* kUpdateFolder = ".tarvik_update";
inline constexpr const char* kStagePrefix = "tarvik_update_";

struct UpdatePaths {
    explicit UpdatePaths(const std::string& app_dir);
    std::string app_dir, root, lock, swap, plan, journal, backup, confirmed, rejected;
};

// True for a manifest path inside the update's own folder: such a path is never
// fetched, written or deleted.
bool is_update_folder_path(const std::string& rel);

struct SwapStep {
    bool staged = false;  // true: a staged file moves in (the installed one to the backup);
                          // false: an installed file the new version no longer has moves out
    std::string dir;      // "/"-separated folder relative to the installation, "." for the top
    std::vector<std::string> names;
};

struct SwapPlan {
    std::string stage_dir;
    std::string new_version;  // the version the swap installs ("" when unknown)
    std::string remote_hash;  // SHA-256 of the remote manifest's text ("" when unknown)
    std::vector<SwapStep> steps;  // in the order the script runs them
};

// The plan for a staged tree: every regular file under stage_dir moves in, every
// to_delete path moves out. Deletions go first (a removed file may be where a
// new folder must go), then the ordinary files folder by folder, then the files
// named in `last` (those that carry the version), so an interrupted swap that
// nobody repairs still starts the old launcher. Unsafe paths are left out.
SwapPlan make_swap_plan(const std::string& stage_dir, const std::vector<std::string>& to_delete,
                        const std::vector<std::string>& last);

// The plan file (fsynced, as the journal's first part) and its reading back;
// nullopt when it is missing or incomplete.
void write_swap_plan(const UpdatePaths& paths, const SwapPlan& plan);
std::optional<SwapPlan> read_swap_plan(const UpdatePaths& paths);

// Words the script has appended to the journal ("swapping", "swapped", ...).
std::vector<std::string> read_journal(const UpdatePaths& paths);

// Puts every file back where it was before the swap; staged files return to
// the staged tree. Safe to repeat. Failures of single moves are collected and
// returned as text ("" when everything went back).
std::string roll_back(const UpdatePaths& paths, const SwapPlan& plan);

// Writes path's bytes to disk (fsync), and its folder's entry where the
// platform allows.
void sync_file(const std::string& path);

}  // namespace tarvik::update
