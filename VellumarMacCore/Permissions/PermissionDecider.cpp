#include "VellumarMacCore/Permissions/PermissionDecider.h"

#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "VellumarMacCore/Permissions/WriteDestination.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vellumar {

namespace fs = std::filesystem;

namespace {

    constexpr std::size_t kMaxFilePathCharacters = 4096;

    constexpr std::string_view kUploadsFolderName = "uploads";
    // The instruction files and the settings folder Claude Code reads from any folder it works in; a
    // bot must not plant them in its own work folder.
    constexpr std::array<std::string_view, 3> kClaudeFileNames { "CLAUDE.md", "CLAUDE.local.md", ".claude" };
    constexpr std::array<std::string_view, 3> kClaudeSubfolderNames { "skills", "commands", "agents" };

    template <typename List> bool listContains(const List& list, std::string_view name)
    {
        return std::find(list.begin(), list.end(), name) != list.end();
    }

    // Counted in Unicode scalars, which is never fewer than the characters a person sees, so a path
    // this accepts is never over the limit.
    bool isUsableFilePath(std::string_view path)
    {
        if (!path.starts_with('/') || containsControlCharacters(path))
            return false;
        std::size_t scalars = 0;
        for (std::size_t index = 0; index < path.size(); ++scalars)
            detail::nextScalar(path, index);
        return scalars <= kMaxFilePathCharacters;
    }

    // The non-empty "/"-separated pieces of `file` below `folder`, which must contain it.
    std::vector<std::string> piecesBelow(const fs::path& file, const fs::path& folder)
    {
        std::string rest = standardizedPath(file).string().substr(standardizedPath(folder).string().size());
        std::vector<std::string> pieces;
        std::size_t start = 0;
        while (start <= rest.size()) {
            std::size_t end = std::min(rest.find('/', start), rest.size());
            if (end > start)
                pieces.push_back(rest.substr(start, end - start));
            start = end + 1;
        }
        return pieces;
    }

    bool isStrictlyInside(const fs::path& file, const fs::path& folder)
    {
        return isPathCoveredBy(file, folder) && standardizedPath(file) != standardizedPath(folder);
    }

    // Whether the work folder's own rules forbid the file: the phone's uploads and Claude Code's
    // instruction files.
    bool isForbiddenInWorkFolder(const fs::path& file, const fs::path& workFolder)
    {
        auto pieces = piecesBelow(file, workFolder);
        if (!pieces.empty() && pieces.front() == kUploadsFolderName)
            return true;
        return std::any_of(pieces.begin(), pieces.end(),
            [](const std::string& piece) { return listContains(kClaudeFileNames, piece); });
    }

    PermissionDecider::Outcome askInGrantedFolder(
        std::string tool, const fs::path& file, const fs::path& folder)
    {
        PermissionDecider::Target target { .tool = std::move(tool), .path = file, .scope = file };
        auto pieces = piecesBelow(file, folder);
        if (!pieces.empty())
            pieces.pop_back();
        for (std::size_t index = 0; index < pieces.size(); ++index) {
            const std::string& name = pieces[index];
            if (!name.starts_with('.'))
                continue;
            if (name == ".claude" && index + 1 < pieces.size()
                && listContains(kClaudeSubfolderNames, pieces[index + 1])) {
                const std::string& subfolder = pieces[index + 1];
                fs::path scope = folder;
                for (std::size_t step = 0; step <= index + 1; ++step)
                    scope /= pieces[step];
                target.scope = scope;
                target.canAlways = true;
                target.reason
                    = "This is where Claude Code keeps its " + subfolder + " (.claude/" + subfolder + ").";
            } else if (name == ".claude") {
                target.reason = "This is Claude Code's settings folder (.claude).";
            } else if (name == ".git") {
                target.reason = "This is Git's own folder (.git).";
            } else {
                target.reason = "This is a hidden folder (" + name + ").";
            }
            return PermissionDecider::Outcome::ask(std::move(target));
        }
        target.reason = "Claude Code wants a confirmation for this file.";
        return PermissionDecider::Outcome::ask(std::move(target));
    }

}

bool isPermissionRequestID(std::string_view text)
{
    if (text.size() != 14 || !text.starts_with("p-"))
        return false;
    return std::all_of(text.begin() + 2, text.end(),
        [](char digit) { return (digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'); });
}

namespace PermissionDecider {

    Outcome decide(std::string_view tool, const JSON* input, const ResolvedPermissions& permissions,
        const fs::path& workFolder)
    {
        if (!listContains(fileTools, tool) || input == nullptr)
            return Outcome::deny();
        const JSON* filePath = input->subscript("file_path");
        const std::string* pathText = filePath ? filePath->stringValue() : nullptr;
        if (pathText == nullptr || !isUsableFilePath(*pathText))
            return Outcome::deny();

        auto destination = writeDestination(*pathText);
        if (!destination)
            return Outcome::deny();
        const fs::path& file = destination->path;

        // A work folder the kernel cannot resolve holds nothing.
        auto work = resolvingSymlinks(workFolder);
        if (work && isStrictlyInside(file, *work)) {
            if (isForbiddenInWorkFolder(file, *work))
                return Outcome::deny();
            // A file with another name may be anyone's file under that name: the folder rule decides.
            if (!destination->hasOtherNames)
                return Outcome::allowWorkspace(file);
        }

        for (const auto& grant : permissions.applyingGates().folders) {
            if (grant.writable && isStrictlyInside(file, grant.path))
                return askInGrantedFolder(std::string(tool), file, grant.path);
        }
        return Outcome::deny();
    }

    JSON requestJSON(const Target& target, std::string_view requestID,
        std::chrono::system_clock::time_point expiresAt, const fs::path& home)
    {
        double expiresMilliseconds
            = std::chrono::duration<double, std::milli>(expiresAt.time_since_epoch()).count();
        return JSON::object({
            { "requestId", JSON(requestID) },
            { "tool", JSON(target.tool == "MultiEdit" ? std::string("Edit") : target.tool) },
            { "action", JSON(target.tool == "Write" ? "Write a file" : "Change a file") },
            { "path", JSON(homeRelativePath(target.path, home)) },
            { "scope", JSON(homeRelativePath(target.scope, home)) },
            { "scopeIsFile", JSON(standardizedPath(target.scope) == standardizedPath(target.path)) },
            { "canAlways", JSON(target.canAlways) },
            { "reason", JSON(target.reason) },
            { "expiresAt", JSON::number(std::round(expiresMilliseconds)) },
        });
    }

}

}
