#include "VellumarMacCore/GitProtection/Finding/SearchedFolders.h"

#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/GitProtection/Finding/KeptBytes.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <string_view>

namespace vellumar {

namespace fs = std::filesystem;

struct SearchedFolders::Tree {
    std::mutex walking;
    std::string placePath;
    Folder place;
    std::size_t folders = 1;
    fs::path keptFile;
    // Whether a folder was listed or added since the tree was read from its file or written there.
    bool changed = false;
    // The last walk's number: wide enough never to come round again, so that a mark left by a walk
    // before never counts in a later one.
    std::uint64_t walks = 0;
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

    using Folder = SearchedFolders::Folder;

    // The file: this line, the place's path, then each folder before those it holds, each as its name
    // (the place's empty) ended by a NUL, which no name holds, its stamp, what it held and how many
    // folders it holds, in this machine's byte order: the file never leaves it.
    constexpr std::string_view kFileHeader = "searched folders 1\n";
    constexpr std::size_t kFileBytesLimit = 64 * 1024 * 1024;
    // Deeper than any path the kernel takes: a file saying more is none of ours.
    constexpr std::size_t kDeepest = PATH_MAX / 2;

    struct FixedFields {
        std::uint64_t device;
        std::uint64_t inode;
        std::int64_t changedSeconds;
        std::int64_t changedNanoseconds;
        std::uint8_t trusted;
        std::uint8_t mayBeGitFolder;
        std::uint8_t dotGitType;
        std::uint32_t subfolders;
    };

    void append(std::string& bytes, const Folder& folder)
    {
        using KeptBytes::append;
        bytes.append(folder.name).push_back('\0');
        append(bytes, static_cast<std::uint64_t>(folder.stamp.device));
        append(bytes, static_cast<std::uint64_t>(folder.stamp.inode));
        append(bytes, static_cast<std::int64_t>(folder.stamp.changed.tv_sec));
        append(bytes, static_cast<std::int64_t>(folder.stamp.changed.tv_nsec));
        append(bytes, static_cast<std::uint8_t>(folder.trusted));
        append(bytes, static_cast<std::uint8_t>(folder.mayBeGitFolder));
        append(bytes, static_cast<std::uint8_t>(folder.dotGitType));
        append(bytes, static_cast<std::uint32_t>(folder.subfolders.size()));
    }

    std::string encoded(const std::string& placePath, const Folder& place)
    {
        std::string bytes(kFileHeader);
        bytes.append(placePath).push_back('\0');
        // Each folder's own, then those it holds: a stack rather than a recursion as deep as the tree.
        std::vector<const Folder*> left = { &place };
        while (!left.empty()) {
            const Folder* folder = left.back();
            left.pop_back();
            append(bytes, *folder);
            for (auto subfolder = folder->subfolders.rbegin(); subfolder != folder->subfolders.rend();
                 ++subfolder)
                left.push_back(subfolder->get());
        }
        return bytes;
    }

    // A folder's fields but its name; how many folders it holds, absent where the bytes end first.
    std::optional<std::uint32_t> takeFields(KeptBytes::Reader& reader, Folder& folder)
    {
        FixedFields fields {};
        if (!(reader.take(fields.device) && reader.take(fields.inode) && reader.take(fields.changedSeconds)
                && reader.take(fields.changedNanoseconds) && reader.take(fields.trusted)
                && reader.take(fields.mayBeGitFolder) && reader.take(fields.dotGitType)
                && reader.take(fields.subfolders)))
            return std::nullopt;
        folder.stamp = { static_cast<dev_t>(fields.device), static_cast<ino_t>(fields.inode),
            { static_cast<time_t>(fields.changedSeconds), static_cast<long>(fields.changedNanoseconds) } };
        folder.trusted = fields.trusted == 1;
        folder.mayBeGitFolder = fields.mayBeGitFolder == 1;
        folder.dotGitType = fields.dotGitType;
        return fields.subfolders;
    }

    std::optional<std::string_view> takeName(KeptBytes::Reader& reader)
    {
        std::string_view name;
        return reader.takeName(name) ? std::optional(name) : std::nullopt;
    }

    // A name a listing gives a folder, after `previous` in its folder's order.
    bool isListedName(std::string_view name, std::string_view previous)
    {
        return !name.empty() && name.size() <= NAME_MAX && name.find('/') == std::string_view::npos
            && name != "." && name != ".." && name != ".git" && name > previous;
    }

