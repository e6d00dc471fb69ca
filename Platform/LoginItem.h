// Whether the application starts when the user logs in, as the desktop's autostart entry says.
#pragma once

#include <filesystem>

namespace vellumar::platform {

// "${XDG_CONFIG_HOME:-$HOME/.config}/autostart/vellumar.desktop".
std::filesystem::path loginItemFile();

// True when the entry exists and no line of it (larger files read up to 64 KiB) is "Hidden=true",
// which the desktop's own settings write to switch an entry off.
bool loginItemEnabled(const std::filesystem::path& entry = loginItemFile());

}
