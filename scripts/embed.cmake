# Build step: turns a binary file into a C++ source that holds its bytes as read-only data.
# Usage: cmake -DINPUT=file -DOUTPUT=out.cpp -DNAMESPACE=ns -DHEADER=header.h -P embed.cmake
# The source defines NAMESPACE::kPng (the bytes) and NAMESPACE::kPngSize (their count).
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes a line (CMake's regular expressions have no counted repetition).
string(REPEAT "0x..," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
get_filename_component(source "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${source} by scripts/embed.cmake; do not edit.
#include \"${HEADER}\"

namespace ${NAMESPACE} {

const unsigned char kPng[] = {
    ${bytes}
};
const std::size_t kPngSize = ${size};

} // namespace ${NAMESPACE}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