    // What `bytes` says `placePath` held, into `place`, and the number of folders below it; absent, with
    // `place` to be dropped, where the bytes are not whole, are for another place or hold more than
    // `limit` folders.
    std::optional<std::size_t> decoded(
        std::string_view bytes, const std::string& placePath, Folder& place, std::size_t limit)
    {
        KeptBytes::Reader reader(bytes);
        auto placeName = reader.skipped(kFileHeader) ? takeName(reader) : std::nullopt;
        auto rootName = placeName && *placeName == placePath ? takeName(reader) : std::nullopt;
        auto rootHolds = rootName && rootName->empty() ? takeFields(reader, place) : std::nullopt;
        if (!rootHolds)
            return std::nullopt;
        struct Open {
            Folder* folder;
            std::uint32_t left;
        };
        std::vector<Open> open = { { &place, *rootHolds } };
        std::size_t count = 0;
        while (!open.empty()) {
            Open& top = open.back();
            if (top.left == 0) {
                open.pop_back();
                continue;
            }
            --top.left;
            Folder* holder = top.folder;
            auto name = takeName(reader);
            std::string_view previous;
            if (!holder->subfolders.empty())
                previous = holder->subfolders.back()->name;
            if (!name || !isListedName(*name, previous) || ++count > limit || open.size() >= kDeepest)
                return std::nullopt;
            auto& folder = holder->subfolders.emplace_back(
                std::make_unique<Folder>(Folder { .name = std::string(*name) }));
            auto holds = takeFields(reader, *folder);
            if (!holds)
                return std::nullopt;
            open.push_back({ folder.get(), *holds });
        }
        if (!reader.atEnd())
            return std::nullopt;
        return count;
    }

}

SearchedFolders::Tree::~Tree() { store().folders -= folders; }

SearchedFolders::SearchedFolders(const fs::path& place, const fs::path& keptFile)
{
    Store& shared = store();
    {
        std::lock_guard lock(shared.lock);
        if (shared.folders >= maxFolders)
            shared.trees.clear();
        auto& tree = shared.trees[place.native()];
        if (!tree) {
            tree = std::make_shared<Tree>();
            tree->placePath = place.native();
            shared.folders += tree->folders;
        }
        m_tree = tree;
    }
    m_walking = std::unique_lock(m_tree->walking);
    m_walk = ++m_tree->walks;
    if (keptFile.empty() || !m_tree->keptFile.empty())
        return;
    m_tree->keptFile = keptFile;
    Folder& top = m_tree->place;
    if (top.trusted || !top.subfolders.empty())
        return;
    try {
        std::string bytes = readPrivateFile(keptFile, kFileBytesLimit);
        auto count = bytes.empty() ? std::nullopt : decoded(bytes, m_tree->placePath, top, maxFolders);
        if (!count) {
            top = Folder {};
            return;
        }
        m_tree->folders += *count;
        shared.folders += *count;
    } catch (const std::exception&) {
        // Out of memory: the walk lists every folder.
        top = Folder {};
    }
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
            m_tree->changed = true;
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

bool SearchedFolders::refresh(
    Folder& folder, const std::string& path, const GitFolderListing::Options& options)
{
    if (folder.trusted && folder.heldAtWalk == m_walk)
        return true;
    auto listing = GitFolderListing::read(path, options);
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
    const auto dotGitType = listing ? listing->dotGitType : static_cast<unsigned char>(DT_UNKNOWN);
    const bool mayBeGitFolder = listing && listing->mayBeGitFolder;
    // A new stamp alone is not written: the kept one, which it never matches again, only has the folder
    // read again at the next program start. Writing a developer's whole place again for the stamp of its
    // top, which moved at every run, cost each walk some 15 ms. A folder listed for the first time is
    // written, as is one whose listing failed before.
    if (folder.stamp == GitFolderListing::Stamp {} || added > 0 || removed > 0
        || dotGitType != folder.dotGitType || mayBeGitFolder != folder.mayBeGitFolder)
        m_tree->changed = true;
    folder.subfolders = std::move(subfolders);
    folder.trusted = listing && listing->settled;
    folder.stamp = listing ? listing->stamp : GitFolderListing::Stamp {};
    folder.dotGitType = dotGitType;
    folder.mayBeGitFolder = mayBeGitFolder;
    m_tree->folders = m_tree->folders + added - removed;
    store().folders += added;
    store().folders -= removed;
    return listing.has_value();
}

void SearchedFolders::forgetAll()
{
    Store& shared = store();
    std::lock_guard lock(shared.lock);
    shared.trees.clear();
}

void SearchedFolders::keep()
{
    Tree& tree = *m_tree;
    if (tree.keptFile.empty() || !tree.changed)
        return;
    try {
        ensurePrivateDirectory(tree.keptFile.parent_path());
        // Lost at a crash, or cut short, it costs the next start a longer walk, nothing more.
        writePrivateFile(encoded(tree.placePath, tree.place), tree.keptFile, Durability::untilRestart);
        tree.changed = false;
    } catch (const std::exception&) {
        // As lost: the next start lists every folder again.
    }
}

}
