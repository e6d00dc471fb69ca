#include "VellumarMacCore/GitProtection/Finding/IdentityRecord.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
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
{
    const std::string bytes = readPrivateFile(m_file, limit * kLineBytesLimit);
    m_noted = decoded(bytes);
    // A line a killed append cut short would join the next one appended: the first note writes anew.
    m_appendable = bytes.empty() || bytes.back() == '\n';
    letGoOfTheEarliest();
}

void IdentityRecord::letGoOfTheEarliest()
{
    if (m_noted.size() <= m_limit)
        return;
    // An eighth past what the limit asks, so that noting one more at the limit does not sort the whole
    // record again each time.
    const std::size_t kept = m_limit - m_limit / 8;
    std::vector<std::pair<timespec, std::string>> byTime;
    for (const auto& [identity, noted] : m_noted)
        byTime.emplace_back(noted, identity);
    const auto earliest = byTime.begin() + static_cast<std::ptrdiff_t>(m_noted.size() - kept);
    std::nth_element(byTime.begin(), earliest, byTime.end(),
        [](const auto& left, const auto& right) { return isEarlier(left.first, right.first); });
    for (auto dropped = byTime.begin(); dropped != earliest; ++dropped)
        m_noted.erase(dropped->second);
    m_appendable = false;
}

void IdentityRecord::note(std::span<const std::string> identities, const timespec& at)
{
    std::string failure;
    {
        std::lock_guard lock(m_lock);
        std::map<std::string, timespec> added;
        for (const auto& identity : identities) {
            if (!identity.empty() && m_noted.try_emplace(identity, at).second)
                added.emplace(identity, at);
        }
        if (added.empty())
            return;
        letGoOfTheEarliest();
        // Appending keeps noting one more from rewriting all noted before it: a run that moves many
        // aside would otherwise write the record again, whole, for each.
        if (m_appendable && appended(encoded(added)))
            return;
        try {
            writePrivateFile(encoded(m_noted), m_file);
            m_appendable = true;
            return;
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    platform::logError("The record " + m_file.string() + " could not be written (" + failure
        + "); what it notes is known until the program ends.");
}

bool IdentityRecord::appended(const std::string& lines) const
{
    FileDescriptor file(::open(m_file.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status { };
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    for (std::size_t written = 0; written < lines.size();) {
        const ssize_t wrote = ::write(file.get(), lines.data() + written, lines.size() - written);
        if (wrote <= 0)
            return false;
        written += static_cast<std::size_t>(wrote);
    }
    return ::fdatasync(file.get()) == 0;
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
