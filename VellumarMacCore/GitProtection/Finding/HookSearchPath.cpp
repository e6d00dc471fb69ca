#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"
#include "VellumarMacCore/GitProtection/Finding/GitReadCache.h"
#include "VellumarMacCore/GitProtection/Finding/HookWords.h"
#include "VellumarMacCore/GitProtection/Finding/SearchedFolders.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vellumar::HookSearchPath {

namespace {

    namespace fs = std::filesystem;

    // The folders of a PATH value, empty ones too, in order.
    std::vector<std::string_view> foldersOf(std::string_view searchPath)
    {
        std::vector<std::string_view> folders;
        for (std::size_t start = 0, end; start <= searchPath.size(); start = end + 1) {
            end = std::min(searchPath.find(':', start), searchPath.size());
            folders.push_back(searchPath.substr(start, end - start));
        }
        return folders;
    }

    // What a path may be written with, in a script of any language; anything else ends a piece of a
    // word. What the guard cannot know stays within the piece, which is then no path.
    bool isPathCharacter(char character)
    {
        return character == HookWords::kUnknown || character == HookWords::kGivenPath
            || character == HookWords::kQuotedBlank || character == HookWords::kFromGit
            || static_cast<unsigned char>(character) >= 0x80 || (character >= '0' && character <= '9')
            || (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z')
            || std::string_view("_.-/@%~").find(character) != std::string_view::npos;
    }

    // The pieces of an expanded word that may name a file or a folder, split at the separators of a
    // PATH, an assignment or any language's syntax. In a command that may set PATH, an empty entry of a
    // PATH ("PATH=:$PATH", "$PATH:") is the folder the hook runs in.
    std::vector<std::string> piecesOf(std::string_view text, bool setsPath)
    {
        std::vector<std::string> pieces;
        for (std::size_t start = 0; start <= text.size();) {
            std::size_t end = start;
            while (end < text.size() && isPathCharacter(text[end]))
                ++end;
            std::string piece(text.substr(start, end - start));
            std::replace(piece.begin(), piece.end(), HookWords::kQuotedBlank, ' ');
            const bool colonBefore = start > 0 && text[start - 1] == ':';
            const bool colonAfter = end < text.size() && text[end] == ':';
            if (piece.empty() && setsPath && (colonBefore || colonAfter)
                && (start == 0 || colonBefore || text[start - 1] == '=')
                && (end == text.size() || colonAfter))
                piece = ".";
            if (!piece.empty() && piece.find(HookWords::kUnknown) == std::string::npos
                && piece.find(HookWords::kGivenPath) == std::string::npos
                && piece.find(HookWords::kFromGit) == std::string::npos)
                pieces.push_back(std::move(piece));
            start = end + 1;
        }
        return pieces;
    }

    // A relative folder as met from wherever below the work tree the hook runs: the ".." that lead up
    // from there lead to some other folder of the work tree, or out of it.
    fs::path fromWhereItRuns(const fs::path& written)
    {
        fs::path relative;
        for (const auto& part : written.lexically_normal()) {
            if (part.empty() || (relative.empty() && part == ".."))
                continue;
            relative /= part;
        }
        return relative.empty() ? fs::path(".") : relative;
    }

    // The word as written and where, as the bot and the log are told it: on one line, bounded.
    std::string unresolvedWord(std::string_view written, const fs::path& script)
    {
        std::string shown(written.substr(0, 160));
        std::replace_if(
            shown.begin(), shown.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
        return shown + (written.size() > shown.size() ? "..." : "") + " in " + script.string();
    }

    // Whether `word` of `command` holds what may be a file that runs and that the guard cannot name.
    // Anything it cannot know counts, in any word of any program, since any program may run what it is
    // given; but for what is plainly no such file: a variable a command of assignments alone sets, which
    // counts where it is used, and an operand of the shell's test, which only compares and looks. What
    // Git hands the hook counts where the shell runs, sources or puts it on PATH, or joins it to a path.
    bool holdsUnfollowed(const HookWords::Command& command, const HookWords::Word& word)
    {
        using Role = HookWords::Word::Role;
        const bool unknown = word.text.find(HookWords::kUnknown) != std::string::npos;
        const bool fromGit = word.text.find(HookWords::kFromGit) != std::string::npos;
        if ((unknown || fromGit)
            && (command.setsPath || word.role == Role::command || word.role == Role::sourced))
            return true;
        // Joined to a path: in one of the words an array's blanks part.
        for (std::size_t start = 0, end; word.role != Role::assignment && start < word.text.size();
             start = end + 1) {
            end = std::min(word.text.find_first_of(std::string { ' ', HookWords::kQuotedBlank }, start),
                word.text.size());
            const std::string_view part = std::string_view(word.text).substr(start, end - start);
            if (part.find('/') != std::string_view::npos
                && part.find_first_of(std::string { HookWords::kUnknown, HookWords::kFromGit })
                    != std::string_view::npos)
                return true;
        }
        auto program = std::find_if(command.words.begin(), command.words.end(),
            [](const HookWords::Word& each) { return each.role == Role::command; });
        const bool assignsAlone = program == command.words.end();
        const bool tests = !assignsAlone && (program->text == "[" || program->text == "test");
        return unknown && !(assignsAlone && word.role == Role::assignment)
            && !(tests && word.role == Role::argument);
    }

    struct Reader {
        const fs::path& top;
        const std::vector<fs::path>& hookFolders;
        const CommandEnvironment& environment;
        std::set<fs::path> hooks;
        PutFirst found;
        // Files that words name, read after the hooks, with what their shell knows as they start.
        std::vector<std::pair<fs::path, HookWords::Known>> named;
        std::set<fs::path> read;
        std::set<std::string, std::less<>> words;
        // The hooks folders and every file whose bytes or absence the folders found depend on.
        std::vector<fs::path> files;

        // Where a script the hooks read may lie: a file elsewhere is no project's, and its words would
        // only cost.
        bool mayRead(const fs::path& file) const
        {
            return isPathInside(file, top)
                || std::any_of(hookFolders.begin(), hookFolders.end(),
                    [&](const fs::path& folder) { return isPathInside(file, folder); });
        }

        // A file a piece names is read in turn: sourced, with the shell as it stands there; else as a
        // program of its own.
        void addPiece(const std::string& piece, const HookWords::Known& sourcing, bool sourced)
        {
            if (piece.starts_with('-') || words.size() >= maxWords || !words.insert(piece).second)
                return;
            const fs::path written(piece);
            const fs::path path = standardizedPath(written.is_absolute() ? written : top / written);
            files.push_back(path);
            struct stat status { };
            const bool exists = ::stat(path.c_str(), &status) == 0;
            if (exists && S_ISREG(status.st_mode)) {
                if (named.size() < maxSourcedFiles && mayRead(path) && !read.contains(path))
                    named.emplace_back(
                        path, sourced ? sourcing : HookWords::Known { path, top, {}, &environment });
                return;
            }
            fs::path folder = written.is_absolute() ? path : fromWhereItRuns(written);
            if ((written.is_relative() || (exists && S_ISDIR(status.st_mode)))
                && std::find(found.folders.begin(), found.folders.end(), folder) == found.folders.end())
                found.folders.push_back(std::move(folder));
        }

        void readScript(const fs::path& script, HookWords::Known known)
        {
            if (!read.insert(script).second)
                return;
            // A hook missing from a hooks folder shows in the folder's stamp.
            struct stat status { };
            if (::stat(script.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
                if (!hooks.contains(script))
                    files.push_back(script);
                return;
            }
            files.push_back(script);
            const std::string text = BoundedFile::start(script, maxScriptBytes);
            HookWords::readCommands(text, known, [&](const HookWords::Command& command) {
                using Role = HookWords::Word::Role;
                for (const auto& word : command.words) {
                    if (!found.unresolved && holdsUnfollowed(command, word))
                        found.unresolved = unresolvedWord(word.written, script);
                    if (word.role == Role::command && word.text == ".")
                        continue;
                    for (const auto& piece : piecesOf(word.text, command.setsPath))
                        addPiece(piece, known, word.role == Role::sourced);
                }
            });
        }
    };

    std::vector<fs::path> splitAtNul(std::string_view joined)
    {
        std::vector<fs::path> paths;
        for (std::size_t start = 0, end; (end = joined.find('\0', start)) != std::string_view::npos;
             start = end + 1)
            paths.emplace_back(joined.substr(start, end - start));
        return paths;
    }

    using Names = std::set<std::string, std::less<>>;

    // The executable files' names in `folder`, as read when it last changed.
    std::shared_ptr<const Names> programsIn(const fs::path& folder)
    {
        struct Read {
            std::string identity;
            std::shared_ptr<const Names> names;
        };
        static std::mutex lock;
        static std::map<fs::path, Read> read;
        struct stat status { };
        if (::stat(folder.c_str(), &status) != 0)
            return std::make_shared<const Names>();
        // A program installed or removed changes the folder's modification time.
        const std::string identity = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + " "
            + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
        {
            std::lock_guard held(lock);
            if (auto found = read.find(folder); found != read.end() && found->second.identity == identity)
                return found->second.names;
        }
        auto names = std::make_shared<Names>();
        std::error_code error;
        for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
             entry.increment(error)) {
            struct stat program { };
            if (::stat(entry->path().c_str(), &program) == 0 && S_ISREG(program.st_mode)
                && ::access(entry->path().c_str(), X_OK) == 0)
                names->insert(entry->path().filename().string());
        }
        // A folder changed within the clock's coarse tick may change again under the same time.
        if (std::time(nullptr) - status.st_mtim.tv_sec < 2)
            return names;
        std::lock_guard held(lock);
        read.insert_or_assign(folder, Read { identity, names });
        return names;
    }

}

PutFirst foldersPutFirst(const std::vector<fs::path>& hookFolders, const fs::path& top,
    const CommandEnvironment& environment, std::chrono::system_clock::time_point readStart)
{
    try {
        // What "~" and every variable stand for is part of what was read.
        std::string variables;
        for (const auto& [name, value] : environment)
            variables += '\0' + name + '=' + value;
        std::string key
            = std::string("hook words") + '\0' + top.native() + '\0' + GitReadCache::sharedKeyPart(variables);
        for (const auto& folder : hookFolders)
            key += '\0' + folder.native();
        if (auto kept = GitReadCache::cached(key)) {
            // The word that could not be followed, or nothing, then the folders.
            const std::size_t end = kept->find('\0');
            PutFirst found { splitAtNul(std::string_view(*kept).substr(end + 1)), kept->substr(0, end) };
            if (found.unresolved->empty())
                found.unresolved.reset();
            return found;
        }
        Reader reader { top, hookFolders, environment, {}, {}, {}, {}, {}, {} };
        // By name rather than by listing: a hooks folder holds Git's samples, and a command may fill it.
        std::vector<fs::path> hooks;
        for (const auto& folder : hookFolders) {
            reader.files.push_back(folder);
            for (auto name : WhatGitRuns::namesOf(WhatGitRuns::Kind::hook))
                hooks.push_back(folder / std::string(name));
        }
        reader.hooks.insert(hooks.begin(), hooks.end());
        for (const auto& hook : hooks)
            reader.readScript(hook, { hook, top, {}, &environment });
        for (std::size_t index = 0; index < reader.named.size(); ++index) {
            auto [file, known] = reader.named[index];
            reader.readScript(file, std::move(known));
        }
        std::string kept = reader.found.unresolved.value_or("") + '\0';
        for (const auto& folder : reader.found.folders)
            kept += folder.native() + '\0';
        GitReadCache::keep(key, std::move(kept), std::move(reader.files), readStart);
        return std::move(reader.found);
    } catch (const std::exception&) {
        // Out of memory: what the hooks put first cannot be told.
        return { {}, "(the hooks could not be read: out of memory)" };
    }
}

ShadowedPrograms::ShadowedPrograms(const fs::path& project, std::string_view searchPath)
{
    try {
        auto resolvedProject = resolvingSymlinks(project);
        for (auto written : foldersOf(searchPath)) {
            fs::path folder(written);
            auto resolved = resolvingSymlinks(folder);
            if (folder.is_absolute() && resolved && !isPathInside(folder, project)
                && !(resolvedProject && isPathInside(*resolved, *resolvedProject)))
                m_names.push_back(programsIn(*resolved));
        }
    } catch (const std::exception&) {
        // Out of memory: every name counts, so that nothing is let through unjudged.
        m_names.clear();
        m_names.push_back(nullptr);
    }
}

bool ShadowedPrograms::shadows(std::string_view name) const
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
        return false;
    return std::any_of(
        m_names.begin(), m_names.end(), [&](const auto& names) { return !names || names->contains(name); });
}

std::vector<fs::path> wherePutFirst(
    const fs::path& place, const fs::path& top, const std::vector<fs::path>& relatives)
{
    std::vector<fs::path> found;
    auto add = [&](fs::path folder) {
        struct stat status { };
        if (::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)
            && std::find(found.begin(), found.end(), folder) == found.end())
            found.push_back(std::move(folder));
    };
    // By their first names, so that each folder's subfolders are looked at once for them all.
    std::map<std::string, std::vector<const fs::path*>, std::less<>> byFirstName;
    for (const auto& relative : relatives) {
        add(standardizedPath(top / relative));
        if (relative != ".")
            byFirstName[relative.begin()->string()].push_back(&relative);
    }
    if (byFirstName.empty())
        return found;
    SearchedFolders searched(place);
    const SearchedFolders::Folder* start
        = SearchedFolders::find(searched.place(), top.lexically_relative(place));
    std::deque<std::pair<fs::path, const SearchedFolders::Folder*>> left;
    if (start)
        left.emplace_back(top, start);
    while (!left.empty()) {
        auto [path, folder] = std::move(left.front());
        left.pop_front();
        for (const auto& subfolder : folder->subfolders) {
            if (auto named = byFirstName.find(subfolder->name); named != byFirstName.end() && path != top) {
                for (const fs::path* relative : named->second)
                    add(path / *relative);
            }
            if (subfolder->name != "node_modules")
                left.emplace_back(path / subfolder->name, subfolder.get());
        }
    }
    return found;
}

