#include "core/tls_trust.hpp"

#include <curl/curl.h>

#include <filesystem>
#include <optional>

#include "core/host.hpp"

namespace tarvik::http {

namespace {

std::optional<std::string> env_value(const char* name) {
    std::optional<std::string> v = host().getenv(name);
    if (!v || v->empty()) return std::nullopt;
    return v;
}

bool is_file(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

}  // namespace

const std::vector<std::string>& system_ca_bundle_places() {
    static const std::vector<std::string> places = {
        "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Arch, Gentoo
        "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL, CentOS
        "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // Fedora, RHEL (extracted)
        "/etc/ssl/ca-bundle.pem",                             // openSUSE, SLES
        "/etc/ssl/cert.pem",                                  // Alpine, macOS, OpenBSD
        "/usr/local/share/certs/ca-root-nss.crt",             // FreeBSD
    };
    return places;
}

TlsTrust tls_trust_from_environment() {
    TlsTrust t;
    if (auto f = env_value("CURL_CA_BUNDLE")) t.ca_file = *f;
    else if (auto f2 = env_value("SSL_CERT_FILE")) t.ca_file = *f2;
    if (auto d = env_value("SSL_CERT_DIR")) t.ca_dir = *d;
    if (!t.ca_file.empty()) return t;
#if defined(_WIN32) || defined(__APPLE__)
    t.native_store = true;
#endif
#ifndef _WIN32
    for (const std::string& place : system_ca_bundle_places())
        if (is_file(place)) {
            t.ca_file = place;
            break;
        }
#endif
    return t;
}

void apply_tls_trust(CURL* easy, const TlsTrust& trust) {
    if (!trust.ca_file.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, trust.ca_file.c_str());
    if (!trust.ca_dir.empty()) curl_easy_setopt(easy, CURLOPT_CAPATH, trust.ca_dir.c_str());
#ifdef CURLSSLOPT_NATIVE_CA
    // Ignored by TLS back ends that have no such store; the bundle above still applies.
    if (trust.native_store) curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
#endif
}

}  // namespace tarvik::http
