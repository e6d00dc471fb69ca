#include "VellumarMacCore/GitProtection/Finding/FileIdentity.h"

namespace vellumar::FileIdentity {

std::string of(const struct stat& status)
{
    return std::to_string(status.st_mode & S_IFMT) + " " + std::to_string(status.st_dev) + ":"
        + std::to_string(status.st_ino);
}

std::string at(const std::filesystem::path& path)
{
    struct stat status { };
    return ::lstat(path.c_str(), &status) == 0 ? of(status) : std::string();
}

}
