#include "channel_store.hpp"

#include <fstream>
#include <iterator>
#include <set>

#include <nlohmann/json.hpp>

#include "manifest_info.hpp"
#include "refusal.hpp"
#include "safe_names.hpp"

namespace devserver {

namespace {

std::optional<std::string> read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return s;
}

fs::path pending_manifest(const fs::path& key_dir) { return key_dir / "incoming" / "manifest.bytes"; }
fs::path pending_state(const fs::path& key_dir) { return key_dir / "incoming" / "pending.json"; }
fs::path pending_statement(const fs::path& key_dir) { return key_dir / "incoming" / "statement.bytes"; }

// The release counter inside a signed statement's text; 0 when there is none.
uint64_t statement_counter(const std::string& bytes) {
    auto doc = nlohmann::json::parse(bytes, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("statement") || !doc["statement"].is_string()) return 0;
    auto claims = nlohmann::json::parse(doc["statement"].get<std::string>(), nullptr, false);
    if (claims.is_discarded() || !claims.is_object() || !claims.contains("counter") ||
        !claims["counter"].is_number_unsigned())
        return 0;
    return claims["counter"].get<uint64_t>();
}

fs::path under(const fs::path& base, const std::string& rel) {
    fs::path p = base;
    for (const std::string& c : split_slash(rel)) p /= fs::u8path(c);
    return p;
}

// The folder and manifest of the upload in progress, from disk.
struct Pending {
    std::string manifest_name, manifest_bytes;
    ManifestInfo info;
    bool published = false;
    std::string statement_name, statement_bytes;  // empty when unsigned
};

std::optional<Pending> load_pending(const fs::path& key_dir) {
    auto state = read_all(pending_state(key_dir));
    auto bytes = read_all(pending_manifest(key_dir));
    if (!state || !bytes) return std::nullopt;
    auto doc = nlohmann::json::parse(*state, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("manifest_name")) return std::nullopt;
    Pending p{doc["manifest_name"].get<std::string>(), *bytes, read_manifest(*bytes), doc.value("published", false)};
    if (doc.contains("statement_name") && doc["statement_name"].is_string()) {
        auto statement = read_all(pending_statement(key_dir));
        if (statement) {
            p.statement_name = doc["statement_name"].get<std::string>();
            p.statement_bytes = *statement;
        }
    }
    return p;
}

// Refuses the batch before anything moves when a file would land on a
// directory, or a directory would have to be made where a file is.
void check_conflicts(const fs::path& folder, const StagedBatch& batch) {
    std::set<std::string> names, dirs;
    for (const StagedFile& f : batch.files) {
        names.insert(f.rel);
        for (size_t slash = f.rel.find('/'); slash != std::string::npos; slash = f.rel.find('/', slash + 1))
            dirs.insert(f.rel.substr(0, slash));
    }
    for (const std::string& d : dirs) {
        std::error_code ec;
        auto st = fs::symlink_status(under(folder, d), ec);
        if (names.count(d) || (fs::exists(st) && !fs::is_directory(st)))
            throw Refusal(409, "path conflict: " + d + " is a file and a folder");
    }
    for (const std::string& n : names) {
        std::error_code ec;
        auto st = fs::symlink_status(under(folder, n), ec);
        if (dirs.count(n) || fs::is_directory(st)) throw Refusal(409, "path conflict: " + n + " is a folder");
    }
}

bool holds_all(const fs::path& folder, const std::vector<std::string>& required) {
    for (const std::string& rel : required) {
        std::error_code ec;
        if (!fs::is_regular_file(under(folder, rel), ec)) return false;
    }
    return true;
}

}  // namespace

void write_file_atomic(const fs::path& target, const std::string& bytes, const fs::path& temp_dir) {
    fs::create_directories(target.parent_path());
    fs::path temp;
    if (temp_dir.empty()) {
        temp = target;
        temp += ".part";
    } else {
        fs::create_directories(temp_dir);
        temp = temp_dir / target.filename();
        temp += ".part";
    }
    struct RemoveUnlessRenamed {
        const fs::path& path;
        bool renamed = false;
        ~RemoveUnlessRenamed() {
            std::error_code ec;
            if (!renamed) fs::remove(path, ec);
        }
    } guard{temp};
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) throw Refusal(500, "cannot write " + temp.string());
    }
    fs::rename(temp, target);
    guard.renamed = true;
}

