// The signed statement that travels beside an update manifest: which app,
// platform and version the manifest is, its exact SHA-256 and length, a
// release counter that only grows, and when the statement was signed and
// when it expires. Its file is "<manifest name>.sig", a JSON object:
//
//   {
//     "statement": "<the claims as compact JSON text>",
//     "key_id": "<first 16 hex digits of the SHA-256 of the raw public key>",
//     "signature": "<base64 of the Ed25519 signature of the statement text>"
//   }
//
// The signature covers the exact UTF-8 bytes of the "statement" text, so no
// canonical JSON form is needed to check it. The manifest itself is unchanged:
// a peer that knows nothing of statements never asks for the file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/json_text.hpp"

namespace tarvik {

inline constexpr const char* kStatementSuffix = ".sig";
inline constexpr const char* kStatementType = "tarvik-release-statement-1";
// The public key an installation pins, shipped at the top of the distribution.
inline constexpr const char* kPinnedKeyFile = "tarvik_update_key.pem";

// "<manifest_name>.sig" (inline: the update script names it without the
// signing code)
inline std::string statement_name(const std::string& manifest_name) { return manifest_name + kStatementSuffix; }

struct ReleaseClaims {
    std::string app_name, os, arch, version;
    std::string manifest_sha256;  // 64 lower-case hex digits
    uint64_t manifest_size = 0;
    uint64_t counter = 0;
    int64_t signed_at = 0, expires_at = 0;  // seconds since 1970-01-01 UTC
};

// Why a statement is not accepted; the text completes "Update refused: ".
struct StatementRefusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The statement file's text for the claims, signed with the private key.
// The claims as a JSON object, members in their signed order.
Json claims_json(const ReleaseClaims& claims);

std::string make_statement(const ReleaseClaims& claims, std::string_view private_pem);

// Checks the signature against the public key and returns the claims. Throws
// StatementRefusal for anything else than a well-formed statement that the
// key signed.
ReleaseClaims verify_statement(std::string_view text, std::string_view public_pem);

// The claims of a statement without checking its signature (the installation's
// own record of what it runs); StatementRefusal when malformed.
ReleaseClaims read_statement_claims(std::string_view text);

// "2026-12-09 02:36:47 UTC"
std::string utc_text(int64_t seconds);

}  // namespace tarvik
