// The publisher's signing key on disk: generated once, kept outside the
// workspace (by default in the user's configuration folder), readable by its
// owner only, and never printed.
#pragma once

#include <filesystem>
#include <string>

namespace tarvik::build {

// Environment variable naming the private key file; it takes precedence over
// the "key" entry of builder.toml's [signing] table.
inline constexpr const char* kSigningKeyEnv = "TARVIK_SIGNING_KEY";

// <configuration folder>/tarvik/keys/<name>.pem, where the configuration
// folder is %APPDATA% on Windows, else $XDG_CONFIG_HOME or ~/.config. The name
// is the app name, or "release" when empty.
std::filesystem::path default_key_path(const std::string& app_name);

// Generates a key pair and writes the private key to `path` (created with
// mode 0600, its folder with 0700 when made; an existing file is never
// replaced: FileExistsError) and the public key beside it as "<path>.pub".
// Returns the public key's PEM text.
std::string generate_key_files(const std::filesystem::path& path);

// The private key's PEM text; OSError when unreadable, ValueError (never
// quoting the file) when it is not an Ed25519 private key.
std::string read_private_key(const std::filesystem::path& path);

// "~" at the start of a configured path is the user's home folder.
std::filesystem::path expand_user(const std::string& path);

}  // namespace tarvik::build
