#include "base/digest.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace tarnwick {
namespace {

std::string Hex(const unsigned char* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0xF];
    }
    return hex;
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
    std::array<unsigned char, 32> digest{};
    gnutls_hash_fast(GNUTLS_DIG_SHA256, bytes.data(), bytes.size(), digest.data());
    return Hex(digest.data(), digest.size());
}

std::expected<std::string, Failure> FileSha256Hex(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::unexpected(Failure{"\"" + file.string() + "\" could not be read: " + std::strerror(errno) + "."});
    gnutls_hash_hd_t hash = nullptr;
    if (gnutls_hash_init(&hash, GNUTLS_DIG_SHA256) != 0) return std::unexpected(Failure{"SHA-256 is not available."});
    std::vector<char> block(1 << 16);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        if (in.gcount() > 0) gnutls_hash(hash, block.data(), static_cast<std::size_t>(in.gcount()));
    }
    std::array<unsigned char, 32> digest{};
    gnutls_hash_deinit(hash, digest.data());
    if (in.bad()) return std::unexpected(Failure{"\"" + file.string() + "\" could not be read to its end."});
    return Hex(digest.data(), digest.size());
}

std::string RandomHex(std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    // A secret made of anything less than the system's random source is no secret.
    if (gnutls_rnd(GNUTLS_RND_KEY, random.data(), random.size()) != 0)
        throw std::runtime_error("the system's random source gave no bytes");
    return Hex(random.data(), random.size());
}

bool SameInConstantTime(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    volatile unsigned char differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        differ =
            static_cast<unsigned char>(differ | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
    return differ == 0;
}

}  // namespace tarnwick
