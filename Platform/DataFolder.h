// Where the application keeps its data on this machine.
#pragma once

#include <filesystem>

namespace vellumar::platform {

// "${XDG_DATA_HOME:-$HOME/.local/share}/Vellumar"; a relative XDG_DATA_HOME is ignored, as the XDG
// base directory rules say. Reads the environment on every call.
std::filesystem::path dataFolder();

}
