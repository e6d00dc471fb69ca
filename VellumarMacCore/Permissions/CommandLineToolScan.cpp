// The command-line tool scan: which folders the programs on the user's login PATH need, so that
// commands can run the tools a user installed (Homebrew formulae, cargo, language managers) without
// the bot being granted the folders around them.
#include "VellumarMacCore/Permissions/PermissionResolver.h"

#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <system_error>

namespace vellumar {

namespace fs = std::filesystem;

namespace {

    bool contains(const std::vector<fs::path>& list, const fs::path& path)
    {
        return std::find(list.begin(), list.end(), path) != list.end();
    }

    void appendUnique(std::vector<fs::path>& list, const fs::path& path)
    {
        if (!contains(list, path))
            list.push_back(path);
    }

    bool liesInOrAround(const fs::path& url, const std::vector<fs::path>& places)
    {
        return std::any_of(places.begin(), places.end(),
            [&](const fs::path& place) { return isPathInside(url, place) || isPathInside(place, url); });
    }

    // The first `limit` names of a folder in ascending order, without holding more than `limit`
    // names however large the folder is. nullopt when the folder cannot be listed.
    std::optional<std::vector<std::string>> firstNames(const fs::path& folder, std::size_t limit)
    {
        std::vector<std::string> names;
        std::error_code error;
        fs::directory_iterator it(folder, error), end;
        for (; !error && it != end; it.increment(error)) {
            std::string name = it->path().filename().string();
            if (names.size() == limit) {
                if (limit == 0 || name >= names.back())
                    continue;
                names.pop_back();
            }
            names.insert(std::upper_bound(names.begin(), names.end(), name), std::move(name));
        }
        if (error)
            return std::nullopt;
        return names;
    }

    // One scan's lists and its shared count of read and write folders.
    class ToolScan {
    public:
        explicit ToolScan(const PermissionResolver& resolver)
            : m_resolver(resolver)
            , m_protected(resolver.protectedPlaces())
            , m_dataFolderForms(resolver.dataFolderForms())
        {
        }

        void scan(std::string_view loginPath)
        {
            for (std::size_t start = 0; start <= loginPath.size();) {
                std::size_t colon = std::min(loginPath.find(':', start), loginPath.size());
                std::string_view piece = loginPath.substr(start, colon - start);
                start = colon + 1;
                // "~" and relative pieces depend on the shell that reads them, not on this scan.
                if (!piece.starts_with('/'))
                    continue;
                auto folder = resolvingSymlinks(fs::path(piece));
                std::error_code error;
                if (folder && fs::is_directory(*folder, error))
                    scanPathFolder(*folder);
            }
            for (const auto& root : m_folders.toolWrites) {
                for (const auto& name : PermissionResolver::toolEnvFileNames()) {
                    std::error_code error;
                    if (fs::exists(root / name, error))
                        appendUnique(m_folders.executableFolders, root / name);
                }
            }
            // A folder the tools may write is readable anyway.
            std::erase_if(m_folders.toolReads, [&](const fs::path& read) {
                return std::any_of(m_folders.toolWrites.begin(), m_folders.toolWrites.end(),
                    [&](const fs::path& write) { return isPathInside(read, write); });
            });
        }

        PermissionResolver::ToolFolders result() && { return std::move(m_folders); }

    private:
        bool isUsable(const fs::path& url) const
        {
            return m_resolver.isUsableToolFolder(url, m_resolver.home, m_protected, m_dataFolderForms);
        }

        bool isBelowHome(const fs::path& url) const
        {
            return isPathInside(url, m_resolver.home) && url != m_resolver.home;
        }

        void addCounted(std::vector<fs::path>& list, const fs::path& url)
        {
            if (!contains(list, url) && m_added < PermissionResolver::maxToolFolders) {
                list.push_back(url);
                ++m_added;
            }
        }

        // The hidden folder directly under home that a tool keeps its own files in (~/.cargo for
        // ~/.cargo/bin), added to the write list; nullopt when the folder below home is not one.
        std::optional<fs::path> addToolRoot(const fs::path& folder)
        {
            std::string relative = folder.string().substr(m_resolver.home.string().size());
            relative.erase(0, relative.find_first_not_of('/'));
            std::string first = relative.substr(0, relative.find('/'));
            fs::path root = m_resolver.home / first;
            if (!first.starts_with('.') || PermissionResolver::toolScanSkippedNames().contains(first)
                || !isUsable(root))
                return std::nullopt;
            addCounted(m_folders.toolWrites, root);
            return root;
        }

        void scanPathFolder(const fs::path& folder)
        {
            appendUnique(m_folders.executableFolders, folder);
            if (isUsable(folder))
                addCounted(m_folders.toolReads, folder);
            if (isBelowHome(folder))
                addToolRoot(folder);
            auto names = firstNames(folder, PermissionResolver::maxToolEntries);
            if (!names)
                return;
            for (const auto& name : *names)
                followLink(folder / name);
        }

        // A program linked into a PATH folder lives elsewhere; its folder must stay executable and
        // the package around it readable (the formula's folder for a Homebrew program).
        void followLink(const fs::path& entry)
        {
            std::error_code error;
            auto status = fs::symlink_status(entry, error);
            if (error || !fs::is_symlink(status))
                return;
            auto target = resolvingSymlinks(entry);
            if (!target || *target == entry)
                return;
            fs::path targetFolder = target->parent_path();
            appendUnique(m_folders.executableFolders, targetFolder);
            if (!isUsable(targetFolder))
                return;
            if (isBelowHome(targetFolder) && addToolRoot(targetFolder))
                return;
            fs::path package = targetFolder.parent_path();
            if (isUsable(package))
                addCounted(m_folders.toolReads, package);
        }

        const PermissionResolver& m_resolver;
        const std::vector<fs::path> m_protected;
        const std::vector<fs::path> m_dataFolderForms;
        PermissionResolver::ToolFolders m_folders;
        std::size_t m_added = 0;
    };

}

const std::set<std::string>& PermissionResolver::toolScanSkippedNames()
{
    static const std::set<std::string> names = { ".local", ".cache", ".Trash", ".npm", ".DS_Store" };
    return names;
}

const std::vector<std::string>& PermissionResolver::toolEnvFileNames()
{
    static const std::vector<std::string> names
        = { "env", "env.sh", "env.zsh", "env.bash", "env.fish", "env.nu" };
    return names;
}

bool PermissionResolver::isUsableToolFolder(const fs::path& url, const fs::path& homeFolder,
    const std::vector<fs::path>& protectedList, const std::vector<fs::path>& dataFolderForms) const
{
    const std::string path = url.string();
    if (standardizedPath(url) == standardizedPath(homeFolder))
        return false;
    if (!path.starts_with('/') || hasUnusablePathCharacters(path) || isInPrivacyFolder(url))
        return false;
    return !liesInOrAround(url, protectedList) && !liesInOrAround(url, dataFolderForms);
}

PermissionResolver::ToolFolders PermissionResolver::scanCommandLineTools(std::string_view loginPath) const
{
    try {
        ToolScan scan(*this);
        scan.scan(loginPath);
        return std::move(scan).result();
    } catch (const std::exception&) {
        // Out of memory part way: the scan promises lists, never an error, and empty ones are safe.
        return {};
    }
}

}
