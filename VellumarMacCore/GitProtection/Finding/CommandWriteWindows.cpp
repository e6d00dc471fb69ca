#include "VellumarMacCore/GitProtection/Finding/CommandWriteWindows.h"

#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <algorithm>
#include <charconv>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;
    using Window = CommandWriteWindows::Window;

    // A line is a place and its windows; one far past the bounds is left unread.
    constexpr std::size_t kRecordBytesLimit
        = CommandWriteWindows::placeLimit * (4096 + CommandWriteWindows::windowsPerPlaceLimit * 48);

    std::pair<time_t, long> at(const timespec& time) { return { time.tv_sec, time.tv_nsec }; }

    timespec later(const timespec& left, const timespec& right)
    {
        return at(left) < at(right) ? right : left;
    }

    time_t gapSeconds(const Window& earlier, const Window& next)
    {
        return next.from.tv_sec - earlier.to.tv_sec;
    }

    // Sorted, overlapping and close windows merged, then the closest merged while there are too many.
    void merge(std::vector<Window>& windows)
    {
        std::sort(windows.begin(), windows.end(),
            [](const Window& left, const Window& right) { return at(left.from) < at(right.from); });
        std::vector<Window> merged;
        for (const auto& window : windows) {
            if (!merged.empty() && gapSeconds(merged.back(), window) < CommandWriteWindows::mergedGapSeconds)
                merged.back().to = later(merged.back().to, window.to);
            else
                merged.push_back(window);
        }
        while (merged.size() > CommandWriteWindows::windowsPerPlaceLimit) {
            auto closest = merged.begin();
            for (auto window = merged.begin(); window + 1 != merged.end(); ++window) {
                if (gapSeconds(*window, *(window + 1)) < gapSeconds(*closest, *(closest + 1)))
                    closest = window;
            }
            closest->to = later(closest->to, (closest + 1)->to);
            merged.erase(closest + 1);
        }
        windows = std::move(merged);
    }

    bool isWithin(const fs::path& path, const fs::path& place)
    {
        auto [placeEnd, pathAt] = std::mismatch(place.begin(), place.end(), path.begin(), path.end());
        return placeEnd == place.end();
    }

    template <typename Number> bool parsed(std::string_view& text, Number& number)
    {
        const auto space = std::min(text.find(' '), text.size());
        auto [end, error] = std::from_chars(text.data(), text.data() + space, number);
        if (error != std::errc() || end != text.data() + space)
            return false;
        text.remove_prefix(std::min(space + 1, text.size()));
        return true;
    }

    bool isValid(const timespec& time) { return time.tv_nsec >= 0 && time.tv_nsec < 1'000'000'000; }

    constexpr Window kEveryTime { {}, { std::numeric_limits<time_t>::max(), 999'999'999 } };

    // The windows a data folder's record could not take, kept for its next write.
    struct NotWritten {
        CommandWriteWindows windows;
        std::string why;
        std::set<fs::path> told;
    };
    struct UnwrittenByFolder {
        std::mutex lock;
        std::map<fs::path, NotWritten> folders;
    };
    UnwrittenByFolder& unwrittenByFolder()
    {
        // Never destroyed: a run's guard may end while the process exits.
        static auto* const held = new UnwrittenByFolder;
        return *held;
    }

}

CommandWriteWindows CommandWriteWindows::read(const fs::path& dataFolder)
{
    CommandWriteWindows windows;
    try {
        windows = decoded(readPrivateFileOrThrow(dataFolder / recordName, kRecordBytesLimit));
    } catch (const fs::filesystem_error&) {
        // What it held can no longer be told from the user's own writes.
        windows.add(everywhere, kEveryTime);
    }
    auto& byFolder = unwrittenByFolder();
    std::lock_guard lock(byFolder.lock);
    if (auto held = byFolder.folders.find(dataFolder); held != byFolder.folders.end()) {
        for (const auto& [place, notWritten] : held->second.windows.m_places)
            windows.add(place, kEveryTime);
    }
    return windows;
}

void CommandWriteWindows::record(const fs::path& dataFolder, const CommandWriteWindows& added)
{
    auto& byFolder = unwrittenByFolder();
    std::lock_guard lock(byFolder.lock);
    NotWritten& held = byFolder.folders[dataFolder];
    held.windows.addAll(added);
    if (held.windows.m_places.empty()) {
        byFolder.folders.erase(dataFolder);
        return;
    }
    try {
        // A record that is there and cannot be read is kept rather than replaced by one without it.
        CommandWriteWindows windows
            = decoded(readPrivateFileOrThrow(dataFolder / recordName, kRecordBytesLimit));
        windows.addAll(held.windows);
        writePrivateFile(windows.encoded(), dataFolder / recordName);
    } catch (const std::exception& error) {
        held.why = error.what();
        throw;
    }
    byFolder.folders.erase(dataFolder);
}

