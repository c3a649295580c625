#include "update/manifest_fetch.hpp"

#include <algorithm>
#include <exception>

#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/pytext.hpp"
#include "update/failure_kinds.hpp"
#include "update/manifest_json.hpp"
#include "update/pause.hpp"

namespace tarvik::update {

namespace {

constexpr double kManifestTimeout = 10.0;
// Far beyond any real manifest; a server that streams without end must not
// fill the memory of the application that is starting.
constexpr size_t kMaxManifestBytes = size_t(64) << 20;

bool ascii_blank(const std::string& s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') return false;
    return true;
}

}  // namespace

ManifestText parse_manifest_body(const std::string& body, bool lazy_files) {
    if (ascii_blank(body)) throw runtime_error("empty response (0 bytes)");
    ManifestText text;
    bool parsed = is_utf8(body) && body.rfind("\xEF\xBB\xBF", 0) != 0;
    if (parsed) {
        try {
            text = read_manifest_text(body, lazy_files);
        } catch (const Error&) {
            parsed = false;
        }
    }
    const Json& doc = text.doc;
    if (!parsed)
        throw runtime_error("non-JSON response: " + py_repr(utf8_replace_invalid(body.substr(0, 200))));
    if (!doc.is_object())
        throw runtime_error(std::string("manifest is not an object, got ") + py_type_word(doc));
    std::string missing;
    for (const char* key : {"app_name", "version", "files"}) {
        if (doc.contains(key)) continue;
        if (!missing.empty()) missing += ", ";
        missing += std::string("'") + key + "'";
    }
    if (!missing.empty()) throw runtime_error("missing required fields: [" + missing + "]");
    const Json& files = doc["files"];
    if (!files.is_object())
        throw runtime_error(std::string("'files' field is not an object, got ") + py_type_word(files));
    if (text.unsafe_key) throw runtime_error("unsafe path in 'files': " + py_repr(*text.unsafe_key));
    return text;
}

Json fetch_manifest(http::Session& session, const std::string& url, int max_retries) {
    return fetch_manifest_text(session, url, max_retries, false).manifest.doc;
}

FetchedManifest fetch_manifest_text(http::Session& session, const std::string& url, int max_retries,
                                    bool lazy_files, size_t max_body) {
    if (max_retries < 1) throw value_error("max_retries must be at least 1");
    std::exception_ptr last;
    for (int n = 1; n <= max_retries; ++n) {
        try {
            http::Response r = session.get(url, kManifestTimeout,
                                          max_body ? std::min(max_body, kMaxManifestBytes) : kMaxManifestBytes);
            require_success(r);
            ManifestText text = parse_manifest_body(r.body, lazy_files);
            return {std::move(text), std::move(r.body)};
        } catch (const std::exception& e) {
            last = std::current_exception();
            println("[Update] Fetch manifest attempt " + std::to_string(n) + "/" + std::to_string(max_retries) +
                    " failed: " + error_text(e));
        }
        if (n < max_retries) pause_seconds(n);
    }
    std::rethrow_exception(last);
}

}  // namespace tarvik::update
