#include "publish/upload_batches.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/pytext.hpp"
#include "publish/publisher.hpp"

namespace tarvik::publish {

namespace {

namespace fs = std::filesystem;

constexpr double kUploadTimeout = 600.0;

// Opens each file of the batch once, so that a file that is gone or unreadable
// is reported as such before anything is sent. The handle is closed at once;
// the transfer then holds the batch's files open while it streams them (at
// most one batch, 100 files, at a time). A FIFO or device is refused
// rather than opened: opening a FIFO would wait for a writer forever.
void check_readable(const std::vector<http::FilePart>& parts) {
    for (const http::FilePart& p : parts) {
        std::error_code ec;
        fs::file_status st = fs::status(p.path, ec);
        if (fs::exists(st) && !fs::is_regular_file(st) && !fs::is_directory(st))
            throw OsError(EINVAL, "Not a regular file", path_text(p.path));
        UniqueFile f = open_file(p.path, "rb");
        char probe;
        read_some(f.get(), &probe, 1, p.path);
    }
}

}  // namespace

std::string body_start(const std::string& body) { return utf8_prefix(utf8_replace_invalid(body), 500); }

bool send_batches(http::Session& session, const std::string& url, const std::string& code,
                  const std::vector<UploadEntry>& entries) {
    std::vector<http::FormField> fields;
    if (!code.empty()) fields.push_back({"code", code});
    const size_t total = entries.size();
    const size_t count = (total + BATCH_SIZE - 1) / BATCH_SIZE;
    for (size_t start = 0; start < total; start += BATCH_SIZE) {
        const std::string label =
            "[publisher] batch " + std::to_string(start / BATCH_SIZE + 1) + "/" + std::to_string(count);
        const size_t end = std::min(total, start + BATCH_SIZE);
        std::vector<http::FilePart> parts;
        for (size_t i = start; i < end; ++i) parts.push_back({entries[i].field, entries[i].filename, entries[i].path});

        try {
            check_readable(parts);
        } catch (const std::exception& e) {
            println(label + " file read error: " + error_text(e));
            return false;
        }
        http::Response r;
        try {
            r = session.post_multipart(url, kUploadTimeout, fields, parts);
        } catch (const OsError& e) {
            // The transfer names the file it could not attach; any other
            // system failure is the connection's.
            println(label + (e.filename.empty() ? " upload error: " : " file read error: ") + error_text(e));
            return false;
        } catch (const std::exception& e) {
            println(label + " upload error: " + error_text(e));
            return false;
        }
        if (r.status != 200 && r.status != 201) {
            println(label + " failed, HTTP " + std::to_string(r.status) + ": " + body_start(r.body));
            return false;
        }
        println(label + " ok (" + std::to_string(parts.size()) + " files)");
    }
    return true;
}

}  // namespace tarvik::publish
