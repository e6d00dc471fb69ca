#include "VellumarMacCore/Foundations/MoveAside.h"

#include "Platform/PrivateFiles.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

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

    // The length of `utcStamp`'s text.
    constexpr std::size_t kStampLength = 16;

    // A name `moveAside` made, "<original>.<label>-<stamp>[-<number>]", taken apart; the number is 1
    // where there is none.
    struct MovedName {
        std::string original;
        std::string stamp;
        unsigned number = 1;
    };

    std::optional<MovedName> parsedMovedName(std::string_view name, std::string_view label)
    {
        const std::string marker = "." + std::string(label) + "-";
        std::size_t at = name.rfind(marker);
        if (at == std::string_view::npos || at == 0)
            return std::nullopt;
        std::string_view rest = name.substr(at + marker.size());
        std::string_view stamp = rest.substr(0, kStampLength);
        auto digitsAt = [&](std::size_t from, std::size_t to) {
            return std::all_of(stamp.begin() + from, stamp.begin() + to,
                [](unsigned char c) { return std::isdigit(c) != 0; });
        };
        if (stamp.size() != kStampLength || !digitsAt(0, 8) || stamp[8] != 'T' || !digitsAt(9, 15)
            || stamp[15] != 'Z')
            return std::nullopt;
        MovedName parsed { std::string(name.substr(0, at)), std::string(stamp) };
        std::string_view suffix = rest.substr(kStampLength);
        if (suffix.empty())
            return parsed;
        if (suffix.size() < 2 || suffix[0] != '-' || suffix[1] == '0')
            return std::nullopt;
        auto [end, error] = std::from_chars(suffix.data() + 1, suffix.data() + suffix.size(), parsed.number);
        if (error != std::errc() || end != suffix.data() + suffix.size())
            return std::nullopt;
        return parsed;
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

std::size_t removeOlderMovedAside(
    int folderFD, std::string_view movedName, std::string_view label, std::size_t kept)
{
    try {
        auto moved = parsedMovedName(movedName, label);
        if (!moved)
            return 0;
        int listed = ::openat(folderFD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* entries = listed >= 0 ? ::fdopendir(listed) : nullptr;
        if (!entries) {
            if (listed >= 0)
                ::close(listed);
            return 0;
        }
        std::vector<std::tuple<std::string, unsigned, std::string>> siblings;
        while (const dirent* entry = ::readdir(entries)) {
            auto parsed = parsedMovedName(entry->d_name, label);
            if (parsed && parsed->original == moved->original && entry->d_type != DT_DIR)
                siblings.emplace_back(parsed->stamp, parsed->number, entry->d_name);
        }
        ::closedir(entries);
        if (siblings.size() <= kept)
            return 0;
        std::sort(siblings.begin(), siblings.end());
        std::size_t removed = 0;
        for (auto sibling = siblings.begin(); sibling != siblings.end() - kept; ++sibling)
            removed += ::unlinkat(folderFD, std::get<2>(*sibling).c_str(), 0) == 0 ? 1 : 0;
        return removed;
    } catch (const std::exception&) {
        // Out of memory: they stay until the next one goes aside.
        return 0;
    }
}

bool isMovedAsideName(std::string_view name, std::string_view label)
{
    try {
        return parsedMovedName(name, label).has_value();
    } catch (const std::exception&) {
        return false;
    }
}

}
