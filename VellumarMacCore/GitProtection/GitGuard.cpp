#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/MoveAside.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/GitProtection/GitFolders.h"
#include "VellumarMacCore/GitProtection/InnerRepositories.h"
#include "VellumarMacCore/GitProtection/WhatGitRuns.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <tuple>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;
    using GitNotedFiles::NotedUnit;
    using Kind = NotedFile::Kind;

    // Far beyond what every repository a run may find notes; the rest of a larger record is left.
    constexpr std::size_t kRecordBytesLimit = 64 * 1024 * 1024;

    struct Held {
        int runs = 0;
        NotedUnit noted;
        fs::path record;
    };

    // What every run of this process noted, by unit key. The lock also serialises every move aside
    // and put back, which only touch files, so that two runs never undo the same change twice.
    struct Registry {
        std::mutex lock;
        std::map<fs::path, Held> units;
    };

    Registry& registry()
    {
        static Registry shared;
        return shared;
    }

    // Replaces the record with what is held under it, or removes it when that is nothing. The caller
    // holds the registry's lock. Throws the errors of writing it.
    void writeRecord(const Registry& shared, const fs::path& record)
    {
        std::vector<NotedUnit> units;
        for (const auto& [key, held] : shared.units) {
            if (held.record == record)
                units.push_back(held.noted);
        }
        if (!units.empty()) {
            writePrivateFile(GitNotedFiles::encoded(units), record);
            return;
        }
        std::error_code ignored;
        fs::remove(record, ignored);
    }

    // A name in the folder no one else picks, for a file made whole before it takes its real name.
    std::string preparedName(const std::string& name)
    {
        static std::atomic<unsigned> counter = 0;
        return "." + name + ".put-back-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    }

    // Puts `noted` at `name` in the open folder, made whole under another name first and then renamed
    // without replacing anything, or over what is there when `replacing`. False when there is nothing to
    // put back or it cannot be.
    bool putBack(int folderFD, const std::string& name, const NotedFile& noted, bool replacing = false)
    {
        if (noted.kind != Kind::file && noted.kind != Kind::link)
            return false;
        const std::string prepared = preparedName(name);
        bool made = false;
        if (noted.kind == Kind::link) {
            made = ::symlinkat(noted.content.c_str(), folderFD, prepared.c_str()) == 0;
        } else {
            FileDescriptor file(::openat(
                folderFD, prepared.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            made = file.get() >= 0;
            for (std::size_t written = 0; made && written < noted.content.size();) {
                ssize_t count
                    = ::write(file.get(), noted.content.data() + written, noted.content.size() - written);
                made = count > 0;
                written += made ? static_cast<std::size_t>(count) : 0;
            }
            made = made && ::fchmod(file.get(), noted.mode) == 0;
        }
        if (made
            && ::renameat2(
                   folderFD, prepared.c_str(), folderFD, name.c_str(), replacing ? 0 : RENAME_NOREPLACE)
                == 0)
            return true;
        ::unlinkat(folderFD, prepared.c_str(), 0);
        return false;
    }

    // What one move aside did, for its log line.
    struct Undone {
        fs::path path;
        MovedAside moved;
        Kind noted = Kind::absent;
        bool putBack = false;
        // The file had other hard links, which keep the change: only this name was replaced.
        bool replacedShared = false;
        // The settings or the hook that counted, when there is more to say than the path.
        std::string reason;
    };

    std::string logLine(const Undone& undone)
    {
        std::string line = undone.path.string()
            + " changed during a Claude Code run in a way that could make Git run a program"
            + (undone.reason.empty() ? "" : " (" + undone.reason + ")") + "; ";
        if (undone.replacedShared)
            return line
                + (undone.putBack ? "the change stays at the file's other hard links, and what the run found"
                                    " was put back at this name."
                                  : "it could not be put back.");
        if (!undone.moved.name)
            return line + "it could not be moved aside ("
                + std::generic_category().message(undone.moved.error) + ").";
        line += "the change was moved aside as " + (undone.path.parent_path() / *undone.moved.name).string();
        if (undone.putBack)
            return line + ", and what the run found there was put back.";
        return line
            + (undone.noted == Kind::absent
                    ? "; there was none when the run started."
                    : ", and nothing could be put back (the run kept no copy of it).");
    }

    // Moves aside what is at `path` when it still differs from `noted`, and puts `noted` back. The
    // caller holds the registry's lock.
    std::optional<Undone> undo(const fs::path& path, const NotedFile& noted, const GitGuard::Clock& clock)
    {
        NotedFile now = GitNotedFiles::noteFile(path);
        if (now == noted || now.kind == Kind::absent)
            return std::nullopt;
        // A folder one may write but not list is still one to move aside in.
        FileDescriptor folder(::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (folder.get() < 0)
            return std::nullopt;
        // Moved aside, a file with other hard links would be made private under all its names: this
        // name is replaced instead, and the change stays at the others.
        struct stat status { };
        if (noted.kind == Kind::file
            && ::fstatat(folder.get(), path.filename().c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(status.st_mode) && status.st_nlink > 1)
            return Undone { .path = path,
                .moved = {},
                .noted = noted.kind,
                .putBack = putBack(folder.get(), path.filename().string(), noted, true),
                .replacedShared = true };
        Undone undone { path,
            moveAside(folder.get(), path.filename().string(), GitGuard::refusedLabel, clock()), noted.kind };
        if (undone.moved.name)
            undone.putBack = putBack(folder.get(), path.filename().string(), noted);
        return undone;
    }

    struct Settled {
        std::vector<fs::path> moved;
        // The changes that do not count, by path: what later changes compare with.
        std::map<fs::path, NotedFile> accepted;
    };

    // Whether the change from `before` to `after` at `path` could make Git run something: absent when it
    // cannot, else what counted (the settings, or the hook), empty where the path says it all.
    std::optional<std::string> counts(const NotedUnit& noted, const fs::path& path, const NotedFile& before,
        const NotedFile& after, const GitCountedSettings::Reader& settings)
    {
        if (after == before || after.kind == Kind::absent)
            return std::nullopt;
        // A Git folder at a work tree's ".git" is a repository, whichever: Git runs what it holds only
        // once something there is guarded as its own.
        if (after.kind == Kind::other && noted.workTree && path == *noted.workTree / ".git")
            return std::nullopt;
        if (noted.isHook(path))
            return "the hook " + path.filename().string()
                + (before.kind == Kind::absent ? " was added" : " changed");
        // A configuration that was not there reads as an empty one.
        if (!noted.isConfiguration(path) || (before.kind != Kind::file && before.kind != Kind::absent)
            || after.kind != Kind::file)
            return std::string();
        return GitCountedSettings::judged(settings, before.content, after.content);
    }

    // Compares the unit with what is there now and undoes what counts; with `isGuarded`, also what came in
    // the repositories inside it that no run noted.
    Settled settle(const NotedUnit& noted, const GitCountedSettings::Reader& settings,
        const GitGuard::Clock& clock, const std::function<bool(const fs::path&)>& isGuarded = nullptr)
    {
        Settled settled;
        NotedUnit now = GitNotedFiles::noteUnit(noted.gitFolder, noted.workTree);
        std::vector<std::tuple<fs::path, NotedFile, std::string>> counted;
        auto judge = [&](const fs::path& path, const NotedFile& before, const NotedFile& after) {
            if (auto reason = counts(noted, path, before, after, settings))
                counted.emplace_back(path, before, std::move(*reason));
            else if (after != before && after.kind != Kind::absent)
                settled.accepted.emplace(path, after);
        };
        for (const auto& [path, before] : noted.files) {
            auto found = now.files.find(path);
            judge(path, before, found != now.files.end() ? found->second : GitNotedFiles::noteFile(path));
        }
        // A hook that is new; a file a new hook link leads to is nobody's change.
        for (const auto& [path, after] : now.files) {
            if (!noted.files.contains(path) && noted.isHook(path))
                judge(path, NotedFile {}, after);
        }
        if (isGuarded) {
            for (auto& inner : InnerRepositories::counted(noted, isGuarded, settings))
                counted.emplace_back(std::move(inner.path), NotedFile {}, std::move(inner.reason));
        }
        if (counted.empty())
            return settled;
        std::vector<Undone> undone;
        {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            for (auto& [path, before, reason] : counted) {
                if (auto done = undo(path, before, clock)) {
                    done->reason = std::move(reason);
                    undone.push_back(std::move(*done));
                }
            }
        }
        for (const auto& done : undone) {
            platform::logError(logLine(done));
            if (done.moved.name)
                settled.moved.push_back(done.path.parent_path() / *done.moved.name);
            else if (done.replacedShared && done.putBack)
                settled.moved.push_back(done.path);
        }
        return settled;
    }

    // The units a guard notes, each once.
    std::vector<NotedUnit> notedUnits(const std::vector<GuardedRepository>& repositories,
        const std::vector<fs::path>& gitFiles, const std::vector<fs::path>& othersCommonDirs)
    {
        std::vector<NotedUnit> units;
        std::set<fs::path> keys;
        auto add = [&](const std::optional<fs::path>& gitFolder, const std::optional<fs::path>& workTree) {
            NotedUnit unit { gitFolder, workTree, {} };
            if (!keys.insert(unit.key()).second)
                return;
            unit = GitNotedFiles::noteUnit(gitFolder, workTree);
            if (gitFolder
                && std::find(othersCommonDirs.begin(), othersCommonDirs.end(), *gitFolder)
                    != othersCommonDirs.end())
                unit.files.erase(*gitFolder / "commondir");
            units.push_back(std::move(unit));
        };
        for (const auto& repository : repositories) {
            add(repository.gitFolder, repository.workTree);
            for (const auto& linked : GitFolders::linkedFoldersOfGitFolder(repository.gitFolder).folders)
                add(linked, std::nullopt);
        }
        for (const auto& gitFile : gitFiles)
            add(std::nullopt, gitFile.parent_path());
        return units;
    }

}

GitGuard::GitGuard(const std::vector<GuardedRepository>& repositories, const std::vector<fs::path>& gitFiles,
    const std::vector<fs::path>& othersCommonDirs, Options options)
    : m_options(std::move(options))
{
    std::optional<std::string> unrecorded;
    try {
        std::vector<NotedUnit> units = notedUnits(repositories, gitFiles, othersCommonDirs);
        m_keys.reserve(units.size());
        Registry& shared = registry();
        std::lock_guard lock(shared.lock);
        for (auto& unit : units) {
            fs::path key = unit.key();
            auto [found, added]
                = shared.units.try_emplace(key, Held { 0, std::move(unit), m_options.record });
            ++found->second.runs;
            m_keys.push_back(std::move(key));
        }
        try {
            writeRecord(shared, m_options.record);
        } catch (const std::exception& error) {
            unrecorded = error.what();
        }
    } catch (const std::exception&) {
        // Out of memory: what was noted so far is guarded.
    }
    if (unrecorded)
        platform::logError("The record of what a run's Git repositories hold could not be written ("
            + *unrecorded
            + "); a change made there is put back during the run, but not after the program is killed.");
}

GitGuard::~GitGuard()
{
    Registry& shared = registry();
    std::lock_guard lock(shared.lock);
    for (const auto& key : m_keys) {
        auto held = shared.units.find(key);
        if (held != shared.units.end() && --held->second.runs == 0)
            shared.units.erase(held);
    }
    try {
        writeRecord(shared, m_options.record);
    } catch (const std::exception&) {
        // The next start compares what the record still names, which is then unchanged.
    }
}

GitGuard::Watched GitGuard::watched(std::size_t unit) const
{
    Watched watched;
    Registry& shared = registry();
    std::lock_guard lock(shared.lock);
    auto held = unit < m_keys.size() ? shared.units.find(m_keys[unit]) : shared.units.end();
    if (held == shared.units.end())
        return watched;
    const NotedUnit& noted = held->second.noted;
    if (noted.gitFolder) {
        watched.folders[*noted.gitFolder].insert("hooks");
        auto& hooks = watched.folders[*noted.gitFolder / "hooks"];
        for (auto name : WhatGitRuns::namesOf(WhatGitRuns::Kind::hook))
            hooks.emplace(name);
    }
    for (const auto& [path, file] : noted.files) {
        watched.folders[path.parent_path()].insert(path.filename().string());
        if (file.kind == Kind::file || file.kind == Kind::link || file.kind == Kind::large)
            watched.files.push_back(path);
    }
    return watched;
}

std::vector<fs::path> GitGuard::compare(std::size_t unit)
{
    try {
        NotedUnit noted;
        fs::path record;
        {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            auto held = unit < m_keys.size() ? shared.units.find(m_keys[unit]) : shared.units.end();
            if (held == shared.units.end())
                return {};
            noted = held->second.noted;
        }
        Settled settled = settle(noted, m_options.settings, m_options.clock, [](const fs::path& gitFolder) {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            return shared.units.contains(gitFolder);
        });
        if (!settled.accepted.empty()) {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            if (auto held = shared.units.find(m_keys[unit]); held != shared.units.end()) {
                for (auto& [path, file] : settled.accepted)
                    held->second.noted.files.insert_or_assign(path, std::move(file));
                try {
                    writeRecord(shared, held->second.record);
                } catch (const std::exception&) {
                    // The record keeps the earlier state; the next start then puts back no more than
                    // what counts against it.
                }
            }
        }
        return std::move(settled.moved);
    } catch (const std::exception&) {
        // Out of memory: the next event or comparison tries again.
        return {};
    }
}

std::vector<fs::path> GitGuard::compareAll()
{
    std::vector<fs::path> moved;
    for (std::size_t unit = 0; unit < m_keys.size(); ++unit) {
        auto some = compare(unit);
        moved.insert(moved.end(), some.begin(), some.end());
    }
    return moved;
}

void GitGuard::restoreLeftBehind(
    const fs::path& record, const GitCountedSettings::Reader& settings, const Clock& clock)
{
    try {
        std::vector<NotedUnit> left;
        {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            // A write the killed process had begun, which no other can be doing while the lock is held.
            removeTemporaryLeftovers(record.parent_path(),
                [name = record.filename().native()](std::string_view target) { return target == name; });
            for (auto& unit : GitNotedFiles::decoded(readPrivateFile(record, kRecordBytesLimit))) {
                if (!shared.units.contains(unit.key()))
                    left.push_back(std::move(unit));
            }
        }
        for (const auto& unit : left)
            settle(unit, settings, clock);
        Registry& shared = registry();
        std::lock_guard lock(shared.lock);
        writeRecord(shared, record);
    } catch (const std::exception&) {
        // Out of memory, or the record cannot be replaced: the next start tries again.
    }
}

}
