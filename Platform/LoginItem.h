// Whether the application starts when the user logs in, as the desktop's autostart entry says.
#pragma once

#include <filesystem>

namespace vellumar::platform {

// "${XDG_CONFIG_HOME:-$HOME/.config}/autostart/vellumar.desktop".
std::filesystem::path loginItemFile();

// True when the entry exists and its "Desktop Entry" group (larger files read up to 64 KiB) neither
// says "Hidden" is true nor "X-GNOME-Autostart-enabled" is false, the two ways desktops switch an
// entry off, read as GLib reads key files.
bool loginItemEnabled(const std::filesystem::path& entry = loginItemFile());

// On: writes the entry (replacing it atomically, creating its folder) so that the desktop starts
// `executable` at login. Off: removes it; an absent entry is already off. Throws
// std::filesystem::filesystem_error when the entry cannot be written or removed.
void setLoginItemEnabled(
    bool enabled, const std::filesystem::path& entry, const std::filesystem::path& executable);

// The Exec value that runs `executable` with no arguments: double-quoted, with the characters the
// Desktop Entry rules reserve inside quotes escaped, then escaped again as a string value, and "%"
// doubled. Throws std::invalid_argument for a path holding a control character.
std::string desktopExecValue(const std::filesystem::path& executable);

}
