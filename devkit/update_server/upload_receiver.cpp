#include "upload_receiver.hpp"

#include <cstdio>
#include <memory>
#include <set>

#include "safe_names.hpp"

namespace devserver {

namespace {

constexpr size_t kMaxManifestBytes = 64u << 20;
constexpr size_t kMaxFieldBytes = 4096;
constexpr size_t kMaxStatementBytes = 64u << 10;

struct FileCloser {
    void operator()(std::FILE* f) const noexcept {
        if (f) std::fclose(f);
    }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

UniqueFile create(const std::filesystem::path& p) {
#ifdef _WIN32
    return UniqueFile(_wfopen(p.c_str(), L"wb"));
#else
    return UniqueFile(std::fopen(p.c_str(), "wb"));
#endif
}

enum class Target { Drop, Code, Manifest, Statement, File };

class Receiver {
public:
    Receiver(ReceivedBatch& out, std::filesystem::path staging, const std::optional<std::string>& expected)
        : out_(out), staging_(std::move(staging)), expected_(expected) {}

    bool header(const httplib::MultipartFormData& part) {
        finish_part();
        target_ = Target::Drop;
        if (out_.refusal_status) return true;
        if (part.filename.empty()) {
            // A plain form field; only "code" means something here.
            if (part.name == "code") {
                out_.code.clear();
                out_.code_seen = true;
                target_ = Target::Code;
            }
            return true;
        }
        if (expected_ && !(out_.code_seen && out_.code == *expected_))
            return refuse(403, out_.code_seen ? "wrong upload code" : "upload code missing");
        // The manifest travels as the part "manifest" under its own file name;
        // a build file called "manifest" has that name as its file name too.
        if (part.name == "manifest" && part.filename != "manifest") {
            if (out_.batch.manifest_name) return refuse(400, "two manifests in one upload");
            if (!safe_component(part.filename)) return refuse(400, "unsafe manifest name " + part.filename);
            out_.batch.manifest_name = part.filename;
            target_ = Target::Manifest;
            return true;
        }
        // The manifest's signed statement, under the name the server stores it by.
        if (part.name == "statement" && part.filename != "statement") {
            if (out_.batch.statement_name) return refuse(400, "two statements in one upload");
            if (!safe_component(part.filename)) return refuse(400, "unsafe statement name " + part.filename);
            out_.batch.statement_name = part.filename;
            target_ = Target::Statement;
            return true;
        }
        if (!safe_relative_path(part.name)) return refuse(400, "unsafe path " + part.name);
        if (!names_.insert(part.name).second) return refuse(400, "path sent twice: " + part.name);
        std::filesystem::path temp = staging_ / std::to_string(out_.batch.files.size());
        file_ = create(temp);
        if (!file_) return refuse(500, "cannot create a staging file");
        out_.batch.files.push_back({part.name, temp});
        target_ = Target::File;
        return true;
    }

    bool data(const char* p, size_t n) {
        switch (target_) {
            case Target::Drop:
                break;
            case Target::Code:
                if (out_.code.size() + n > kMaxFieldBytes) return refuse(413, "code field too long");
                out_.code.append(p, n);
                break;
            case Target::Manifest:
                if (out_.batch.manifest_bytes.size() + n > kMaxManifestBytes) return refuse(413, "manifest too large");
                out_.batch.manifest_bytes.append(p, n);
                break;
            case Target::Statement:
                if (out_.batch.statement_bytes.size() + n > kMaxStatementBytes) return refuse(413, "statement too large");
                out_.batch.statement_bytes.append(p, n);
                break;
            case Target::File:
                if (std::fwrite(p, 1, n, file_.get()) != n) return refuse(500, "cannot write a staging file");
                break;
        }
        return true;
    }

    void finish_part() {
        if (file_ && std::fclose(file_.release()) != 0) refuse(500, "cannot write a staging file");
        target_ = Target::Drop;
    }

    void finish() {
        finish_part();
        if (!out_.refusal_status && expected_ && !(out_.code_seen && out_.code == *expected_))
            refuse(403, out_.code_seen ? "wrong upload code" : "upload code missing");
    }

private:
    bool refuse(int status, const std::string& why) {
        if (!out_.refusal_status) {
            out_.refusal_status = status;
            out_.refusal = why;
        }
        file_.reset();
        target_ = Target::Drop;
        return true;  // keep reading: the client is still sending
    }

    ReceivedBatch& out_;
    std::filesystem::path staging_;
    const std::optional<std::string>& expected_;
    Target target_ = Target::Drop;
    UniqueFile file_;
    std::set<std::string> names_;
};

}  // namespace

ReceivedBatch receive_batch(const httplib::Request& req, const httplib::ContentReader& reader,
                            const std::filesystem::path& staging,
                            const std::optional<std::string>& expected_code) {
    ReceivedBatch out;
    if (!req.is_multipart_form_data()) {
        reader([](const char*, size_t) { return true; });
        out.refusal_status = 400;
        out.refusal = "not a multipart/form-data body";
        return out;
    }
    std::error_code ec;
    std::filesystem::remove_all(staging, ec);
    std::filesystem::create_directories(staging, ec);
    if (ec) {
        reader([](const char*, size_t) { return true; });
        out.refusal_status = 500;
        out.refusal = "cannot create the staging folder";
        return out;
    }
    Receiver r(out, staging, expected_code);
    bool complete = reader([&](const httplib::MultipartFormData& part) { return r.header(part); },
                           [&](const char* p, size_t n) { return r.data(p, n); });
    r.finish();
    if (!complete && !out.refusal_status) {
        out.refusal_status = 400;
        out.refusal = "incomplete or malformed multipart body";
    }
    return out;
}

}  // namespace devserver
