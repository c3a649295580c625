#include "build/manifest_scan.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <cerrno>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/posix_fd.hpp"
#include "core/pytext.hpp"
#include "core/release_names.hpp"
#include "core/sha256.hpp"

namespace tarvik::build {

namespace fs = std::filesystem;

namespace {

// Files as the walk finds them, handed over in batches to the threads that
// hash them while the walk goes on.
struct Batch {
    std::vector<DistFile> files;
    std::vector<FileDigest> digests;
};

constexpr size_t kLargeRead = 1 << 20;  // one read of a large file

class Listing {
public:
    static constexpr size_t kBatch = 32;

    explicit Listing(const std::function<void()>& poll) : poll_(poll) {}

    void add(DistFile&& file) {
        if (!open_) open_ = std::make_unique<Batch>();
        open_->files.push_back(std::move(file));
        if (open_->files.size() == kBatch) hand_over();
    }

    // No more files: the last batch goes and waiting threads are released.
    void close() {
        if (open_) hand_over();
        std::lock_guard lk(m_);
        closed_ = true;
        cv_.notify_all();
    }

    // The next batch to hash; nullptr once the listing is closed and taken.
    Batch* take() {
        std::unique_lock lk(m_);
        cv_.wait(lk, [&] { return next_ < batches_.size() || closed_; });
        return next_ < batches_.size() ? batches_[next_++].get() : nullptr;
    }

    // Every batch, once all threads are done with them.
    std::vector<std::unique_ptr<Batch>>& batches() { return batches_; }

private:
    void hand_over() {
        open_->digests.resize(open_->files.size());
        {
            std::lock_guard lk(m_);
            batches_.push_back(std::move(open_));
        }
        cv_.notify_one();
        if (poll_ && ++handed_ % 8 == 0) poll_();
    }

