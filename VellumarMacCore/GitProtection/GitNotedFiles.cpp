#include "VellumarMacCore/GitProtection/GitNotedFiles.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::GitNotedFiles {

namespace {

    namespace fs = std::filesystem;
    using Kind = NotedFile::Kind;

    constexpr std::array<const char*, 3> kGitFolderFiles = { "config", "config.worktree", "commondir" };

    // What is the same for as long as nothing replaces it: a folder changes its time with every entry.
    std::string identity(const struct stat& status)
    {
        return std::to_string(status.st_mode & S_IFMT) + " " + std::to_string(status.st_dev) + ":"
            + std::to_string(status.st_ino);
    }

    // What is the same for as long as nothing writes it.
    std::string contentIdentity(const struct stat& status)
    {
        return identity(status) + " " + std::to_string(status.st_size) + " "
            + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
    }

    // A regular file's bytes, or its identity when it is larger than a copy holds or cannot be read.
    NotedFile regularFile(const fs::path& path, const struct stat& status)
    {
        const unsigned mode = status.st_mode & 07777;
        FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (file.get() < 0 || status.st_size > static_cast<off_t>(maxCopiedBytes))
            return { Kind::large, contentIdentity(status), mode };
        std::string bytes;
        std::array<char, 64 * 1024> chunk {};
        // Past the size noted too: a file that grew since shows as too large rather than cut short.
        while (bytes.size() <= maxCopiedBytes) {
            ssize_t count = ::read(file.get(), chunk.data(), chunk.size());
            if (count < 0)
                return { Kind::large, contentIdentity(status), mode };
            if (count == 0)
                break;
            bytes.append(chunk.data(), static_cast<std::size_t>(count));
        }
        if (bytes.size() > maxCopiedBytes)
            return { Kind::large, contentIdentity(status), mode };
        return { Kind::file, std::move(bytes), mode };
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

    // `path` and, where it is a folder, every entry beneath it; an entry that is a link is noted as one
    // and not followed, so that a link a command made cannot have a folder elsewhere noted.
    void noteWhole(std::map<fs::path, NotedFile>& files, const fs::path& path)
    {
        struct stat status { };
        if (::lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            files.emplace(path, noteFile(path));
            return;
        }
        files.insert_or_assign(path, NotedFile { Kind::namedFolder, identity(status), 0 });
        FileDescriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        DIR* stream = folder.get() < 0 ? nullptr : ::fdopendir(folder.get());
        if (!stream)
            return;
        folder.release();
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(stream)) {
            std::string_view name = entry->d_name;
            if (name != "." && name != "..")
                names.emplace_back(name);
        }
        ::closedir(stream);
        for (const auto& name : names)
            noteWhole(files, path / name);
    }

    std::optional<fs::path> optionalPath(std::string_view field)
    {
        return field.empty() ? std::nullopt : std::optional(fs::path(field));
    }

    std::optional<NotedUnit> decodedUnit(FieldReader& reader)
    {
        auto gitFolder = reader.next();
        auto workTree = reader.next();
        auto count = reader.number();
        if (!gitFolder || !workTree || !count || (gitFolder->empty() && workTree->empty()))
            return std::nullopt;
        NotedUnit unit { optionalPath(*gitFolder), optionalPath(*workTree), {} };
        for (std::size_t index = 0; index < *count; ++index) {
            auto path = reader.next();
            auto kind = reader.next();
            auto mode = reader.number();
            auto content = reader.next();
            if (!path || !kind || !mode || !content || kind->size() != 1
                || std::string_view("aflgod").find(kind->front()) == std::string_view::npos
                || !fs::path(*path).is_absolute())
                return std::nullopt;
            unit.files.emplace(fs::path(*path),
                NotedFile { static_cast<Kind>(kind->front()), std::string(*content),
                    static_cast<unsigned>(*mode & 07777) });
        }
        return unit;
    }

}

NotedFile noteFile(const fs::path& path)
{
    struct stat status { };
    if (::lstat(path.c_str(), &status) != 0)
        return {};
    if (S_ISREG(status.st_mode))
        return regularFile(path, status);
    if (S_ISLNK(status.st_mode)) {
        std::array<char, 4096> target {};
        ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        return { Kind::link, std::string(target.data(), length > 0 ? static_cast<std::size_t>(length) : 0),
            0 };
    }
    return { Kind::other, identity(status), 0 };
}

fs::path NotedUnit::key() const { return gitFolder ? *gitFolder : *workTree / ".git"; }

bool NotedUnit::isConfiguration(const fs::path& path) const
{
    return gitFolder && (path == *gitFolder / "config" || path == *gitFolder / "config.worktree");
}

bool NotedUnit::isHook(const fs::path& path) const
{
    return gitFolder && path.parent_path() == *gitFolder / "hooks"
        && WhatGitRuns::isHookName(path.filename().native());
}

bool NotedUnit::isNamedEntry(const fs::path& path) const
{
    auto parent = files.find(path.parent_path());
    return parent != files.end() && parent->second.kind == Kind::namedFolder;
}

std::vector<fs::path> NotedUnit::namedFolders() const
{
    std::vector<fs::path> folders;
    for (const auto& [path, noted] : files) {
        if (noted.kind == Kind::namedFolder && !isNamedEntry(path))
            folders.push_back(path);
    }
    return folders;
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

NotedUnit noteUnit(const std::optional<fs::path>& gitFolder, const std::optional<fs::path>& workTree,
    const std::vector<fs::path>& named)
{
    NotedUnit unit { gitFolder, workTree, {} };
    if (gitFolder) {
        for (const char* name : kGitFolderFiles)
            unit.files.emplace(*gitFolder / name, noteFile(*gitFolder / name));
        // Git following such a "commondir" reads the same folder, so it is no change, whoever holds it:
        // another run's placeholder comes and goes as that run starts and ends.
        if (auto& commonDir = unit.files[*gitFolder / "commondir"]; namesItsOwnFolder(*gitFolder, commonDir))
            commonDir = {};
        // By name rather than by listing: a folder a command filled costs nothing more.
        for (auto name : WhatGitRuns::namesOf(WhatGitRuns::Kind::hook)) {
            fs::path hook = *gitFolder / "hooks" / std::string(name);
            NotedFile noted = noteFile(hook);
            if (noted.kind == Kind::absent)
                continue;
            if (noted.kind == Kind::link) {
                if (auto target = resolvingSymlinks(hook))
                    unit.files.emplace(*target, noteFile(*target));
            }
            unit.files.emplace(std::move(hook), std::move(noted));
        }
    }
    if (workTree)
        unit.files.emplace(*workTree / ".git", noteFile(*workTree / ".git"));
    for (const auto& path : named)
        noteWhole(unit.files, path);
    return unit;
}

std::string encoded(const std::vector<NotedUnit>& units)
{
    std::string out;
    for (const auto& unit : units) {
        appendField(out, unit.gitFolder ? unit.gitFolder->native() : std::string());
        appendField(out, unit.workTree ? unit.workTree->native() : std::string());
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

std::vector<NotedUnit> decoded(std::string_view bytes)
{
    std::vector<NotedUnit> units;
    FieldReader reader(bytes);
    while (!reader.atEnd()) {
        auto unit = decodedUnit(reader);
        if (!unit)
            break;
        units.push_back(std::move(*unit));
    }
    return units;
}

}
