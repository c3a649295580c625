// The signing module: the publisher's Ed25519 key and the signed statement
// beside an update manifest.
#include <ctime>

#include "build/release_signing.hpp"
#include "build/signing_keys.hpp"
#include "core/ed25519.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/release_statement.hpp"
#include "python/bind_update_json.hpp"
#include "python/bindings.hpp"

namespace tarvik::py {

namespace {

namespace bld = tarvik::build;
namespace fs = std::filesystem;

fs::path key_path_or_default(const std::string& path, const std::string& app_name) {
    return path.empty() ? bld::default_key_path(app_name) : bld::expand_user(path);
}

nb::dict claims_dict(const ReleaseClaims& c) { return nb::cast<nb::dict>(tarvik::py::json_to_py(claims_json(c))); }

}  // namespace

void bind_build_signing(nb::module_& m) {
    nb::module_ s = m.def_submodule("signing", "Signing keys and signed release statements");
    s.attr("KEY_ENV") = bld::kSigningKeyEnv;
    s.attr("PINNED_KEY_FILE") = kPinnedKeyFile;
    s.attr("STATEMENT_SUFFIX") = kStatementSuffix;
    s.attr("DEFAULT_VALID_DAYS") = bld::kDefaultValidDays;
    s.def(
        "default_key_path", [](const std::string& app_name) { return path_text(bld::default_key_path(app_name)); },
        nb::arg("app_name") = "", "Where generate_key puts a key by default: the user's configuration folder.");
    s.def(
        "generate_key",
        [](const std::string& path, const std::string& app_name) {
            const fs::path target = key_path_or_default(path, app_name);
            std::string pub = without_gil([&] { return bld::generate_key_files(target); });
            println("[signing] private key written to " + path_text(target) + " (owner only; never share it)");
            println("[signing] public key written to " + path_text(target) + ".pub (key ID " +
                    ed25519::key_id(pub) + ")");
            println("[signing] to sign builds, add to builder.toml:  [signing] key = \"" + path_text(target) +
                    "\"  (or set " + bld::kSigningKeyEnv + ")");
            return pub;
        },
        nb::arg("path") = "", nb::arg("app_name") = "",
        "Generate an Ed25519 key pair; returns the public key (PEM text). The private key never leaves its file.");
    s.def(
        "public_key",
        [](const std::string& path) { return ed25519::public_pem_of(bld::read_private_key(bld::expand_user(path))); },
        nb::arg("path"), "The public key (PEM text) of a private key file.");
    s.def("key_id", [](const std::string& pem) { return ed25519::key_id(pem); }, nb::arg("public_pem"),
          "Short identifier of a public key: 16 hex digits.");
    s.def(
        "sign_manifest",
        [](const std::string& manifest, const std::string& key_path, uint64_t counter, int64_t valid_days,
           std::optional<int64_t> signed_at) {
            const fs::path manifest_path = path_from_utf8(manifest);
            const std::string pem = bld::read_private_key(bld::expand_user(key_path));
            const int64_t at = signed_at.value_or(static_cast<int64_t>(std::time(nullptr)));
            ReleaseClaims c = bld::claims_for_manifest(manifest_path, 0, at, valid_days);
            if (counter) c.counter = counter;
            fs::path out = manifest_path;
            out += kStatementSuffix;
            write_file(out, make_statement(c, pem));
            return path_text(out);
        },
        nb::arg("manifest_path"), nb::arg("key_path"), nb::arg("counter") = 0,
        nb::arg("valid_days") = bld::kDefaultValidDays, nb::arg("signed_at").none() = nb::none(),
        "Write the signed statement '<manifest>.sig' beside a manifest; returns its path. counter 0 means the "
        "signing time in seconds.");
    s.def(
        "verify_statement",
        [](const std::string& text, const std::string& public_pem) {
            try {
                return claims_dict(verify_statement(text, public_pem));
            } catch (const StatementRefusal& r) {
                throw value_error(r.what());
            }
        },
        nb::arg("text"), nb::arg("public_pem"), "The claims of a statement the key signed; ValueError otherwise.");
}

}  // namespace tarvik::py
