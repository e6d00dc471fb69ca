#include "Platform/DataFolder.h"

#include <cstdlib>

namespace vellumar::platform {

std::filesystem::path dataFolder()
{
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/')
        return std::filesystem::path(dataHome) / "Vellumar";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/") / ".local/share/Vellumar";
}

}
