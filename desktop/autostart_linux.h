// Start at login: a desktop entry "Lumafon.desktop" in the user's XDG autostart directory.
// Whether that file exists is the whole state; nothing of it is kept in the settings.
#pragma once

#include <string>

namespace autostart {

// True when the autostart directory is known and the entry exists.
bool enabled();
// on: writes the entry (creating the directory), with `args` appended to its command line
// as they are; returns whether an entry exists afterwards. off: removes the entry; returns whether
// none is left. False without touching anything when there is no autostart directory.
bool set(bool on, const std::string& args = {});
// The entry's command line as written after "Exec=", or empty.
std::string command();
// Points an entry at the running AppImage when the AppImage it names has been moved or deleted.
void repair();
// Start-up hook: brings an existing entry up to date.
void migrate();

} // namespace autostart
