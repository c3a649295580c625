#include "core/sha256.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/sha256_x86.hpp"

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

std::string hex_text(const unsigned char* bytes, size_t n) {
    static const char* hex = "0123456789abcdef";
    std::string out(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = hex[bytes[i] >> 4];
        out[2 * i + 1] = hex[bytes[i] & 15];
    }
    return out;
}

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// The digest of a chain that compressed whole blocks and still holds tail:
// the padding (0x80, zeros, the length in bits) closes it.
std::string finish_chain(const std::uint32_t state[8], const unsigned char* tail, size_t tail_len,
                         std::uint64_t length) {
    unsigned char last[128] = {};
    if (tail_len) std::memcpy(last, tail, tail_len);
    last[tail_len] = 0x80;
    const size_t blocks = tail_len < 56 ? 1 : 2;
    const std::uint64_t bits = length * 8;
    for (int i = 0; i < 8; ++i) last[64 * blocks - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    std::uint32_t s[8];
    std::memcpy(s, state, sizeof s);
    sha256_x86_blocks(s, last, blocks);
    unsigned char md[32];
    for (int i = 0; i < 8; ++i)
        for (int b = 0; b < 4; ++b) md[4 * i + b] = static_cast<unsigned char>(s[i] >> (24 - 8 * b));
    return hex_text(md, sizeof md);
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
    return hex_text(md, n);
}

Sha256WithPieces::Sha256WithPieces(std::uint64_t piece_size, Engine engine)
    : piece_size_(piece_size), x86_(engine == Engine::fastest && sha256_x86_available()) {
    if (piece_size == 0 || piece_size % 64 != 0) throw value_error("piece size must be a positive multiple of 64");
    if (!x86_) {
        whole_ctx_ = std::make_unique<Sha256>();
        piece_ctx_ = std::make_unique<Sha256>();
    }
    reset();
}

void Sha256WithPieces::reset() {
    total_ = in_piece_ = 0;
    tail_len_ = 0;
    std::memcpy(whole_, kInitialState, sizeof whole_);
    std::memcpy(piece_, kInitialState, sizeof piece_);
}

// Whole blocks into both chains; a piece that fills up is closed. The caller
// never passes more blocks than the open piece has room for.
void Sha256WithPieces::compress(const unsigned char* data, size_t blocks) {
    sha256_x86_blocks_twice(whole_, piece_, data, blocks);
    in_piece_ += 64 * static_cast<std::uint64_t>(blocks);
    if (in_piece_ == piece_size_) {
        pieces_.push_back(finish_chain(piece_, nullptr, 0, piece_size_));
        std::memcpy(piece_, kInitialState, sizeof piece_);
        in_piece_ = 0;
    }
}

void Sha256WithPieces::update(const void* data, size_t len) {
    auto p = static_cast<const unsigned char*>(data);
    total_ += len;
    if (!x86_) {
        while (len) {
            const size_t n = static_cast<size_t>(std::min<std::uint64_t>(len, piece_size_ - in_piece_));
            whole_ctx_->update(p, n);
            piece_ctx_->update(p, n);
            in_piece_ += n;
            if (in_piece_ == piece_size_) {
                pieces_.push_back(piece_ctx_->hex_digest());
                in_piece_ = 0;
            }
            p += n;
            len -= n;
        }
        return;
    }
    if (tail_len_) {
        const size_t n = std::min(len, sizeof tail_ - tail_len_);
        std::memcpy(tail_ + tail_len_, p, n);
        tail_len_ += n;
        p += n;
        len -= n;
        if (tail_len_ < sizeof tail_) return;
        compress(tail_, 1);
        tail_len_ = 0;
    }
    while (len >= 64) {
        const size_t blocks = static_cast<size_t>(std::min<std::uint64_t>(len / 64, (piece_size_ - in_piece_) / 64));
        compress(p, blocks);
        p += 64 * blocks;
        len -= 64 * blocks;
    }
    std::memcpy(tail_, p, len);
    tail_len_ = len;
}

std::string Sha256WithPieces::finish(std::vector<std::string>& pieces) {
    std::string whole;
    if (x86_) {
        if (in_piece_ + tail_len_) pieces_.push_back(finish_chain(piece_, tail_, tail_len_, in_piece_ + tail_len_));
        whole = finish_chain(whole_, tail_, tail_len_, total_);
    } else {
        if (in_piece_) pieces_.push_back(piece_ctx_->hex_digest());
        whole = whole_ctx_->hex_digest();
    }
    for (std::string& p : pieces_) pieces.push_back(std::move(p));
    pieces_.clear();
    reset();
    return whole;
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
