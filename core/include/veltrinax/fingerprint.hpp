#pragma once
// Canonical fingerprints: the SHA-256 digest of a canonical compact JSON text,
// written as 64 lowercase hexadecimal digits.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrinax::fingerprint {

using Digest = std::array<std::uint8_t, 32>;

// SHA-256 (FIPS 180-4) of exactly these bytes.
Digest sha256(std::string_view bytes);

// The 32 digest bytes as 64 lowercase hexadecimal digits.
std::string to_hex(const Digest& digest);

// to_hex(sha256(bytes)).
std::string sha256_hex(std::string_view bytes);

}  // namespace veltrinax::fingerprint
