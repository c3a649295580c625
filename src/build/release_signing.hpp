// Signing a build's releases. When a key is configured (the environment
// variable TARVIK_SIGNING_KEY, or "key" in the [signing] table of
// builder.toml), the build ships the public key at the top of the
// distribution (so that installations pin it) and writes, beside the
// manifest in build/ and in the distribution, the signed statement over the
// manifest's exact bytes. Without a key the build is what it always was.
//
//   [signing]
//   key = "~/.config/tarvik/keys/Shop.pem"   # never inside the workspace
//   ship_public_key = "~/.config/tarvik/keys/Shop-2.pem.pub"   # rotation: ship this key instead
//   valid_days = 90                          # the statement's lifetime
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/release_statement.hpp"

namespace tarvik::build {

inline constexpr int64_t kDefaultValidDays = 90;

struct SigningSetup {
    std::string private_pem;         // never printed
    std::string shipped_public_pem;  // the key installations will pin
    int64_t valid_days = kDefaultValidDays;
};

// The signing configuration of the workspace in the current directory;
// nullopt when no key is configured. A key file inside the workspace, an
// unreadable or malformed key, or a malformed [signing] table fails the build.
std::optional<SigningSetup> load_signing_setup();

// Writes the public key to be pinned into the distribution folder (before the
// manifest is generated, so that the manifest lists it).
void ship_public_key(const SigningSetup& setup, const std::filesystem::path& dist_dir);

// The claims for a manifest file: its hash and length, a counter above
// `previous` and at least the signing time, and the expiry.
ReleaseClaims claims_for_manifest(const std::filesystem::path& manifest, uint64_t previous_counter,
                                  int64_t signed_at, int64_t valid_days);

// Signs build/<manifest name> and writes the statement beside it and beside
// the distribution's copy. Returns the statement's path in build/.
std::filesystem::path sign_build_manifest(const SigningSetup& setup, const std::string& manifest_name,
                                          const std::string& folder_name);

}  // namespace tarvik::build
