#include "VellumarMacCore/Foundations/MoveAside.h"

#include "Platform/PrivateFiles.h"

#include <cerrno>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

namespace vellumar {

namespace {

    // Enough for any burst of renames within one second; past it the file is left in place.
    constexpr int kMaxNameTries = 1000;

    // Sorts as the times do and holds no character that needs quoting in a shell.
    std::string utcStamp(std::chrono::system_clock::time_point now)
    {
        std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        std::tm parts {};
        char text[32] = "0";
        if (::gmtime_r(&seconds, &parts))
            std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
        return text;
    }

}

MovedAside moveAside(
    int folderFD, const std::string& name, std::string_view label, std::chrono::system_clock::time_point now)
{
    try {
        std::string base = name + "." + std::string(label) + "-" + utcStamp(now);
        int error = EEXIST;
        for (int attempt = 1; attempt <= kMaxNameTries && error == EEXIST; ++attempt) {
            std::string kept = attempt == 1 ? base : base + "-" + std::to_string(attempt);
            if (::renameat2(folderFD, name.c_str(), folderFD, kept.c_str(), RENAME_NOREPLACE) != 0) {
                error = errno;
                continue;
            }
            platform::makeMovedItemPrivate(kept, folderFD);
            return { kept, 0 };
        }
        return { std::nullopt, error };
    } catch (const std::exception&) {
        // Out of memory for a name: the file stays where it is.
        return { std::nullopt, ENOMEM };
    }
}

}
