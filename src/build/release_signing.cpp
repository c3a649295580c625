#include "build/release_signing.hpp"

#include <ctime>

#include "build/builder_toml.hpp"
#include "build/signing_keys.hpp"
#include "core/ed25519.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/json_read.hpp"
#include "core/json_text.hpp"
#include "core/sha256.hpp"

namespace tarvik::build {

namespace fs = std::filesystem;

namespace {

const toml::table* signing_table(const std::optional<toml::table>& doc) {
    if (!doc) return nullptr;
    const toml::node* node = doc->get("signing");
    if (!node) return nullptr;
    if (!node->as_table()) throw type_error("[signing] in builder.toml must be a table");
    return node->as_table();
}

std::optional<std::string> text_entry(const toml::table* t, const char* key) {
    if (!t) return std::nullopt;
    const toml::node* n = t->get(key);
    if (!n) return std::nullopt;
    if (!n->as_string()) throw type_error(std::string("[signing] ") + key + " in builder.toml must be a string");
    return n->as_string()->get();
}

// The key must not travel with the sources or the distribution.
void require_outside_workspace(const fs::path& key) {
    std::error_code ec;
    fs::path k = fs::weakly_canonical(fs::absolute(key), ec);
    fs::path w = fs::weakly_canonical(fs::current_path(), ec);
    auto ki = k.begin();
    for (auto wi = w.begin(); wi != w.end(); ++wi, ++ki)
        if (ki == k.end() || *ki != *wi) return;
    const std::string message = "[builder] the signing key " + path_text(key) +
                                " lies inside the workspace; keep it outside (for example under " +
                                path_text(default_key_path("").parent_path()) + ")";
    println(message);
    throw value_error(message);
}

}  // namespace

std::optional<SigningSetup> load_signing_setup() {
    const std::optional<toml::table> doc = read_builder_toml();
    const toml::table* table = signing_table(doc);
    std::optional<std::string> key = host().getenv(kSigningKeyEnv);
    if (!key || key->empty()) key = text_entry(table, "key");
    if (!key || key->empty()) return std::nullopt;

    const fs::path key_path = expand_user(*key);
    require_outside_workspace(key_path);
    SigningSetup setup;
    setup.private_pem = read_private_key(key_path);
    setup.shipped_public_pem = ed25519::public_pem_of(setup.private_pem);
    if (auto next = text_entry(table, "ship_public_key"))
        setup.shipped_public_pem = ed25519::normalized_public_pem(read_file(expand_user(*next)));
    if (table) {
        if (const toml::node* days = table->get("valid_days")) {
            if (!days->as_integer() || days->as_integer()->get() < 1 || days->as_integer()->get() > 3650)
                throw value_error("[signing] valid_days in builder.toml must be a whole number from 1 to 3650");
            setup.valid_days = days->as_integer()->get();
        }
    }
    return setup;
}

void ship_public_key(const SigningSetup& setup, const fs::path& dist_dir) {
    if (!fs::is_directory(dist_dir)) return;  // the manifest step reports the missing folder
    write_file(dist_dir / kPinnedKeyFile, setup.shipped_public_pem);
    println("[builder] pinned update key: " + std::string(kPinnedKeyFile) + " (key ID " +
            ed25519::key_id(setup.shipped_public_pem) + ")");
}

ReleaseClaims claims_for_manifest(const fs::path& manifest, uint64_t previous_counter, int64_t signed_at,
                                  int64_t valid_days) {
    const std::string bytes = read_file(manifest);
    Json doc = parse_json(bytes);
    if (!doc.is_object()) throw value_error("the manifest is not a JSON object: " + path_text(manifest));
    auto text = [&](const char* key) {
        const auto it = doc.find(key);
        if (it == doc.end() || !it->is_string())
            throw value_error(std::string("the manifest has no text \"") + key + "\": " + path_text(manifest));
        return it->get<std::string>();
    };
    ReleaseClaims c;
    c.app_name = text("app_name");
    c.version = text("version");
    c.os = text("os");
    c.arch = text("arch");
    c.manifest_sha256 = sha256_hex(bytes);
    c.manifest_size = bytes.size();
    c.signed_at = signed_at;
    c.expires_at = signed_at + valid_days * 86400;
    c.counter = std::max<uint64_t>(previous_counter + 1, static_cast<uint64_t>(std::max<int64_t>(signed_at, 0)));
    return c;
}

fs::path sign_build_manifest(const SigningSetup& setup, const std::string& manifest_name,
                             const std::string& folder_name) {
    const fs::path manifest = fs::path("build") / path_from_utf8(manifest_name);
    const fs::path statement = fs::path("build") / path_from_utf8(statement_name(manifest_name));
    uint64_t previous = 0;
    std::error_code ec;
    if (fs::exists(statement, ec)) {
        try {
            previous = read_statement_claims(read_file(statement)).counter;
        } catch (const std::exception&) {
        }
    }
    ReleaseClaims c = claims_for_manifest(manifest, previous, static_cast<int64_t>(std::time(nullptr)),
                                          setup.valid_days);
    const std::string text = make_statement(c, setup.private_pem);
    write_file(statement, text);
    write_file(fs::path("build") / path_from_utf8(folder_name) / path_from_utf8(statement_name(manifest_name)), text);
    println("[builder] signed statement: build/" + statement_name(manifest_name) + " (release counter " +
            std::to_string(c.counter) + ", expires " + utc_text(c.expires_at) + ")");
    return statement;
}

}  // namespace tarvik::build
