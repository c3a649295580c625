// Streaming SHA-256 over OpenSSL 3's EVP interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct evp_md_ctx_st;

namespace tarvik {

class Sha256 {
public:
    Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    ~Sha256();
    void update(const void* data, size_t len);
    void update(std::string_view data) { update(data.data(), data.size()); }
    // Finishes the digest: 64 lower-case hex digits. The object is reset and
    // can be used for a new digest afterwards.
    std::string hex_digest();

private:
    struct CtxFree {
        void operator()(evp_md_ctx_st* c) const noexcept;
    };
    std::unique_ptr<evp_md_ctx_st, CtxFree> ctx_;
};

// The digest of a stream and the digests of its consecutive pieces of
// piece_size bytes (a positive multiple of 64; the last piece may be shorter,
// an empty stream has none), kept in one pass over the bytes. With the x86
// SHA instructions the two chains cost about what one does
// (core/sha256_x86.hpp); elsewhere, or with Engine::openssl, two OpenSSL
// digests are fed.
class Sha256WithPieces {
public:
    enum class Engine { fastest, openssl };
    explicit Sha256WithPieces(std::uint64_t piece_size, Engine engine = Engine::fastest);
    void update(const void* data, size_t len);
    // Ends the stream: its digest, with the pieces' digests (in order)
    // appended to pieces. The object starts a new stream afterwards.
    std::string finish(std::vector<std::string>& pieces);

private:
    void compress(const unsigned char* data, size_t blocks);
    void reset();

    std::uint64_t piece_size_;
    bool x86_;
    std::vector<std::string> pieces_;
    std::uint64_t total_ = 0, in_piece_ = 0;  // bytes fed; bytes of the open piece compressed (x86)
    // x86: the two chains and the bytes short of a whole 64-byte block.
    std::uint32_t whole_[8] = {}, piece_[8] = {};
    unsigned char tail_[64] = {};
    size_t tail_len_ = 0;
    // OpenSSL: the two digests.
    std::unique_ptr<Sha256> whole_ctx_, piece_ctx_;
};

std::string sha256_hex(std::string_view data);

// Whole-file digest, read in chunks of chunk_size bytes. Read failures throw OsError.
std::string sha256_file(const std::filesystem::path& path, size_t chunk_size = 65536);

}  // namespace tarvik
