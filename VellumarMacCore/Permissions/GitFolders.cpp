#include "VellumarMacCore/Permissions/GitFolders.h"

#include "VellumarMacCore/Permissions/PathContainment.h"

#include <system_error>

namespace vellumar::GitFolders {

namespace {

    namespace fs = std::filesystem;

    // Submodules of submodules nest this deep at the most in any real tree; links cannot loop past it.
    constexpr int kMaxDepth = 8;

    class Collector {
    public:
        std::vector<fs::path> found;

        // The linked folders of the Git folder `gitFolder`.
        void collect(const fs::path& gitFolder, int depth)
        {
            if (depth > kMaxDepth)
                return;
            forEachFolder(gitFolder / "worktrees", [&](const fs::path& entry) { add(entry); });
            collectModules(gitFolder / "modules", depth);
        }

    private:
        void add(const fs::path& folder)
        {
            if (found.size() >= maxLinkedFolders)
                return;
            if (auto real = resolvingSymlinks(folder))
                found.push_back(std::move(*real));
        }

        // A folder below "modules" is a submodule's Git folder when it has a HEAD; otherwise it is one
        // level of a submodule name with slashes.
        void collectModules(const fs::path& folder, int depth)
        {
            if (depth > kMaxDepth)
                return;
            forEachFolder(folder, [&](const fs::path& entry) {
                std::error_code error;
                if (fs::exists(entry / "HEAD", error)) {
                    add(entry);
                    collect(entry, depth + 1);
                } else {
                    collectModules(entry, depth + 1);
                }
            });
        }

        template <typename Visit> void forEachFolder(const fs::path& folder, Visit&& visit)
        {
            std::error_code error;
            for (fs::directory_iterator it(folder, error), end;
                 !error && it != end && found.size() < maxLinkedFolders; it.increment(error)) {
                std::error_code typeError;
                if (it->is_directory(typeError))
                    visit(it->path());
            }
        }
    };

}

std::vector<fs::path> linkedFolders(const fs::path& place)
{
    Collector collector;
    std::error_code error;
    // A ".git" file points at a Git folder kept elsewhere, whose own place lists it.
    if (fs::is_directory(place / ".git", error))
        collector.collect(place / ".git", 0);
    return std::move(collector.found);
}

std::vector<fs::path> commandProtectedPaths(const fs::path& place)
{
    std::vector<fs::path> paths;
    for (const auto& folder : linkedFolders(place)) {
        std::error_code error;
        // Each as the kernel will resolve it when a command writes there.
        auto add = [&paths](const fs::path& written) {
            if (auto real = resolvingSymlinks(written))
                paths.push_back(std::move(*real));
        };
        if (fs::exists(fs::symlink_status(folder / "commondir", error)))
            add(folder / "commondir");
        for (const char* name : { "config.worktree", "hooks", "config" })
            add(folder / name);
    }
    return paths;
}

}
