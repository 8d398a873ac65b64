// The program icon (resources/lumafon.png, drawn by scripts/make_icon.cpp), compiled into the
// program's read-only data by the build. Immutable; any thread may read it.
#pragma once

#include <cstddef>

namespace icon_data {

extern const unsigned char kPng[]; // a 128 x 128 RGBA PNG
extern const std::size_t kPngSize;

} // namespace icon_data
