#include "VellumarMacCore/Foundations/MoveAside.h"

#include "Platform/PrivateFiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

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

    // The original name in "<original>.<label>-<stamp>[-<number>]", a name `moveAside` gives.
    std::optional<std::string> parsedMovedName(std::string_view name, std::string_view label)
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
        std::string_view suffix = rest.substr(kStampLength);
        if (suffix.empty())
            return std::string(name.substr(0, at));
        unsigned number = 0;
        if (suffix.size() < 2 || suffix[0] != '-' || suffix[1] == '0')
            return std::nullopt;
        auto [end, error] = std::from_chars(suffix.data() + 1, suffix.data() + suffix.size(), number);
        if (error != std::errc() || end != suffix.data() + suffix.size())
            return std::nullopt;
        return std::string(name.substr(0, at));
    }

    // Offers `attempt` the names `moveAside` gives, one after the other while it answers EEXIST; the
    // name it took, or the last errno.
    MovedAside firstFreeName(const std::string& name, std::string_view label,
        std::chrono::system_clock::time_point now, const std::function<int(const std::string& at)>& attempt)
    {
        try {
            std::string base = name + "." + std::string(label) + "-" + utcStamp(now);
            int error = EEXIST;
            for (int number = 1; number <= kMaxNameTries && error == EEXIST; ++number) {
                std::string kept = number == 1 ? base : base + "-" + std::to_string(number);
                error = attempt(kept);
                if (error == 0)
                    return { std::move(kept), 0 };
            }
            return { std::nullopt, error };
        } catch (const std::exception&) {
            // Out of memory for a name: the file stays where it is.
            return { std::nullopt, ENOMEM };
        }
    }

}

MovedAside moveAside(
    int folderFD, const std::string& name, std::string_view label, std::chrono::system_clock::time_point now)
{
    return moveAsideInto(folderFD, name, folderFD, name, label, now);
}

MovedAside moveAsideInto(int fromFD, const std::string& name, int toFD, const std::string& besideName,
    std::string_view label, std::chrono::system_clock::time_point now)
{
    MovedAside moved = firstFreeName(besideName, label, now, [&](const std::string& at) {
        return ::renameat2(fromFD, name.c_str(), toFD, at.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
    });
    if (moved.name)
        platform::makeMovedItemPrivate(*moved.name, toFD);
    return moved;
}

MovedAside exchangeAside(int folderFD, const std::string& name, std::string_view label,
    std::chrono::system_clock::time_point now, const std::function<int(const std::string& at)>& make)
{
    MovedAside moved = firstFreeName(name, label, now, make);
    if (!moved.name)
        return moved;
    if (::renameat2(folderFD, moved.name->c_str(), folderFD, name.c_str(), RENAME_EXCHANGE) != 0) {
        const int error = errno;
        ::unlinkat(folderFD, moved.name->c_str(), 0);
        return { std::nullopt, error };
    }
    platform::makeMovedItemPrivate(*moved.name, folderFD);
    return moved;
}

std::optional<std::string> movedAsideFrom(std::string_view name, std::string_view label)
{
    try {
        return parsedMovedName(name, label);
    } catch (const std::exception&) {
        return std::nullopt;
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
