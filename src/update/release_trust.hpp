// Trust in what the update server says: the installation pins the public key
// of its publisher (a file the build ships), and every update must come with a
// statement that key signed over the exact manifest, naming this app and
// platform, not expired, not older than what is installed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/http.hpp"
#include "core/release_statement.hpp"

namespace tarvik::update {

// The pinned public key of the installation (app_dir/tarvik_update_key.pem);
// nullopt when the installation pins none. A file that is there but is not an
// Ed25519 public key throws StatementRefusal: it never means "unsigned".
std::optional<std::string> load_pinned_key(const std::string& app_dir);

// The release counter of the installation's own statement (written by the
// build and by every signed update beside the manifest); 0 when it has none.
uint64_t installed_counter(const std::string& app_dir, const std::string& manifest_name);

struct Installed {
    std::string app_name, os, arch, version;
    uint64_t counter = 0;
    int64_t now = 0;  // seconds since 1970-01-01 UTC
};

// Verifies the statement text against the key and the installation; throws
// StatementRefusal with the reason.
ReleaseClaims check_statement(const std::string& text, const std::string& pinned_key, const Installed& installed);

// GETs the statement (10 s, at most 64 KiB, 2 attempts with a 1 s wait). A 404
// throws StatementRefusal; other failures are thrown as the HTTP layer gives
// them, for the caller's usual classification.
std::string fetch_statement(http::Session& session, const std::string& url);

// The first step of a check: when the installation pins a key, fetch the
// statement at update_url and verify it against the key and the installation
// (throws StatementRefusal, or the fetch's own failure); otherwise log the one
// warning that the update metadata is not signed and return nullopt.
struct SignedRelease {
    ReleaseClaims claims;
    std::string statement_text;
};
std::optional<SignedRelease> verify_release(http::Session& session, const std::string& app_dir,
                                            const std::string& update_url, const std::string& manifest_name,
                                            const Installed& installed);

// Throws StatementRefusal unless the manifest body is the one the statement
// signed and names the same app and version.
void check_manifest_against(const std::string& body, const ReleaseClaims& claims, const std::string& app_name,
                            const std::string& version);

}  // namespace tarvik::update
