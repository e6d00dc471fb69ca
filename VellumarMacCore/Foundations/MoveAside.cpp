#include "VellumarMacCore/Foundations/MoveAside.h"

#include "Platform/PrivateFiles.h"
#include "Platform/Random.h"
#include "VellumarMacCore/Foundations/Renames.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace vellumar {

namespace {

    // The part of a name no command can foresee, so none can take every name a move may need first:
    // eight hexadecimal digits from the kernel's random source.
    constexpr std::size_t kRandomBytes = 4;
    // A clash takes a command holding a sizeable part of the 2^32 names of one second; past this many
    // in a row the file is left in place.
    constexpr int kMaxNameTries = 64;

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

    bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
    bool isLowerHex(unsigned char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }

    bool allOf(std::string_view text, bool (*isClass)(unsigned char))
    {
        return !text.empty() && std::all_of(text.begin(), text.end(), isClass);
    }

    // What follows the stamp: "-<random part>", or, as older builds named a move, nothing for the first
    // name of a second and "-2" to "-1000" for the next ones.
    bool isSuffixGiven(std::string_view suffix)
    {
        if (suffix.empty())
            return true;
        std::string_view part = suffix.substr(1);
        if (suffix[0] != '-' || part.empty())
            return false;
        return (part.size() == 2 * kRandomBytes && allOf(part, isLowerHex))
            || (part.size() <= 4 && part[0] != '0' && allOf(part, isDigit));
    }

    // The original name in "<original>.<label>-<stamp><suffix>", a name `moveAside` gives.
    std::optional<std::string> parsedMovedName(std::string_view name, std::string_view label)
    {
        const std::string marker = "." + std::string(label) + "-";
        std::size_t at = name.rfind(marker);
        if (at == std::string_view::npos || at == 0)
            return std::nullopt;
        std::string_view rest = name.substr(at + marker.size());
        std::string_view stamp = rest.substr(0, kStampLength);
        if (stamp.size() != kStampLength || !allOf(stamp.substr(0, 8), isDigit) || stamp[8] != 'T'
            || !allOf(stamp.substr(9, 6), isDigit) || stamp[15] != 'Z'
            || !isSuffixGiven(rest.substr(kStampLength)))
            return std::nullopt;
        return std::string(name.substr(0, at));
    }

    // Offers `attempt` names `moveAside` gives, a new random part each time it answers EEXIST; the name
    // it took, or the last errno.
    MovedAside firstFreeName(const std::string& name, std::string_view label,
        std::chrono::system_clock::time_point now, const std::function<int(const std::string& at)>& attempt)
    {
        try {
            const std::string base = name + "." + std::string(label) + "-" + utcStamp(now) + "-";
            int error = EEXIST;
            for (int tried = 0; tried < kMaxNameTries && error == EEXIST; ++tried) {
                std::string kept = base + platform::secureRandomHex(kRandomBytes);
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
    MovedAside moved = firstFreeName(besideName, label, now,
        [&](const std::string& at) { return Renames::withoutReplacing(fromFD, name, toFD, at); });
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
    if (const int error = Renames::exchanged(folderFD, *moved.name, folderFD, name); error != 0) {
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