ChannelStore::ChannelStore(fs::path root) : root_(std::move(root)) {}

std::mutex& ChannelStore::upload_lock(const std::string& key) {
    std::lock_guard<std::mutex> guard(locks_mutex_);
    auto& slot = locks_[key];
    if (!slot) slot = std::make_unique<std::mutex>();
    return *slot;
}

std::optional<std::string> ChannelStore::published(const std::string& key) const {
    auto text = read_all(key_dir(key) / "published.json");
    if (!text) return std::nullopt;
    auto doc = nlohmann::json::parse(*text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
    nlohmann::json answer = {{"app_name", doc.value("app_name", "")}, {"version", doc.value("version", "")}};
    if (uint64_t counter = doc.value("counter", uint64_t(0))) answer["counter"] = counter;
    return answer.dump();
}

CommitResult ChannelStore::commit(const std::string& key, const StagedBatch& batch) {
    const fs::path kdir = key_dir(key);
    std::optional<Pending> pending;
    if (batch.manifest_name) {
        pending = Pending{*batch.manifest_name, batch.manifest_bytes, read_manifest(batch.manifest_bytes)};
        if (batch.statement_name) {
            if (*batch.statement_name != *batch.manifest_name + ".sig")
                throw Refusal(400, "the statement must be named after the manifest: " + *batch.manifest_name + ".sig");
            pending->statement_name = *batch.statement_name;
            pending->statement_bytes = batch.statement_bytes;
        }
    } else if (batch.statement_name) {
        throw Refusal(400, "a statement travels in the batch of its manifest");
    } else {
        if (batch.files.empty()) throw Refusal(400, "no files in the upload");
        pending = load_pending(kdir);
        if (!pending) throw Refusal(409, "no upload in progress for this channel: the first batch must carry the manifest");
    }
    const fs::path folder = update_root(key) / fs::u8path(pending->info.folder);
    check_conflicts(folder, batch);

    auto save_state = [&] {
        nlohmann::json state{{"manifest_name", pending->manifest_name}, {"published", pending->published}};
        if (!pending->statement_name.empty()) state["statement_name"] = pending->statement_name;
        write_file_atomic(pending_state(kdir), state.dump());
    };
    if (batch.manifest_name) {
        write_file_atomic(pending_manifest(kdir), pending->manifest_bytes);
        if (!pending->statement_name.empty()) write_file_atomic(pending_statement(kdir), pending->statement_bytes);
        save_state();
    }
    CommitResult result;
    for (const StagedFile& f : batch.files) {
        fs::path target = under(folder, f.rel);
        fs::create_directories(target.parent_path());
        fs::rename(f.temp, target);
        ++result.stored;
    }
    // Later batches of the same upload (files the manifest does not list, such
    // as build.json) still land in its folder after the manifest is served.
    if (!pending->published && holds_all(folder, pending->info.required)) {
        // The statement goes first: a client reads it before the manifest.
        const fs::path statement = update_root(key) / fs::u8path(pending->manifest_name + ".sig");
        if (!pending->statement_name.empty()) {
            write_file_atomic(statement, pending->statement_bytes, kdir / "incoming");
        } else {
            std::error_code ec;
            fs::remove(statement, ec);  // an unsigned release has no statement, not an old one
        }
        write_file_atomic(update_root(key) / fs::u8path(pending->manifest_name), pending->manifest_bytes,
                          kdir / "incoming");
        write_file_atomic(kdir / "published.json",
                          nlohmann::json{{"app_name", pending->info.app_name},
                                         {"version", pending->info.version},
                                         {"manifest", pending->manifest_name},
                                         {"counter", statement_counter(pending->statement_bytes)}}
                              .dump());
        pending->published = true;
        save_state();
    }
    result.published = pending->published;
    return result;
}

void ChannelStore::clean_staging(const std::string& key) const {
    std::error_code ec;
    fs::remove_all(staging_dir(key), ec);
    // Only succeed when empty: a refused first upload leaves nothing behind.
    fs::remove(key_dir(key) / "incoming", ec);
    fs::remove(key_dir(key), ec);
}

}  // namespace devserver
