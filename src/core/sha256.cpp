#include "core/sha256.hpp"

#include <openssl/evp.h>

#include <vector>

#include "core/errors.hpp"
#include "core/file_io.hpp"

namespace tarvik {

namespace {

// The algorithm is fetched once per process.
const EVP_MD* sha256_md() {
    static EVP_MD* md = [] {
        EVP_MD* m = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (!m) throw runtime_error("OpenSSL: SHA256 is not available");
        return m;
    }();
    return md;
}

void check(int ok, const char* what) {
    if (ok != 1) throw runtime_error(std::string("OpenSSL: ") + what + " failed");
}

}  // namespace

void Sha256::CtxFree::operator()(evp_md_ctx_st* c) const noexcept { EVP_MD_CTX_free(c); }

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) throw std::bad_alloc();
    check(EVP_DigestInit_ex2(ctx_.get(), sha256_md(), nullptr), "EVP_DigestInit_ex2");
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t len) {
    if (len) check(EVP_DigestUpdate(ctx_.get(), data, len), "EVP_DigestUpdate");
}

std::string Sha256::hex_digest() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    check(EVP_DigestFinal_ex(ctx_.get(), md, &n), "EVP_DigestFinal_ex");
    check(EVP_DigestInit_ex2(ctx_.get(), sha256_md(), nullptr), "EVP_DigestInit_ex2");
    static const char* hex = "0123456789abcdef";
    std::string out(2 * n, '0');
    for (unsigned int i = 0; i < n; ++i) {
        out[2 * i] = hex[md[i] >> 4];
        out[2 * i + 1] = hex[md[i] & 15];
    }
    return out;
}

std::string sha256_hex(std::string_view data) {
    Sha256 h;
    h.update(data);
    return h.hex_digest();
}

std::string sha256_file(const std::filesystem::path& path, size_t chunk_size) {
    UniqueFile f = open_file(path, "rb");
    std::vector<char> buf(chunk_size ? chunk_size : 65536);
    Sha256 h;
    for (;;) {
        size_t n = read_some(f.get(), buf.data(), buf.size(), path);
        if (n == 0) break;
        h.update(buf.data(), n);
    }
    return h.hex_digest();
}

}  // namespace tarvik