    const std::function<void()>& poll_;
    std::unique_ptr<Batch> open_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<Batch>> batches_;
    size_t next_ = 0, handed_ = 0;
    bool closed_ = false;
};

// What the walk leaves out besides directories: files named like the
// manifest, signed statements, ignored paths, and files below a folder that
// updates never write into (the client would refuse the whole release).
struct WalkRules {
    const std::string& skip_name;
    const IgnoreMatcher& ignore;
    std::vector<std::string>& left_out;  // such folders holding files that would otherwise be listed
};

// True when the file name at rel goes into the listing. protected_folder is
// the protected folder it lies below, or empty.
bool listed(WalkRules& rules, std::string_view name, const std::string& rel, const std::string& protected_folder) {
    if (name == rules.skip_name || is_statement_file_name(name) || rules.ignore.ignored(rel)) return false;
    if (protected_folder.empty()) return true;
    if (rules.left_out.empty() || rules.left_out.back() != protected_folder) rules.left_out.push_back(protected_folder);
    return false;
}

// The protected folder a subfolder lies below, or empty.
std::string protected_below(const std::string& protected_folder, const std::string& prefix, const std::string& name) {
    if (!protected_folder.empty()) return protected_folder;
    return is_protected_folder_name(name) ? prefix + name : std::string();
}

#ifndef _WIN32
// One directory at a time (its handle closed before the walk goes down, so
// that a deep tree does not run out of descriptors), names and types from
// readdir: no path object and no stat per file.
void walk(WalkRules& rules, const std::string& dir, const std::string& prefix, const std::string& protected_folder,
          const fs::path& root, Listing& out) {
    std::vector<std::string> subdirs;
    {
        // The distribution folder itself may be reached through a link; a
        // folder below it that turned into a link since it was listed is not.
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (prefix.empty() ? 0 : O_NOFOLLOW));
        if (fd < 0) return;
        UniqueDir d(::fdopendir(fd));
        if (!d) {
            ::close(fd);
            return;
        }
        while (const dirent* entry = ::readdir(d.get())) {
            const char* n = entry->d_name;
            if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
            unsigned char type = entry->d_type;
            struct stat st;
            if (type == DT_UNKNOWN && ::fstatat(::dirfd(d.get()), n, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISLNK(st.st_mode) ? DT_LNK
                       : S_ISREG(st.st_mode) ? DT_REG
                                             : DT_FIFO;  // some other kind: checked when opened
            if (type == DT_DIR) {
                subdirs.emplace_back(n);
                continue;
            }
            // Links to directories are neither listed nor followed.
            if (type == DT_LNK && ::fstatat(::dirfd(d.get()), n, &st, 0) == 0 && S_ISDIR(st.st_mode)) continue;
            std::string rel = prefix + n;
            if (!listed(rules, n, rel, protected_folder)) continue;
            if (!is_valid_utf8(rel))
                throw value_error("file name is not valid UTF-8, it cannot be listed in the manifest: " +
                                  py_repr(utf8_replace_invalid(path_text(root / fs::path(rel)))));
            out.add({std::move(rel), type == DT_REG});
        }
    }
    for (const std::string& name : subdirs)
        walk(rules, dir + "/" + name, prefix + name + "/", protected_below(protected_folder, prefix, name), root, out);
}
#else
void walk(WalkRules& rules, const fs::path& dir, const std::string& prefix, const std::string& protected_folder,
          Listing& out) {
    std::error_code ec;
    std::vector<std::pair<fs::path, std::string>> subdirs;  // path, name
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::string name = path_text(entry.path().filename());
        std::error_code type_ec;
        if (entry.is_directory(type_ec)) {
            // Links to directories are neither listed nor followed.
            std::error_code link_ec;
            if (!entry.is_symlink(link_ec)) subdirs.emplace_back(entry.path(), name);
            continue;
        }
        std::string rel = prefix + name;
        if (!listed(rules, name, rel, protected_folder)) continue;
        if (!is_valid_utf8(rel))
            throw value_error("file name is not valid UTF-8, it cannot be listed in the manifest: " +
                              py_repr(utf8_replace_invalid(path_text(entry.path()))));
        out.add({std::move(rel)});
    }
    for (const auto& [path, name] : subdirs)
        walk(rules, path, prefix + name + "/", protected_below(protected_folder, prefix, name), out);
}
#endif

fs::path full_path(const fs::path& root, const std::string& rel) { return root / path_from_utf8(rel); }

UniqueFile open_for_scan(const fs::path& path) {
    UniqueFile f = open_file(path, "rb");
    std::setvbuf(f.get(), nullptr, _IONBF, 0);  // reads go straight into our buffers
#if defined(__linux__)
    ::posix_fadvise(fileno(f.get()), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return f;
}

// Size of a file and, below the threshold, its digest. On POSIX the file is
// opened relative to its folder (kept open for the files after it), with
// one fstat; the open does not wait on a FIFO, and anything but a regular
// file is refused instead of being read forever.
#ifndef _WIN32
class FolderCache {
public:
    ~FolderCache() { close(); }
    // The descriptor of root/folder, or -1 when it cannot be opened (the
    // file is then opened by its whole path, which reports the failure).
    int at(const std::string& root, std::string_view folder) {
        if (fd_ < -1 || folder != folder_) {
            close();
            folder_.assign(folder);
            const std::string path = folder.empty() ? root : root + "/" + folder_;
            fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        return fd_;
    }

private:
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -2;
    }
    std::string folder_;
    int fd_ = -2;  // -2: none yet
};

void size_and_small_digest(const fs::path& root, const DistFile& file, FolderCache& folders, FileDigest& d,
                           Sha256& h, std::vector<char>& buf) {
    const std::string& rel = file.rel;
    const size_t slash = rel.rfind('/');
    const int dir = folders.at(root.native(), slash == std::string::npos ? std::string_view()
                                                                          : std::string_view(rel).substr(0, slash));
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    Fd f(dir >= 0 ? ::openat(dir, rel.c_str() + (slash == std::string::npos ? 0 : slash + 1), flags)
                  : ::open(full_path(root, rel).c_str(), flags));
    const auto where = [&] { return path_text(full_path(root, rel)); };
    if (f.fd < 0) throw os_error_from_errno(where());
    // The size comes from the reads; fstat only for what the listing did not
    // see as a regular file, and for a file that fills the first read (it
    // may be a large one, read later in blocks).
    bool checked = false;
    auto large = [&] {
        checked = true;
        struct stat st;
        if (::fstat(f.fd, &st) != 0) throw os_error_from_errno(where());
        if (!S_ISREG(st.st_mode)) throw OsError(ENOTSUP, "not a regular file", where());
        d.size = static_cast<std::uint64_t>(st.st_size);
        d.block_level = d.size >= BLOCK_THRESHOLD;
        return d.block_level;
    };
    if (!file.regular && large()) return;
    std::uint64_t size = 0;
    for (;;) {
        ssize_t n = ::read(f.fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw os_error_from_errno(where());
        }
        if (n == 0) break;
        if (!checked && static_cast<size_t>(n) == buf.size() && large()) {
            h.hex_digest();  // drops what was fed
            return;
        }
        size += static_cast<std::uint64_t>(n);
        h.update(buf.data(), static_cast<size_t>(n));
    }
    d.size = size;
    d.sha256 = h.hex_digest();
}
#else
struct FolderCache {};

void size_and_small_digest(const fs::path& root, const DistFile& file, FolderCache&, FileDigest& d, Sha256& h,
                           std::vector<char>& buf) {
    const fs::path path = full_path(root, file.rel);
    if (!fs::is_regular_file(path)) throw OsError(EINVAL, "not a regular file", path_text(path));
    d.size = fs::file_size(path);
    if (d.size >= BLOCK_THRESHOLD) {
        d.block_level = true;
        return;
    }
    UniqueFile f = open_for_scan(path);
    for (;;) {
        size_t n = read_some(f.get(), buf.data(), buf.size(), path);
        if (n == 0) break;
        h.update(buf.data(), n);
    }
    d.sha256 = h.hex_digest();
}
#endif

// The pieces of a file read in turn by the thread that hashes them.
class DirectRead {
public:
    explicit DirectRead(const fs::path& path) : file_(open_for_scan(path)), path_(path), buf_(kLargeRead) {}
    // The next piece; 0 at the end of the file.
    size_t next(const char*& data) {
        data = buf_.data();
        return read_some(file_.get(), buf_.data(), buf_.size(), path_);
    }

private:
    UniqueFile file_;
    const fs::path& path_;
    std::vector<char> buf_;
};

// The pieces of a file read on a thread of its own into a small ring, ahead
// of the thread that hashes them: for a large file that has the cores to
// itself, reading then overlaps hashing.
class ReadAhead {
public:
    explicit ReadAhead(const fs::path& path) : file_(open_for_scan(path)), path_(path) {
        for (Slot& s : slots_) s.data.resize(kLargeRead);
        reader_ = std::thread([this] { read_all(); });
    }
    ~ReadAhead() {
        {
            std::lock_guard lk(m_);
            closing_ = true;
        }
        cv_.notify_all();
        reader_.join();
    }
    // The next piece (the one before it is given back); 0 at the end of the
    // file. A read failure is thrown here.
    size_t next(const char*& data) {
        std::unique_lock lk(m_);
        if (taken_) {
            slots_[consumed_++ % kSlots].full = false;
            taken_ = false;
            cv_.notify_all();
        }
        Slot& s = slots_[consumed_ % kSlots];
        cv_.wait(lk, [&] { return s.full || ended_; });
        if (!s.full) {
            if (error_) std::rethrow_exception(error_);
            return 0;
        }
        taken_ = true;
        data = s.data.data();
        return s.len;
    }

private:
    static constexpr size_t kSlots = 4;
    struct Slot {
        std::vector<char> data;
        size_t len = 0;
        bool full = false;
    };

    void read_all() {
        for (size_t produced = 0;; ++produced) {
            Slot& s = slots_[produced % kSlots];
            {
                std::unique_lock lk(m_);
                cv_.wait(lk, [&] { return !s.full || closing_; });
                if (closing_) break;
            }
            size_t n = 0;
            try {
                n = read_some(file_.get(), s.data.data(), s.data.size(), path_);
            } catch (...) {
                std::lock_guard lk(m_);
                error_ = std::current_exception();
            }
            std::lock_guard lk(m_);
            if (n == 0) break;
            s.len = n;
            s.full = true;
            cv_.notify_all();
        }
        std::lock_guard lk(m_);
        ended_ = true;
        cv_.notify_all();
    }

    UniqueFile file_;
    const fs::path& path_;
    Slot slots_[kSlots];
    std::mutex m_;
    std::condition_variable cv_;
    size_t consumed_ = 0;
    bool taken_ = false, closing_ = false, ended_ = false;
    std::exception_ptr error_;
    std::thread reader_;
};

// One large file read once, front to back: its whole-file digest and its
// block digests kept in the same pass (core/sha256.hpp). keep_going runs
// after every piece; false leaves the file unfinished.
template <class Pieces>
void digest_large(const fs::path& path, FileDigest& d, const std::function<bool()>& keep_going) {
    Pieces pieces(path);
    Sha256WithPieces h(BLOCK_SIZE);
    std::uint64_t size = 0;
    const char* data = nullptr;
    while (const size_t n = pieces.next(data)) {
        h.update(data, n);
        size += n;
        if (!keep_going()) return;
    }
    // The entry describes the bytes hashed, should the file have changed
    // since it was listed.
    d.size = size;
    d.blocks.clear();
    d.sha256 = h.finish(d.blocks);
}

// The failure of the first file (in path order) among those seen.
class FirstFailure {
public:
    void record(const std::string& rel, std::exception_ptr e) {
        std::lock_guard lk(m_);
        if (!error_ || rel < rel_) {
            rel_ = rel;
            error_ = std::move(e);
        }
    }
    void rethrow_if_any() {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::mutex m_;
    std::string rel_;
    std::exception_ptr error_;
};

}  // namespace

ScannedFiles scan_distribution(const fs::path& dist_dir, const std::string& skip_name, const IgnoreMatcher& ignore,
                               const std::function<void()>& poll) {
    Listing listing(poll);
    std::atomic<bool> stop{false};
    FirstFailure failure;
    std::exception_ptr first_error;  // of the walk, or Ctrl-C
    std::vector<std::string> left_out;
    // poll on the calling thread: an exception from it stops the work and is kept.
    auto poll_caller = [&] {
        try {
            poll();
        } catch (...) {
            first_error = std::current_exception();
            stop = true;
        }
    };

    // Sizes for every file, and digests for the small ones, while the walk
    // lists them: a helper thread from the first batch, the calling thread
    // too once the walk is done.
    auto work = [&](bool on_caller) {
        Sha256 h;
        std::vector<char> buf(256 * 1024);
        FolderCache folders;
        size_t count = 0;
        while (Batch* batch = listing.take()) {
            for (size_t i = 0; i < batch->files.size() && !stop.load(std::memory_order_relaxed); ++i) {
                try {
                    size_and_small_digest(dist_dir, batch->files[i], folders, batch->digests[i], h, buf);
                } catch (...) {
                    failure.record(batch->files[i].rel, std::current_exception());
                    stop = true;
                }
            }
            if (on_caller && poll && ++count % 8 == 0) poll_caller();
        }
    };
    std::optional<std::thread> helper;
    const bool two_cores = std::thread::hardware_concurrency() > 1;
    if (two_cores) helper.emplace(work, false);
    try {
        WalkRules rules{skip_name, ignore, left_out};
#ifndef _WIN32
        walk(rules, dist_dir.native(), "", "", dist_dir, listing);
#else
        walk(rules, dist_dir, "", "", listing);
#endif
    } catch (...) {
        first_error = std::current_exception();
        stop = true;
    }
    listing.close();
    work(true);
    if (helper) helper->join();
    // A name the manifest cannot hold (or Ctrl-C) comes before any read failure.
    if (first_error) std::rethrow_exception(first_error);
    failure.rethrow_if_any();

    ScannedFiles out;
    std::sort(left_out.begin(), left_out.end());
    left_out.erase(std::unique(left_out.begin(), left_out.end()), left_out.end());
    out.left_out_folders = std::move(left_out);
    // Sorted by path through small handles; each file and digest moves once.
    struct Found {
        std::string_view rel;
        Batch* batch;
        size_t index;
    };
    std::vector<Found> found;
    for (auto& batch : listing.batches())
        for (size_t i = 0; i < batch->files.size(); ++i) found.push_back({batch->files[i].rel, batch.get(), i});
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.rel < b.rel; });
    out.files.reserve(found.size());
    out.digests.reserve(found.size());
    for (const Found& f : found) {
        out.files.push_back(std::move(f.batch->files[f.index]));
        out.digests.push_back(std::move(f.batch->digests[f.index]));
    }
    found = {};
    listing.batches().clear();
    const std::vector<DistFile>& files = out.files;
    std::vector<FileDigest>& digests = out.digests;

