#include "update/release_trust.hpp"

#include <exception>

#include "core/ed25519.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/sha256.hpp"
#include "update/failure_kinds.hpp"
#include "update/installation.hpp"
#include "update/pause.hpp"
#include "update/url_path.hpp"
#include "update/version_order.hpp"

namespace tarvik::update {

namespace {

constexpr double kStatementTimeout = 10.0;
constexpr size_t kMaxStatementBytes = 64 * 1024;
constexpr int kStatementAttempts = 2;

std::optional<std::string> read_if_present(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path_from_utf8(path), ec))) return std::nullopt;
    return read_file(path_from_utf8(path));
}

}  // namespace

std::optional<std::string> load_pinned_key(const std::string& app_dir) {
    std::optional<std::string> text;
    try {
        text = read_if_present(join_path(app_dir, kPinnedKeyFile));
    } catch (const std::exception&) {
        throw StatementRefusal(std::string("the pinned key ") + kPinnedKeyFile + " cannot be read");
    }
    if (!text) return std::nullopt;
    if (!ed25519::is_public_key(*text))
        throw StatementRefusal(std::string("the pinned key ") + kPinnedKeyFile + " is not an Ed25519 public key");
    return text;
}

uint64_t installed_counter(const std::string& app_dir, const std::string& manifest_name) {
    try {
        auto text = read_if_present(join_path(app_dir, statement_name(manifest_name)));
        return text ? read_statement_claims(*text).counter : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

ReleaseClaims check_statement(const std::string& text, const std::string& pinned_key, const Installed& in) {
    ReleaseClaims c = verify_statement(text, pinned_key);
    if (c.app_name != in.app_name || c.os != in.os || c.arch != in.arch)
        throw StatementRefusal("the statement is for " + c.app_name + " " + c.os + " " + c.arch + ", not " +
                               in.app_name + " " + in.os + " " + in.arch);
    if (c.expires_at <= in.now) throw StatementRefusal("the statement expired on " + utc_text(c.expires_at));
    if (compare_versions(c.version, in.version) < 0)
        throw StatementRefusal("version " + c.version + " is older than the installed " + in.version);
    if (c.counter < in.counter)
        throw StatementRefusal("release counter " + std::to_string(c.counter) + " is lower than the installed " +
                               std::to_string(in.counter));
    return c;
}

std::string fetch_statement(http::Session& session, const std::string& url) {
    std::exception_ptr last;
    for (int n = 1; n <= kStatementAttempts; ++n) {
        try {
            http::Response r = session.get(url, kStatementTimeout, kMaxStatementBytes);
            if (r.status == 404) throw StatementRefusal("no signed statement on the server (HTTP 404)");
            require_success(r);
            return std::move(r.body);
        } catch (const StatementRefusal&) {
            throw;
        } catch (const std::exception&) {
            last = std::current_exception();
        }
        if (n < kStatementAttempts) pause_seconds(1.0);
    }
    std::rethrow_exception(last);
}

std::optional<SignedRelease> verify_release(http::Session& session, const std::string& app_dir,
                                            const std::string& update_url, const std::string& manifest_name,
                                            const Installed& installed) {
    std::optional<std::string> pinned = load_pinned_key(app_dir);
    if (!pinned) {
        host().log_warning(std::string("[Update] Warning: update metadata is not signed (this installation pins no "
                                       "key in ") + kPinnedKeyFile + "); the server's answer is taken as it stands");
        return std::nullopt;
    }
    SignedRelease r;
    r.statement_text = fetch_statement(session, update_url + percent_encode_path(statement_name(manifest_name)));
    r.claims = check_statement(r.statement_text, *pinned, installed);
    println("[Update] Signed statement verified: " + r.claims.app_name + " " + r.claims.version +
            ", release counter " + std::to_string(r.claims.counter) + ", expires " + utc_text(r.claims.expires_at));
    return r;
}

void check_manifest_against(const std::string& body, const ReleaseClaims& c, const std::string& app_name,
                            const std::string& version) {
    if (body.size() != c.manifest_size || sha256_hex(body) != c.manifest_sha256)
        throw StatementRefusal("the manifest is not the one the statement signed");
    if (app_name != c.app_name || version != c.version)
        throw StatementRefusal("the manifest names another app or version than the statement");
}

}  // namespace tarvik::update
