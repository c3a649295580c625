// Streaming SHA-256 over OpenSSL 3's EVP interface.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

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

std::string sha256_hex(std::string_view data);

// Whole-file digest, read in chunks of chunk_size bytes. Read failures throw OsError.
std::string sha256_file(const std::filesystem::path& path, size_t chunk_size = 65536);

}  // namespace tarvik
