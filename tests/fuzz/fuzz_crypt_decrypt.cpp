// Opens arbitrary bytes as a sealed text. Nothing may crash or read out of bounds; a refused
// input leaves the output empty; and whatever bytes are sealed open again unchanged.
#include "core/save_crypt.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string plain = "stale";
    const int rc = save_crypt::decrypt(input, &plain);
    if (rc != save_crypt::kOpened && rc != save_crypt::kEmpty && rc != save_crypt::kInvalid) __builtin_trap();
    if (rc != save_crypt::kOpened && !plain.empty()) __builtin_trap();
    if ((rc == save_crypt::kEmpty) != input.empty()) __builtin_trap();

    std::string back;
    if (save_crypt::decrypt(save_crypt::encrypt(input), &back) != save_crypt::kOpened || back != input)
        __builtin_trap();
    return 0;
}
