#include "core/save_crypt.h"

#include <sodium.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

namespace save_crypt {
namespace {

const unsigned char kMagic[4] = {'L', 'U', 'M', 'A'};
constexpr unsigned char kVersion = 1;
constexpr size_t kNonceSize = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kMacSize = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr size_t kKeySize = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
constexpr size_t kNonceAt = 5;
constexpr size_t kMacAt = kNonceAt + kNonceSize;
static_assert(kNonceSize == 24 && kMacSize == 16 && kKeySize == 32);
static_assert(kMacAt + kMacSize == kHeaderSize);

// sodium_init is idempotent and thread-safe, but one call is enough; it only fails when the
// system offers no random source at all.
bool ready() {
    static const bool ok = sodium_init() >= 0;
    return ok;
}

// The key is the 32-byte unkeyed BLAKE2b digest of these 48 bytes. Changing either constant
// makes every existing settings file unreadable (it would be moved aside as damaged).
void derive_key(unsigned char key[kKeySize]) {
    static const unsigned char kSeeds[32] = {
        0xaa, 0xd4, 0xfe, 0x04, 0xa7, 0x03, 0x99, 0x2b, 0xf4, 0x8c, 0x74, 0xa1, 0x22, 0x70, 0xe4, 0xf2,
        0x80, 0xda, 0x12, 0x01, 0x74, 0x18, 0xe6, 0x3b, 0xe1, 0xc5, 0xb0, 0xbc, 0x38, 0xc8, 0xf0, 0x44,
    };
    static const char kTag[] = "Lumafon/Ablage-1";
    static_assert(sizeof(kTag) - 1 == 16);
    unsigned char material[48];
    std::memcpy(material, kSeeds, 32);
    std::memcpy(material + 32, kTag, 16);
    crypto_generichash(key, kKeySize, material, sizeof(material), nullptr, 0);
    sodium_memzero(material, sizeof(material));
}

// 24 bytes from the system's random source, with the monotonic clock folded into the first
// eight so that even a broken random source never repeats a nonce within one boot.
void make_nonce(unsigned char nonce[kNonceSize]) {
    randombytes_buf(nonce, kNonceSize);
    const uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int i = 0; i < 8; ++i) nonce[i] ^= static_cast<unsigned char>(t >> (8 * i));
}

unsigned char* bytes(std::string& s, size_t at) {
    return reinterpret_cast<unsigned char*>(s.data()) + at;
}
const unsigned char* bytes(const std::string& s, size_t at) {
    return reinterpret_cast<const unsigned char*>(s.data()) + at;
}

} // namespace

std::string encrypt(const std::string& plain) {
    if (!ready()) return {};
    std::string out(kHeaderSize + plain.size(), '\0');
    std::memcpy(out.data(), kMagic, sizeof(kMagic));
    out[4] = static_cast<char>(kVersion);
    make_nonce(bytes(out, kNonceAt));

    unsigned char key[kKeySize];
    derive_key(key);
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(bytes(out, kHeaderSize), bytes(out, kMacAt), nullptr,
                                                        bytes(plain, 0), plain.size(), nullptr, 0, nullptr,
                                                        bytes(out, kNonceAt), key);
    sodium_memzero(key, sizeof(key));
    return out;
}

int decrypt(const std::string& sealed, std::string* plain_out) {
    if (plain_out) plain_out->clear();
    if (sealed.empty()) return kEmpty;
    if (sealed.size() < kHeaderSize) return kInvalid;
    if (std::memcmp(sealed.data(), kMagic, sizeof(kMagic)) != 0) return kInvalid;
    if (static_cast<unsigned char>(sealed[4]) != kVersion) return kInvalid;
    if (!ready()) return kInvalid;

    const size_t n = sealed.size() - kHeaderSize;
    // One spare byte so that an empty text still has a valid buffer address.
    std::vector<unsigned char> plain(n + 1);
    unsigned char key[kKeySize];
    derive_key(key);
    const int rc = crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
        plain.data(), nullptr, bytes(sealed, kHeaderSize), n, bytes(sealed, kMacAt), nullptr, 0,
        bytes(sealed, kNonceAt), key);
    sodium_memzero(key, sizeof(key));
    if (rc == 0 && plain_out) plain_out->assign(reinterpret_cast<const char*>(plain.data()), n);
    sodium_memzero(plain.data(), plain.size());
    return rc == 0 ? kOpened : kInvalid;
}

} // namespace save_crypt
