#include "veltrinax/fingerprint.hpp"

#include <openssl/evp.h>

#include <new>

namespace veltrinax::fingerprint {

Digest sha256(std::string_view bytes) {
    Digest digest{};
    unsigned int length = 0;
    // EVP_Digest uses the CPU's accelerated SHA-256 where there is one. It fails
    // only when it cannot allocate its context.
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
        throw std::bad_alloc();
    }
    return digest;
}

std::string to_hex(const Digest& digest) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (std::uint8_t b : digest) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

std::string sha256_hex(std::string_view bytes) { return to_hex(sha256(bytes)); }

}  // namespace veltrinax::fingerprint

// Each document's fingerprint follows in its own section below: validate (on a
// copy, in the caller's order, where the document is sorted), sort, canonicalise,
// digest.
