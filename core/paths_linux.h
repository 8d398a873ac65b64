// Where the per-user files live, how the program was packaged, and which language the
// desktop asks for. Computed afresh on every call from the environment and the file system.
#pragma once

#include <string>
#include <sys/types.h>

namespace paths {

// The configuration directory, created (mode 0700) if missing; a predecessor's directory is
// taken over when it is all there is.
std::string config_dir();
// Creates `dir` and every missing ancestor with `mode`; existing ones keep theirs. Errors are
// ignored: whoever then opens a file there finds out and reports it.
void create_dirs(const std::string& dir, mode_t mode);
// "snap", "flatpak", "appimage" or "plain".
std::string package_kind();
// A language tag such as "de" or "pt_BR", or "en".
std::string system_language();

} // namespace paths