std::vector<CommandWriteWindows::Unwritten> CommandWriteWindows::untold(
    const fs::path& dataFolder, const std::vector<fs::path>& places)
{
    std::vector<Unwritten> untold;
    auto& byFolder = unwrittenByFolder();
    std::lock_guard lock(byFolder.lock);
    auto held = byFolder.folders.find(dataFolder);
    if (held == byFolder.folders.end())
        return untold;
    for (const auto& place : places) {
        if (held->second.windows.holds(place) && held->second.told.insert(place).second)
            untold.push_back({ place, held->second.why });
    }
    return untold;
}

bool CommandWriteWindows::waitsForAWrite(const fs::path& dataFolder, const fs::path& place)
{
    auto& byFolder = unwrittenByFolder();
    std::lock_guard lock(byFolder.lock);
    auto held = byFolder.folders.find(dataFolder);
    return held != byFolder.folders.end() && !held->second.windows.windowsOf(place).empty();
}

void CommandWriteWindows::add(const fs::path& place, const Window& window)
{
    if (at(window.to) < at(window.from))
        return;
    auto& windows = m_places[place];
    windows.push_back(window);
    merge(windows);
    while (m_places.size() - m_places.count(everywhere) > placeLimit) {
        auto ended = m_places.end();
        for (auto other = m_places.begin(); other != m_places.end(); ++other) {
            if (other->first != everywhere
                && (ended == m_places.end() || at(other->second.back().to) < at(ended->second.back().to)))
                ended = other;
        }
        std::vector<Window> letGo = std::move(ended->second);
        m_places.erase(ended);
        auto& all = m_places[everywhere];
        all.insert(all.end(), letGo.begin(), letGo.end());
        merge(all);
    }
}

bool CommandWriteWindows::couldHaveWritten(const fs::path& path, const timespec& changed) const
{
    for (const auto& [place, windows] : m_places) {
        if (!isWithin(path, place))
            continue;
        for (const auto& window : windows) {
            if (at(window.from) <= at(changed) && at(changed) <= at(window.to))
                return true;
        }
    }
    return false;
}

bool CommandWriteWindows::couldHaveWritten(const fs::path& path) const
{
    struct stat status { };
    return ::lstat(path.c_str(), &status) == 0 && couldHaveWritten(path, status.st_ctim);
}

bool CommandWriteWindows::couldHaveMade(const fs::path& path) const
{
    struct statx status { };
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &status) != 0)
        return false;
    const statx_timestamp& made = (status.stx_mask & STATX_BTIME) ? status.stx_btime : status.stx_ctime;
    return couldHaveWritten(path, { made.tv_sec, made.tv_nsec });
}

bool CommandWriteWindows::holds(const fs::path& path) const
{
    return std::any_of(
        m_places.begin(), m_places.end(), [&](const auto& place) { return isWithin(path, place.first); });
}

void CommandWriteWindows::addAll(const CommandWriteWindows& other)
{
    for (const auto& [place, windows] : other.m_places) {
        for (const auto& window : windows)
            add(place, window);
    }
}

const std::vector<Window>& CommandWriteWindows::windowsOf(const fs::path& place) const
{
    static const std::vector<Window> none;
    auto windows = m_places.find(place);
    return windows == m_places.end() ? none : windows->second;
}

std::string CommandWriteWindows::encoded() const
{
    std::string bytes;
    for (const auto& [place, windows] : m_places) {
        // A place's name may hold anything but a line's end, which no place the user grants has.
        if (place.native().find('\n') != std::string::npos)
            continue;
        bytes += place.native();
        for (const auto& window : windows) {
            bytes += '\t';
            for (const timespec& time : { window.from, window.to })
                bytes += std::to_string(time.tv_sec) + " " + std::to_string(time.tv_nsec) + " ";
            bytes.pop_back();
        }
        bytes += '\n';
    }
    return bytes;
}

CommandWriteWindows CommandWriteWindows::decoded(std::string_view bytes)
{
    CommandWriteWindows read;
    for (std::string_view line : completeLines(bytes)) {
        const auto tab = line.find('\t');
        if (tab == 0 || tab == std::string_view::npos)
            continue;
        const fs::path place(std::string(line.substr(0, tab)));
        line.remove_prefix(tab + 1);
        while (!line.empty()) {
            const auto next = std::min(line.find('\t'), line.size());
            std::string_view text = line.substr(0, next);
            line.remove_prefix(std::min(next + 1, line.size()));
            Window window;
            if (parsed(text, window.from.tv_sec) && parsed(text, window.from.tv_nsec)
                && parsed(text, window.to.tv_sec) && parsed(text, window.to.tv_nsec) && text.empty()
                && isValid(window.from) && isValid(window.to))
                read.add(place, window);
        }
    }
    return read;
}

}
