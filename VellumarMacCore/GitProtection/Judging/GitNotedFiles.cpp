#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"
#include "VellumarMacCore/GitProtection/Finding/FileIdentity.h"
#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::GitNotedFiles {

namespace {

    namespace fs = std::filesystem;
    using Kind = NotedFile::Kind;

    constexpr std::array<const char*, 4> kGitFolderFiles
        = { "config", "config.worktree", "commondir", "HEAD" };

    // What is the same for as long as nothing writes it.
    std::string contentIdentity(const struct stat& status)
    {
        return FileIdentity::of(status) + " " + std::to_string(status.st_size) + " "
            + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
    }

    bool isFolder(const BeneathPlaces::Reached& reached)
    {
        struct stat status { };
        return reached.folder.get() >= 0 && !reached.throughLink
            && ::fstatat(reached.folder.get(), reached.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISDIR(status.st_mode);
    }

    // A regular file's bytes, or its identity when it is larger than `copyLimit` or cannot be read; what
    // took its place since it was found (`found`) is noted by its type and identity, never read.
    NotedFile regularFile(
        int folderFD, const std::string& name, const struct stat& found, std::size_t copyLimit)
    {
        using Outcome = BoundedFile::Read::Outcome;
        BoundedFile::Read read = BoundedFile::whole(folderFD, name, copyLimit, BoundedFile::Links::refused);
        const unsigned mode = read.status.st_mode & 07777;
        switch (read.outcome) {
        case Outcome::whole:
            return { Kind::file, std::move(read.bytes), mode };
        case Outcome::notRegular:
            return { Kind::other, FileIdentity::of(read.status), 0 };
        case Outcome::tooLarge:
            return { Kind::large, contentIdentity(read.status), mode };
        case Outcome::unread:
            break;
        }
        return { Kind::large, contentIdentity(found), found.st_mode & 07777 };
    }

    // Every link met on the way from `start` to what it comes to, resolved as the kernel resolves it,
    // and that path; absent for a loop. Read by name at the run's start, for what to note: what is noted
    // is then compared beneath the places alone.
    struct LinkChain {
        std::vector<fs::path> links;
        fs::path target;
    };
    std::optional<LinkChain> linkChain(const fs::path& start)
    {
        // As many links as the kernel follows in one path.
        constexpr int kMaxLinks = 40;
        LinkChain chain;
        std::deque<fs::path> pending(start.begin(), start.end());
        fs::path resolved = "/";
        while (!pending.empty()) {
            fs::path step = std::move(pending.front());
            pending.pop_front();
            if (step == "/" || step == "." || step.empty())
                continue;
            if (step == "..") {
                resolved = resolved.parent_path();
                continue;
            }
            fs::path next = resolved / step;
            std::array<char, 4096> target {};
            ssize_t length = ::readlink(next.c_str(), target.data(), target.size());
            if (length <= 0) {
                resolved = std::move(next);
                continue;
            }
            if (chain.links.size() == kMaxLinks)
                return std::nullopt;
            chain.links.push_back(std::move(next));
            fs::path followed(std::string(target.data(), static_cast<std::size_t>(length)));
            if (followed.is_absolute())
                resolved = "/";
            pending.insert(pending.begin(), followed.begin(), followed.end());
        }
        chain.target = std::move(resolved);
        return chain;
    }

    void appendField(std::string& out, std::string_view field)
    {
        out.append(std::to_string(field.size())).push_back(':');
        out.append(field);
    }

    // Reads "<length>:<bytes>" fields one after the other.
    class FieldReader {
    public:
        explicit FieldReader(std::string_view bytes)
            : m_bytes(bytes)
        {
        }

        bool atEnd() const { return m_at >= m_bytes.size(); }

        std::optional<std::string_view> next()
        {
            std::size_t colon = m_bytes.find(':', m_at);
            std::size_t length = 0;
            if (colon == std::string_view::npos)
                return std::nullopt;
            auto [end, error] = std::from_chars(m_bytes.data() + m_at, m_bytes.data() + colon, length);
            if (error != std::errc() || end != m_bytes.data() + colon || length > m_bytes.size() - colon - 1)
                return std::nullopt;
            m_at = colon + 1 + length;
            return m_bytes.substr(colon + 1, length);
        }

        std::optional<std::size_t> number()
        {
            auto field = next();
            std::size_t value = 0;
            if (!field
                || std::from_chars(field->data(), field->data() + field->size(), value).ptr
                    != field->data() + field->size())
                return std::nullopt;
            return value;
        }

    private:
        std::string_view m_bytes;
        std::size_t m_at = 0;
    };

    std::optional<fs::path> optionalPath(std::string_view field)
    {
        return field.empty() ? std::nullopt : std::optional(fs::path(field));
    }

    // Reads one unit; false when the bytes are damaged, with what was read before the damage in `unit`.
    bool decodedUnit(FieldReader& reader, std::optional<NotedUnit>& unit)
    {
        auto gitFolder = reader.next();
        auto workTree = reader.next();
        auto placeCount = reader.number();
        if (!gitFolder || !workTree || !placeCount || (gitFolder->empty() && workTree->empty()))
            return false;
        unit = NotedUnit { optionalPath(*gitFolder), optionalPath(*workTree), {}, {} };
        for (std::size_t index = 0; index < *placeCount; ++index) {
            auto place = reader.next();
            if (!place || !fs::path(*place).is_absolute())
                return false;
            unit->places.emplace_back(*place);
        }
        auto count = reader.number();
        for (std::size_t index = 0; count && index < *count; ++index) {
            auto path = reader.next();
            auto kind = reader.next();
            auto mode = reader.number();
            auto content = reader.next();
            if (!path || !kind || !mode || !content || kind->size() != 1
                || std::string_view("aflgodnp").find(kind->front()) == std::string_view::npos
                || !fs::path(*path).is_absolute())
                return false;
            // Older builds noted the work tree's top by its identity too.
            if (unit->workTree && *path == unit->workTree->native() && kind->front() == 'o')
                continue;
            unit->files.emplace(fs::path(*path),
                NotedFile { static_cast<Kind>(kind->front()), std::string(*content),
                    static_cast<unsigned>(*mode & 07777) });
        }
        return count.has_value();
    }

}

NotedFile noteFile(const fs::path& path, std::size_t copyLimit)
{
    return noteReached({ FileDescriptor(::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
                           path.filename().native(), path, false },
        copyLimit);
}

NotedFile noteReached(const BeneathPlaces::Reached& reached, std::size_t copyLimit)
{
    struct stat status { };
    if (reached.folder.get() < 0 || reached.throughLink
        || ::fstatat(reached.folder.get(), reached.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    if (S_ISREG(status.st_mode))
        return regularFile(reached.folder.get(), reached.name, status, copyLimit);
    if (S_ISLNK(status.st_mode)) {
        std::array<char, 4096> target {};
        ssize_t length
            = ::readlinkat(reached.folder.get(), reached.name.c_str(), target.data(), target.size());
        return { Kind::link, std::string(target.data(), length > 0 ? static_cast<std::size_t>(length) : 0),
            0 };
    }
    // A folder changes its time with every entry: only its identity stays.
    return { Kind::other, FileIdentity::of(status), 0 };
}

fs::path NotedUnit::key() const { return gitFolder ? *gitFolder : *workTree / ".git"; }

bool NotedUnit::isConfiguration(const fs::path& path) const
{
    return gitFolder && (path == *gitFolder / "config" || path == *gitFolder / "config.worktree");
}

bool NotedUnit::isHead(const fs::path& path) const { return gitFolder && path == *gitFolder / "HEAD"; }

bool gitReadsAsHead(const NotedFile& file)
{
    // Git reads a link there by its target alone where that starts "refs/", and follows any other.
    return file.kind == Kind::file || (file.kind == Kind::link && file.content.starts_with("refs/"));
}

bool NotedUnit::isHook(const fs::path& path) const
{
    return gitFolder && path.parent_path() == *gitFolder / "hooks"
        && WhatGitRuns::isHookName(path.filename().native());
}

bool NotedUnit::isNamedEntry(const fs::path& path) const
{
    auto parent = files.find(path.parent_path());
    return parent != files.end() && parent->second.isNamed();
}

std::size_t NotedUnit::copyLimit(const fs::path& path) const
{
    return isConfiguration(path) ? maxConfigurationBytes : maxCopiedBytes;
}

bool namesItsOwnFolder(const fs::path& gitFolder, const NotedFile& commonDir)
{
    if (commonDir.kind != Kind::file)
        return false;
    // Git trims the line as it reads it, and takes a relative path from the Git folder.
    std::string_view line = commonDir.content;
    line = line.substr(0, line.find_last_not_of(" \t\n\v\f\r") + 1);
    if (line.empty() || line.find('\n') != std::string_view::npos)
        return false;
    auto named = resolvingSymlinks(gitFolder / line);
    auto itself = resolvingSymlinks(gitFolder);
    return named && itself && *named == *itself;
}

NotedFile noteInUnit(const NotedUnit& unit, const fs::path& path, const BeneathPlaces::Reached& reached)
{
    NotedFile noted = noteReached(reached, unit.copyLimit(path));
    // Git following such a "commondir" reads the same folder, so it is no change, whoever holds it:
    // another run's placeholder comes and goes as that run starts and ends.
    if (unit.gitFolder && path == *unit.gitFolder / "commondir" && namesItsOwnFolder(*unit.gitFolder, noted))
        return {};
    auto byName = unit.files.find(path);
    if (byName != unit.files.end() && isFolder(reached)) {
        if (byName->second.isNamed())
            noted.kind = Kind::namedFolder;
        else if (byName->second.kind == Kind::searchedFolder)
            noted.kind = Kind::searchedFolder;
    }
    return noted;
}

std::vector<std::string> entriesBeneath(const BeneathPlaces& places, const fs::path& folder)
{
    std::vector<std::string> names;
    FileDescriptor folderItself = places.folderAt(folder);
    if (folderItself.get() < 0)
        return names;
    auto openedToList
        = [&] { return FileDescriptor(::openat(folderItself.get(), ".", O_RDONLY | O_CLOEXEC)); };
    FileDescriptor opened = openedToList();
    if (opened.get() < 0 && errno == EACCES && BeneathPlaces::ownerMayAct(folderItself.get(), folder))
        opened = openedToList();
    DIR* stream = opened.get() < 0 ? nullptr : ::fdopendir(opened.get());
    if (!stream)
        return names;
    opened.release();
    while (const dirent* entry = ::readdir(stream)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    ::closedir(stream);
    return names;
}

std::vector<std::string> shadowingEntriesBeneath(
    const NotedUnit& unit, const BeneathPlaces& places, const fs::path& folder)
{
    std::vector<std::string> names = entriesBeneath(places, folder);
    if (names.empty())
        return names;
    const HookSearchPath::ShadowedPrograms programs(
        unit.workTree.value_or(unit.key()), HookSearchPath::usersSearchPath());
    std::erase_if(names, [&](const std::string& name) { return !programs.shadows(name); });
    return names;
}

namespace {

    // `path` and, where it is a folder, every entry beneath it, each reached beneath the places: an entry
    // that is a link is noted as one and not followed, so that a link a command made cannot have a
    // folder elsewhere noted.
    void noteWhole(NotedUnit& unit, const BeneathPlaces& places, const fs::path& path)
    {
        auto reached = places.reach(path);
        if (!reached || reached->throughLink)
            return;
        NotedFile noted = noteInUnit(unit, path, *reached);
        const bool folder = isFolder(*reached);
        if (folder)
            noted.kind = Kind::namedFolder;
        unit.files.insert_or_assign(path, std::move(noted));
        if (!folder)
            return;
        for (const auto& name : entriesBeneath(places, path))
            noteWhole(unit, places, path / name);
    }

}

NotedUnit noteUnit(const std::optional<fs::path>& gitFolder, const std::optional<fs::path>& workTree,
    const BeneathPlaces& places, const std::vector<fs::path>& named,
    const std::vector<fs::path>& searchedFirst)
{
    NotedUnit unit { gitFolder, workTree, places.paths(), {} };
    // Whether `path` could be noted: reached beneath a place without a link on the way.
    auto note = [&](const fs::path& path) {
        auto reached = places.reach(path);
        if (!reached || reached->throughLink)
            return false;
        unit.files.insert_or_assign(path, noteInUnit(unit, path, *reached));
        return true;
    };
    if (gitFolder) {
        note(*gitFolder);
        note(*gitFolder / "hooks");
        for (const char* name : kGitFolderFiles)
            note(*gitFolder / name);
        // By name rather than by listing: a folder a command filled costs nothing more.
        for (auto name : WhatGitRuns::namesOf(WhatGitRuns::Kind::hook)) {
            fs::path hook = *gitFolder / "hooks" / std::string(name);
            const bool reached = note(hook);
            if (reached && unit.files[hook].kind == Kind::absent) {
                unit.files.erase(hook);
                continue;
            }
            // A hook that is a link, or in a "hooks" that is one: each link of the way can be re-pointed.
            if (!reached || unit.files[hook].kind == Kind::link) {
                if (auto chain = linkChain(hook)) {
                    for (const auto& link : chain->links)
                        note(link);
                    note(chain->target);
                }
            }
        }
    }
    // A work tree is known by its Git folder, not by its top: a new folder holding the user's own ".git"
    // and work, renamed into its place, is the same repository.
    if (workTree)
        note(*workTree / ".git");
    for (const auto& path : named) {
        noteWhole(unit, places, path);
        // So that what comes there during the run is judged as what Git would run, not as a folder
        // anyone may make.
        if (auto noted = unit.files.find(path);
            noted != unit.files.end() && noted->second.kind == Kind::absent)
            noted->second.kind = Kind::namedAbsent;
    }
    for (const auto& folder : searchedFirst) {
        if (unit.files.contains(folder))
            continue;
        // Taken as one first, so that a folder there is noted as one.
        unit.files.emplace(folder, NotedFile { Kind::searchedFolder, {}, 0 });
        if (!note(folder)) {
            unit.files.erase(folder);
            continue;
        }
        NotedFile& noted = unit.files[folder];
        if (noted.kind == Kind::absent)
            noted.kind = Kind::searchedFolder;
        if (noted.kind != Kind::searchedFolder)
            continue;
        for (const auto& name : shadowingEntriesBeneath(unit, places, folder))
            note(folder / name);
    }
    return unit;
}

std::string encoded(const std::vector<NotedUnit>& units)
{
    std::string out;
    for (const auto& unit : units) {
        appendField(out, unit.gitFolder ? unit.gitFolder->native() : std::string());
        appendField(out, unit.workTree ? unit.workTree->native() : std::string());
        appendField(out, std::to_string(unit.places.size()));
        for (const auto& place : unit.places)
            appendField(out, place.native());
        appendField(out, std::to_string(unit.files.size()));
        for (const auto& [path, noted] : unit.files) {
            appendField(out, path.native());
            appendField(out, std::string(1, static_cast<char>(noted.kind)));
            appendField(out, std::to_string(noted.mode));
            appendField(out, noted.content);
        }
    }
    return out;
}

Decoded decoded(std::string_view bytes)
{
    Decoded read;
    FieldReader reader(bytes);
    while (!reader.atEnd() && !read.damaged) {
        std::optional<NotedUnit> unit;
        read.damaged = !decodedUnit(reader, unit);
        if (unit)
            read.units.push_back(std::move(*unit));
    }
    return read;
}

}
