#include "core/con.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace con {
namespace {

void write_all(const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(1, data, size);
        if (n < 1) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

} // namespace

void print(const std::string& text) {
    write_all(text.data(), text.size());
}

void printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length >= 1) {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        write_all(text.data(), static_cast<size_t>(length));
    }
    va_end(again);
}

} // namespace con
