#include "core/ed25519.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <vector>

#include "core/errors.hpp"
#include "core/sha256.hpp"

namespace tarvik::ed25519 {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};
struct BioFree {
    void operator()(BIO* b) const noexcept { BIO_free(b); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

Bio read_bio(std::string_view text) {
    if (text.size() > 1 << 20) return nullptr;
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string bio_text(BIO* b) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

// A passphrase callback that refuses: keys are never read interactively.
int no_passphrase(char*, int, int, void*) { return -1; }

Pkey private_key(std::string_view pem) {
    Bio b = read_bio(pem);
    Pkey k(b ? PEM_read_bio_PrivateKey(b.get(), nullptr, no_passphrase, nullptr) : nullptr);
    if (!k || EVP_PKEY_get_base_id(k.get()) != EVP_PKEY_ED25519)
        throw value_error("not an Ed25519 private key in PEM form (an unencrypted PKCS#8 key is expected)");
    return k;
}

// An Ed25519 SubjectPublicKeyInfo is these 12 bytes and the 32-byte key.
constexpr unsigned char kSpkiPrefix[12] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
constexpr std::string_view kPemBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemEnd = "-----END PUBLIC KEY-----";

// Read directly rather than through OpenSSL's decoder framework, whose set-up
// costs about a millisecond: the check of an up-to-date start stays cheap.
Pkey public_key(std::string_view pem) {
    size_t begin = pem.find(kPemBegin), end = pem.find(kPemEnd);
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin) return nullptr;
    std::string body;
    for (char c : pem.substr(begin + kPemBegin.size(), end - begin - kPemBegin.size()))
        if (c != '\n' && c != '\r' && c != ' ' && c != '\t') body += c;
    std::string der = base64_decode(body);
    if (der.size() != sizeof kSpkiPrefix + 32 || std::memcmp(der.data(), kSpkiPrefix, sizeof kSpkiPrefix) != 0)
        return nullptr;
    return Pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                            reinterpret_cast<const unsigned char*>(der.data()) + sizeof kSpkiPrefix,
                                            32));
}

std::string public_pem(EVP_PKEY* k) {
    Bio out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_PUBKEY(out.get(), k) != 1) throw runtime_error("cannot write a public key");
    return bio_text(out.get());
}

}  // namespace

KeyPair generate() {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1)
        throw runtime_error("cannot generate an Ed25519 key");
    Pkey k(raw);
    Bio out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_PrivateKey(out.get(), k.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw runtime_error("cannot write a private key");
    return {bio_text(out.get()), public_pem(k.get())};
}

std::string public_pem_of(std::string_view private_pem) { return public_pem(private_key(private_pem).get()); }

std::string normalized_public_pem(std::string_view pem) {
    Pkey k = public_key(pem);
    if (!k) throw value_error("not an Ed25519 public key in PEM form");
    return public_pem(k.get());
}

bool is_public_key(std::string_view pem) { return public_key(pem) != nullptr; }

std::string sign(std::string_view private_pem, std::string_view message) {
    Pkey k = private_key(private_pem);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    size_t len = 64;
    std::string sig(len, '\0');
    if (!md || EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, k.get()) != 1 ||
        EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
        throw runtime_error("cannot sign with the Ed25519 key");
    sig.resize(len);
    return sig;
}

bool verify(std::string_view pem, std::string_view message, std::string_view signature) {
    Pkey k = public_key(pem);
    if (!k || signature.size() != 64) return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    return md && EVP_DigestVerifyInit(md.get(), nullptr, nullptr, nullptr, k.get()) == 1 &&
           EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

std::string key_id(std::string_view pem) {
    Pkey k = public_key(pem);
    if (!k) throw value_error("not an Ed25519 public key in PEM form");
    unsigned char raw[32];
    size_t len = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(k.get(), raw, &len) != 1) throw runtime_error("cannot read the public key");
    return sha256_hex(std::string_view(reinterpret_cast<const char*>(raw), len)).substr(0, 16);
}

std::string base64_encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string base64_decode(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > 1 << 16) return {};
    for (char c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=')) return {};
    std::string out(3 * text.size() / 4, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return {};
    size_t len = static_cast<size_t>(n);
    // EVP_DecodeBlock keeps the zero bytes that stand for "=" padding.
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --len;
    out.resize(len);
    return out;
}

}  // namespace tarvik::ed25519
