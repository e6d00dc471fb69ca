#include "VellumarMacCore/GitProtection/Finding/SearchedFolders.h"

#include <algorithm>
#include <atomic>
#include <map>

namespace vellumar {

namespace fs = std::filesystem;

struct SearchedFolders::Tree {
    std::mutex walking;
    Folder place;
    std::size_t folders = 1;
    ~Tree();
};

namespace {

    struct Store {
        std::mutex lock;
        std::map<std::string, std::shared_ptr<SearchedFolders::Tree>> trees;
        std::atomic<std::size_t> folders = 0;
    };

    Store& store()
    {
        static Store shared;
        return shared;
    }

    std::size_t countBelow(const SearchedFolders::Folder& folder)
    {
        std::size_t count = folder.subfolders.size();
        for (const auto& subfolder : folder.subfolders)
            count += countBelow(*subfolder);
        return count;
    }

    auto byName(const std::vector<std::unique_ptr<SearchedFolders::Folder>>& folders, const std::string& name)
    {
        return std::lower_bound(folders.begin(), folders.end(), name,
            [](const auto& folder, const std::string& wanted) { return folder->name < wanted; });
    }

}

SearchedFolders::Tree::~Tree() { store().folders -= folders; }

SearchedFolders::SearchedFolders(const fs::path& place)
{
    Store& shared = store();
    {
        std::lock_guard lock(shared.lock);
        if (shared.folders >= maxFolders)
            shared.trees.clear();
        auto& tree = shared.trees[place.native()];
        if (!tree) {
            tree = std::make_shared<Tree>();
            shared.folders += tree->folders;
        }
        m_tree = tree;
    }
    m_walking = std::unique_lock(m_tree->walking);
}

SearchedFolders::~SearchedFolders()
{
    // Unlocked before the tree may go with the last owner.
    m_walking.unlock();
}

SearchedFolders::Folder& SearchedFolders::place() { return m_tree->place; }

SearchedFolders::Folder& SearchedFolders::at(const fs::path& relative)
{
    Folder* folder = &m_tree->place;
    for (const auto& component : relative) {
        const std::string& name = component.native();
        if (name.empty() || name == ".")
            continue;
        auto found = byName(folder->subfolders, name);
        if (found == folder->subfolders.end() || (*found)->name != name) {
            found = folder->subfolders.insert(found, std::make_unique<Folder>(Folder { .name = name }));
            ++m_tree->folders;
            ++store().folders;
        }
        folder = found->get();
    }
    return *folder;
}

const SearchedFolders::Folder* SearchedFolders::find(const Folder& from, const fs::path& relative)
{
    const Folder* folder = &from;
    for (const auto& component : relative) {
        const std::string& name = component.native();
        if (name.empty() || name == ".")
            continue;
        auto found = byName(folder->subfolders, name);
        if (found == folder->subfolders.end() || (*found)->name != name)
            return nullptr;
        folder = found->get();
    }
    return folder;
}

bool SearchedFolders::refresh(Folder& folder, const std::string& path,
    const std::optional<GitFolderListing::Stamp>& stamp, const GitFolderListing::Options& options)
{
    if (folder.trusted && stamp && *stamp == folder.stamp)
        return true;
    auto listing = stamp ? GitFolderListing::read(path, options) : std::nullopt;
    std::vector<std::unique_ptr<Folder>> subfolders;
    std::size_t added = 0;
    if (listing) {
        subfolders.reserve(listing->subfolders.size());
        // Both sorted by name: one pass finds each that is still there.
        auto known = folder.subfolders.begin();
        for (auto& name : listing->subfolders) {
            while (known != folder.subfolders.end() && (*known)->name < name)
                ++known;
            if (known != folder.subfolders.end() && (*known)->name == name) {
                subfolders.push_back(std::move(*known++));
                continue;
            }
            subfolders.push_back(std::make_unique<Folder>(Folder { .name = std::move(name) }));
            ++added;
        }
    }
    std::size_t removed = 0;
    for (const auto& gone : folder.subfolders) {
        if (gone)
            removed += 1 + countBelow(*gone);
    }
    folder.subfolders = std::move(subfolders);
    folder.trusted = listing && listing->settled;
    folder.stamp = listing ? listing->stamp : GitFolderListing::Stamp {};
    folder.dotGitType = listing ? listing->dotGitType : static_cast<unsigned char>(DT_UNKNOWN);
    folder.mayBeGitFolder = listing && listing->mayBeGitFolder;
    m_tree->folders = m_tree->folders + added - removed;
    store().folders += added;
    store().folders -= removed;
    return listing.has_value();
}

}