std::vector<fs::path> foldersBelow(const fs::path& place, const fs::path& top)
{
    std::vector<fs::path> found { top };
    SearchedFolders searched(place);
    std::vector<std::pair<fs::path, const SearchedFolders::Folder*>> left;
    if (auto start = SearchedFolders::find(searched.place(), top.lexically_relative(place)))
        left.emplace_back(top, start);
    while (!left.empty()) {
        auto [path, folder] = std::move(left.back());
        left.pop_back();
        for (const auto& subfolder : folder->subfolders) {
            found.push_back(path / subfolder->name);
            left.emplace_back(found.back(), subfolder.get());
        }
    }
    return found;
}

namespace {

    // What the login shell prints its PATH between, after whatever its start files print.
    constexpr std::string_view kOpening = "<vellumar-login-path>";
    constexpr std::string_view kClosing = "</vellumar-login-path>";

    std::string usersShell(const CommandEnvironment& environment)
    {
        if (auto shell = environment.find("SHELL");
            shell != environment.end() && shell->second.starts_with('/'))
            return shell->second;
        std::vector<char> storage(16 * 1024);
        passwd entry {};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, storage.data(), storage.size(), &found) == 0 && found
            && found->pw_shell && found->pw_shell[0] == '/')
            return found->pw_shell;
        return "/bin/sh";
    }

    // The PATH the shell tells, or why it told none.
    struct Told {
        std::optional<std::string> searchPath;
        std::string failure;
    };

    Told fromLoginShell(const std::string& shell, const CommandEnvironment& environment)
    {
        const std::string command
            = "printf '\\n" + std::string(kOpening) + "%s" + std::string(kClosing) + "\\n' \"$PATH\"";
        CommandResult result;
        try {
            result = runCommand(shell, { "-i", "-l", "-c", command },
                { .environment = environment,
                    .timeLimitSeconds = loginShellTimeLimitSeconds,
                    .ownSession = true });
        } catch (const CommandLaunchError& error) {
            return { std::nullopt, error.what() };
        }
        if (result.timedOut)
            return { std::nullopt,
                "it took longer than " + std::to_string(int(loginShellTimeLimitSeconds)) + " seconds" };
        std::size_t closing = result.output.rfind(kClosing);
        std::size_t opening = result.output.rfind(kOpening, closing);
        if (result.status != 0 || closing == std::string::npos || opening == std::string::npos)
            return { std::nullopt,
                "it ended with status " + std::to_string(result.status) + " without telling it" };
        opening += kOpening.size();
        return { result.output.substr(opening, closing - opening), {} };
    }

    struct LoginSearchPath {
        std::mutex lock;
        // Empty until a read starts.
        std::shared_future<std::string> read;
        std::optional<CommandEnvironment> environment;
    };

    LoginSearchPath& loginSearchPath()
    {
        static LoginSearchPath shared;
        return shared;
    }

}

