// Ed25519 keys and signatures over OpenSSL 3's EVP interface, and the base64
// text that carries a signature inside JSON. Keys travel as PEM text: PKCS#8
// for a private key, SubjectPublicKeyInfo for a public key.
#pragma once

#include <string>
#include <string_view>

namespace tarvik::ed25519 {

struct KeyPair {
    std::string private_pem, public_pem;
};

// A fresh key pair from the system's random source.
KeyPair generate();

// The public key of a private key; ValueError when the text is not an Ed25519
// private key in PEM form. The error never quotes the key.
std::string public_pem_of(std::string_view private_pem);

// The public key in its canonical PEM form; ValueError when the text is not an
// Ed25519 public key.
std::string normalized_public_pem(std::string_view public_pem);

// True when the text is an Ed25519 public key in PEM form.
bool is_public_key(std::string_view public_pem);

// The 64-byte signature of the message.
std::string sign(std::string_view private_pem, std::string_view message);

// True when signature is a valid signature of message by the key. A malformed
// key or signature is false, never an exception.
bool verify(std::string_view public_pem, std::string_view message, std::string_view signature);

// First 16 hex digits of the SHA-256 of the raw 32-byte public key: a short
// name for a key in messages and statements.
std::string key_id(std::string_view public_pem);

std::string base64_encode(std::string_view bytes);
// nullopt-free: an invalid text gives an empty string.
std::string base64_decode(std::string_view text);

}  // namespace tarvik::ed25519
