// Storage of the update channels under the server root:
//
//   ROOT/<key>/media/update/<manifest name>        served manifest
//   ROOT/<key>/media/update/<manifest name>.sig    its signed statement, when the
//                                                   upload carried one (part "statement")
//   ROOT/<key>/media/update/<App>-<ver>-<Display>/  version folder
//   ROOT/<key>/published.json                       what /auth/<key>/ reports
//   ROOT/<key>/incoming/                            the latest upload: its manifest,
//                                                   state and the batch being received
//
// An upload arrives in batches; the first carries the manifest, which is kept
// in incoming/ until the version folder holds every file it lists. Only then is
// it copied to its served name and reported by /auth/<key>/, so a client never
// sees a manifest whose files are missing, and a publisher whose upload broke
// off does not find its version "already there" on the next run.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace devserver {

namespace fs = std::filesystem;

struct StagedFile {
    std::string rel;   // "/"-separated, already checked
    fs::path temp;     // where its bytes were written
};

struct StagedBatch {
    std::optional<std::string> manifest_name;  // set when the batch carries the manifest
    std::string manifest_bytes;
    std::optional<std::string> statement_name;  // the manifest's signed statement, when sent
    std::string statement_bytes;
    std::vector<StagedFile> files;
};

struct CommitResult {
    size_t stored = 0;
    bool published = false;
};

class ChannelStore {
public:
    explicit ChannelStore(fs::path root);

    fs::path key_dir(const std::string& key) const { return root_ / key; }
    fs::path update_root(const std::string& key) const { return root_ / key / "media" / "update"; }
    fs::path staging_dir(const std::string& key) const { return root_ / key / "incoming" / "batch"; }

    // Uploads to one channel are handled one at a time.
    std::mutex& upload_lock(const std::string& key);

    // {"app_name": ..., "version": ...} of the last complete upload, and
    // "counter", its signed statement's release counter, when it was signed.
    std::optional<std::string> published(const std::string& key) const;

    // Moves the staged files into the version folder (all or none when a
    // conflict is found first) and publishes the manifest once complete.
    // Throws Refusal for batches that cannot be stored.
    CommitResult commit(const std::string& key, const StagedBatch& batch);

    // Removes the key's staging folder, and the key's folders when empty.
    void clean_staging(const std::string& key) const;

private:
    fs::path root_;
    std::mutex locks_mutex_;
    std::map<std::string, std::unique_ptr<std::mutex>> locks_;
};

// Writes bytes to a temporary file in `temp_dir` (beside `target` when empty;
// it must be on the same file system) and renames it into place. A failure
// removes the temporary file. Files served to clients pass a temp_dir outside
// the served tree, so that no partial copy can ever be fetched.
void write_file_atomic(const fs::path& target, const std::string& bytes, const fs::path& temp_dir = {});

}  // namespace devserver