void readLoginSearchPath(const CommandEnvironment& environment)
{
    std::promise<std::string> told;
    {
        LoginSearchPath& shared = loginSearchPath();
        std::lock_guard held(shared.lock);
        shared.read = told.get_future().share();
        shared.environment = environment;
    }
    // Detached: a shell that outlives its limits holds up neither a run nor the program's exit. What the
    // thread writes into outlives it: the promise's state, which it holds a share of, and the log, whose
    // sink is let go only once no call into it is under way.
    std::thread([told = std::move(told), shell = usersShell(environment), environment]() mutable {
        Told login;
        try {
            login = fromLoginShell(shell, environment);
        } catch (const std::exception& error) {
            login.failure = error.what();
        }
        if (!login.searchPath)
            platform::logError("The PATH of the user's login shell (" + shell + ") could not be read ("
                + login.failure
                + "); the Git protection counts only the programs on this program's own PATH among the user's"
                  " programs that a folder a Git hook puts first on PATH could shadow.");
        told.set_value(login.searchPath.value_or(""));
    }).detach();
}

CommandEnvironment usersEnvironment()
{
    LoginSearchPath& shared = loginSearchPath();
    std::lock_guard held(shared.lock);
    return shared.environment.value_or(currentEnvironment());
}

std::string usersSearchPath()
{
    const char* own = std::getenv("PATH");
    std::string searchPath = own ? own : "/usr/local/bin:/usr/bin:/bin";
    std::shared_future<std::string> read;
    {
        LoginSearchPath& shared = loginSearchPath();
        std::lock_guard held(shared.lock);
        read = shared.read;
    }
    if (!read.valid())
        return searchPath;
    const std::string& login = read.get();
    std::string joined = searchPath;
    std::vector<std::string_view> named = foldersOf(searchPath);
    for (auto folder : foldersOf(login)) {
        if (!folder.empty() && std::find(named.begin(), named.end(), folder) == named.end()) {
            joined += ":" + std::string(folder);
            named.push_back(folder);
        }
    }
    return joined;
}

}
