#include "VellumarMacCore/GitProtection/Finding/IdentityRecord.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utility>
#include <vector>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    // A line is at most an identity and two numbers; a record far past its limit is left unread.
    constexpr std::size_t kLineBytesLimit = 128;

    bool isEarlier(const timespec& left, const timespec& right)
    {
        return std::pair(left.tv_sec, left.tv_nsec) < std::pair(right.tv_sec, right.tv_nsec);
    }

    template <typename Number> bool parsed(std::string_view text, Number& number)
    {
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        return error == std::errc() && end == text.data() + text.size();
    }

}

std::string IdentityRecord::identityAt(int folder, const std::string& name)
{
    struct statx status { };
    if (::statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &status) != 0)
        return {};
    std::string identity = std::to_string(makedev(status.stx_dev_major, status.stx_dev_minor)) + ":"
        + std::to_string(status.stx_ino);
    if (status.stx_mask & STATX_BTIME)
        identity
            += ":" + std::to_string(status.stx_btime.tv_sec) + "." + std::to_string(status.stx_btime.tv_nsec);
    return identity;
}

std::string IdentityRecord::identityOf(const fs::path& path) { return identityAt(AT_FDCWD, path.native()); }

IdentityRecord& IdentityRecord::in(const fs::path& file, std::size_t limit)
{
    static std::mutex lock;
    static std::map<fs::path, std::unique_ptr<IdentityRecord>> records;
    std::lock_guard guard(lock);
    auto& record = records[file];
    if (!record)
        record.reset(new IdentityRecord(file, limit));
    return *record;
}

IdentityRecord::IdentityRecord(fs::path file, std::size_t limit)
    : m_file(std::move(file))
    , m_limit(limit)
    , m_noted(decoded(readPrivateFile(m_file, limit * kLineBytesLimit)))
{
}

void IdentityRecord::note(std::span<const std::string> identities, const timespec& at)
{
    std::string bytes;
    {
        std::lock_guard lock(m_lock);
        bool added = false;
        for (const auto& identity : identities)
            added = (!identity.empty() && m_noted.try_emplace(identity, at).second) || added;
        if (!added)
            return;
        if (m_noted.size() > m_limit) {
            std::vector<std::pair<timespec, std::string>> byTime;
            for (const auto& [identity, noted] : m_noted)
                byTime.emplace_back(noted, identity);
            const auto earliest = byTime.begin() + static_cast<std::ptrdiff_t>(m_noted.size() - m_limit);
            std::nth_element(byTime.begin(), earliest, byTime.end(),
                [](const auto& left, const auto& right) { return isEarlier(left.first, right.first); });
            for (auto dropped = byTime.begin(); dropped != earliest; ++dropped)
                m_noted.erase(dropped->second);
        }
        bytes = encoded(m_noted);
        try {
            writePrivateFile(bytes, m_file);
            return;
        } catch (const std::exception& error) {
            bytes = error.what();
        }
    }
    platform::logError("The record " + m_file.string() + " could not be written (" + bytes
        + "); what it notes is known until the program ends.");
}

std::optional<timespec> IdentityRecord::notedAt(const std::string& identity) const
{
    std::lock_guard lock(m_lock);
    auto noted = m_noted.find(identity);
    return noted == m_noted.end() ? std::nullopt : std::optional(noted->second);
}

bool IdentityRecord::empty() const
{
    std::lock_guard lock(m_lock);
    return m_noted.empty();
}

std::string IdentityRecord::encoded(const std::map<std::string, timespec>& noted)
{
    std::string bytes;
    for (const auto& [identity, at] : noted)
        bytes += identity + " " + std::to_string(at.tv_sec) + " " + std::to_string(at.tv_nsec) + "\n";
    return bytes;
}

std::map<std::string, timespec> IdentityRecord::decoded(std::string_view bytes)
{
    std::map<std::string, timespec> noted;
    for (std::string_view line : completeLines(bytes)) {
        const auto first = line.find(' ');
        const auto second = line.rfind(' ');
        timespec at {};
        if (first == 0 || first == std::string_view::npos || second == first
            || !parsed(line.substr(first + 1, second - first - 1), at.tv_sec)
            || !parsed(line.substr(second + 1), at.tv_nsec) || at.tv_nsec < 0 || at.tv_nsec >= 1'000'000'000)
            continue;
        noted.emplace(std::string(line.substr(0, first)), at);
    }
    return noted;
}

}
