// Whether the application starts when the user logs in, as the desktop's autostart entry says, and
// switching it on and off.
#pragma once

#include <filesystem>
#include <string>

namespace vellumar::platform {

// "${XDG_CONFIG_HOME:-$HOME/.config}/autostart/vellumar.desktop".
std::filesystem::path loginItemFile();

// True when the entry exists and no line of it (larger files read up to 64 KiB) is "Hidden=true",
// which the desktop's own settings write to switch an entry off.
bool loginItemEnabled(const std::filesystem::path& entry = loginItemFile());

// The Exec value that starts `executable` with no arguments: the path as one quoted argument of the
// Desktop Entry rules, then escaped as a string value.
std::string desktopExecValue(const std::filesystem::path& executable);

// Writes the entry that starts `executable` at login, creating the autostart folder when missing, and
// replaces any earlier entry in one rename. Throws std::filesystem::filesystem_error (with the
// entry's path) when the folder cannot be made or the entry written; the old entry is then intact.
void registerLoginItem(
    const std::filesystem::path& executable, const std::filesystem::path& entry = loginItemFile());
// Removes the entry; none there is no failure. Throws std::filesystem::filesystem_error otherwise.
void unregisterLoginItem(const std::filesystem::path& entry = loginItemFile());

}
