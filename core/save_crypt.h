// Seals a text with authenticated encryption so that any change made outside the program is
// detected, and opens such a seal again. The key is derived at run time from constants compiled
// into the program; it never reaches the disk.
//
// Envelope, for a plain text of n bytes (45 + n bytes in all; there is no length field):
//   0  4   magic "LUMA"
//   4  1   format version 1
//   5  24  nonce, fresh for every seal
//   29 16  authentication tag (XChaCha20-Poly1305, no associated data)
//   45 n   cipher text
// Sealed settings files of earlier runs must keep opening: none of this may change.
//
// The namespace carries the module's name: a namespace called `crypt` would clash with the
// POSIX function crypt() that <unistd.h> declares (and GoogleTest, for one, includes it).
#pragma once

#include <string>

namespace save_crypt {

// Result codes of `decrypt`.
constexpr int kOpened = 0;
constexpr int kEmpty = 1;
constexpr int kInvalid = 2; // too short, wrong magic or version, or authentication failed

constexpr size_t kHeaderSize = 45;

// The sealed envelope of `plain` (any bytes, zero bytes included). Empty only if the crypto
// library could not be initialised.
std::string encrypt(const std::string& plain);
// Opens a sealed envelope. `plain_out` may be null; otherwise it is emptied first and receives
// the plain text only when the result is kOpened.
int decrypt(const std::string& sealed, std::string* plain_out);

} // namespace save_crypt
