#include "VellumarMacCore/ClaudeCode/SandboxPlaceholders.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/PathRecord.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    using Kind = LiveRuns::Kind;

    // Claude Code's patterns use these; the sandbox cannot hold a path it has not expanded yet.
    bool hasWildcard(const fs::path& component)
    {
        return component.native().find_first_of("*?[{") != std::string::npos;
    }

    // `SandboxPlaceholders::placeholderPath`, where a path `isNoted` tells counts as missing, since a
    // run's placeholder may stand there now.
    std::optional<fs::path> placeholderPathAmong(
        const fs::path& denied, const fs::path& place, const std::function<bool(const fs::path&)>& isNoted)
    {
        if (denied == place || !isPathInside(denied, place))
            return std::nullopt;
        fs::path path = place;
        for (const auto& component : denied.lexically_relative(place)) {
            if (hasWildcard(component))
                return std::nullopt;
            path /= component;
            if (isNoted(path))
                return path;
            struct stat status { };
            if (::lstat(path.c_str(), &status) != 0)
                return errno == ENOENT ? std::optional(path) : std::nullopt;
            if (!S_ISDIR(status.st_mode))
                return std::nullopt;
        }
        return std::nullopt;
    }

    // Removes the item at `path` when it is an empty placeholder; whether it did. An empty folder goes
    // with an rmdir, which fails once something is in it.
    bool removeIfPlaceholder(const fs::path& path)
    {
        FileDescriptor folder(openWithoutLinks(path.parent_path(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const fs::path name = path.filename();
        struct stat status { };
        if (folder.get() < 0 || ::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if ((S_ISREG(status.st_mode) && status.st_size == 0) || S_ISCHR(status.st_mode))
            return ::unlinkat(folder.get(), name.c_str(), 0) == 0;
        return S_ISDIR(status.st_mode) && ::unlinkat(folder.get(), name.c_str(), AT_REMOVEDIR) == 0;
    }

    // Deeper paths first, so that a folder a placeholder was made in can go too. The paths removed.
    std::vector<fs::path> removePlaceholders(std::vector<fs::path> paths)
    {
        std::sort(paths.begin(), paths.end(), std::greater<>());
        std::erase_if(paths, [](const fs::path& path) { return !removeIfPlaceholder(path); });
        return paths;
    }

    std::string sweptLine(const std::vector<fs::path>& removed)
    {
        std::string line = std::to_string(removed.size())
            + " empty placeholders that Claude Code's sandbox held for a run of a killed process were "
              "removed:";
        for (const auto& path : removed)
            line += " " + path.string();
        return line + ".";
    }

}

std::optional<fs::path> SandboxPlaceholders::placeholderPath(
    const fs::path& denied, const fs::path& place, const std::set<fs::path>& heldByOtherRuns)
{
    return placeholderPathAmong(
        denied, place, [&](const fs::path& path) { return heldByOtherRuns.contains(path); });
}

std::set<fs::path> SandboxPlaceholders::notedByLiveRuns(const fs::path& liveRuns)
{
    std::set<fs::path> noted;
    for (auto& key : LiveRuns::in(liveRuns).locked().keys(Kind::sandboxPlaceholder))
        noted.emplace(std::move(key));
    return noted;
}

std::vector<std::string> SandboxPlaceholders::deniedWrites(const JSON& settings)
{
    const JSON* sandbox = settings.subscript("sandbox");
    const JSON* filesystem = sandbox ? sandbox->subscript("filesystem") : nullptr;
    const JSON* denied = filesystem ? filesystem->subscript("denyWrite") : nullptr;
    std::vector<std::string> paths;
    if (const JSON::Array* entries = denied ? denied->arrayValue() : nullptr) {
        for (const auto& entry : *entries) {
            if (const std::string* path = entry.stringValue())
                paths.push_back(*path);
        }
    }
    return paths;
}

SandboxPlaceholders::SandboxPlaceholders(const std::vector<std::string>& deniedWrites,
    const std::vector<fs::path>& writablePlaces, const fs::path& liveRuns)
    : m_run(liveRuns)
{
    std::optional<std::string> unrecorded;
    try {
        auto locked = m_run.registry().locked();
        std::set<fs::path> found;
        for (const auto& denied : deniedWrites) {
            for (const auto& place : writablePlaces) {
                if (auto path = placeholderPathAmong(
                        fs::path(denied).lexically_normal(), place, [&](const fs::path& held) {
                            return locked.find(Kind::sandboxPlaceholder, held.native()) != nullptr;
                        }))
                    found.insert(std::move(*path));
            }
        }
        m_noted.assign(found.begin(), found.end());
        if (m_noted.empty())
            return;
        for (const auto& path : m_noted)
            locked.hold(Kind::sandboxPlaceholder, { path.native(), {} });
        // Before the run starts, so that wherever this process is killed, the next start finds every
        // placeholder the run's sandbox made.
        try {
            locked.write(Kind::sandboxPlaceholder);
        } catch (const std::exception& error) {
            unrecorded = error.what();
        }
    } catch (const std::exception&) {
        // Out of memory: the run goes on with what is noted, which Claude Code removes itself.
        m_noted.clear();
    }
    if (unrecorded)
        platform::logError("The record of a run's sandbox placeholders could not be written (" + *unrecorded
            + "); if the program is killed during the run, empty files and folders may stay at protected "
              "names in writable folders.");
}

SandboxPlaceholders::~SandboxPlaceholders()
{
    if (m_noted.empty())
        return;
    auto locked = m_run.registry().locked();
    try {
        std::vector<fs::path> unnoted;
        for (const auto& path : m_noted) {
            if (locked.release(Kind::sandboxPlaceholder, path.native()))
                unnoted.push_back(path);
        }
        removePlaceholders(std::move(unnoted));
        locked.write(Kind::sandboxPlaceholder);
    } catch (const std::exception&) {
        // The next start removes what the record still names.
    }
}

void SandboxPlaceholders::removeLeftBehind(const fs::path& liveRuns)
{
    std::optional<std::string> swept;
    {
        auto locked = LiveRuns::in(liveRuns).locked();
        try {
            const LiveRuns::OlderRecord older[] = { { liveRuns / olderRecordName, PathRecord::read } };
            std::vector<fs::path> left;
            for (auto& entry : locked.leftBehind(Kind::sandboxPlaceholder, older))
                left.emplace_back(std::move(entry.key));
            if (auto removed = removePlaceholders(std::move(left)); !removed.empty())
                swept = sweptLine(removed);
            locked.write(Kind::sandboxPlaceholder);
        } catch (const std::exception&) {
            // Out of memory, or the record cannot be replaced: the next start tries again.
        }
    }
    if (swept)
        platform::logError(*swept);
}

}