    // Large files, largest first, each read by one thread: two threads
    // share them, so both cores hash when there are several.
    std::vector<size_t> large;
    for (size_t i = 0; i < files.size(); ++i)
        if (digests[i].block_level) large.push_back(i);
    std::stable_sort(large.begin(), large.end(),
                     [&](size_t a, size_t b) { return digests[a].size > digests[b].size; });
    // A file alone has its reads on the other thread instead.
    const bool shared = large.size() > 1 && two_cores, read_ahead = !shared && two_cores;
    std::atomic<size_t> next{0};
    auto hash_large = [&](bool on_caller) {
        size_t reads = 0;
        const std::function<bool()> keep_going = [&] {
            if (on_caller && poll && ++reads % 16 == 0) poll_caller();
            return !stop.load(std::memory_order_relaxed);
        };
        for (size_t k; !stop.load(std::memory_order_relaxed) && (k = next.fetch_add(1)) < large.size();) {
            const size_t i = large[k];
            try {
                const fs::path path = full_path(dist_dir, files[i].rel);
                if (read_ahead)
                    digest_large<ReadAhead>(path, digests[i], keep_going);
                else
                    digest_large<DirectRead>(path, digests[i], keep_going);
            } catch (...) {
                failure.record(files[i].rel, std::current_exception());
                stop = true;
            }
            keep_going();
        }
    };
    helper.reset();
    if (shared) helper.emplace(hash_large, false);
    hash_large(true);
    if (helper) helper->join();
    if (first_error) std::rethrow_exception(first_error);
    failure.rethrow_if_any();
    return out;
}

}  // namespace tarvik::build
