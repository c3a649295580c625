// Which certificate authorities HTTPS connections trust.
//
// As Python programs do: the bundle file named by CURL_CA_BUNDLE, else by
// SSL_CERT_FILE, and the hashed directory named by SSL_CERT_DIR (read through
// os.environ; an empty value counts as unset). Without a named file, the
// running system's own bundle in its usual place (Debian/Ubuntu, Fedora/RHEL,
// openSUSE, Alpine/macOS/BSD), never the path compiled into libcurl, which is
// the path of the machine that built it. On Windows and macOS the system's
// native certificate store is used as well, where libcurl supports it.
#pragma once

#include <string>
#include <vector>

typedef void CURL;

namespace tarvik::http {

struct TlsTrust {
    std::string ca_file;        // empty: libcurl's own default
    std::string ca_dir;         // empty: libcurl's own default
    bool native_store = false;  // the operating system's certificate store
};

// The usual places of the system CA bundle, most common first.
const std::vector<std::string>& system_ca_bundle_places();

// Reads the environment and looks for the system bundle.
TlsTrust tls_trust_from_environment();

// Sets the trust on an easy handle (after curl_easy_reset).
void apply_tls_trust(CURL* easy, const TlsTrust& trust);

}  // namespace tarvik::http
