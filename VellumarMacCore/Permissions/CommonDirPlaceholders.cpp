#include "VellumarMacCore/Permissions/CommonDirPlaceholders.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <array>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr const char* kName = "commondir";

    // Every run of this process holding each placeholder, by Git folder.
    struct Holders {
        std::mutex lock;
        std::map<fs::path, int> counts;
    };

    Holders& holders()
    {
        static Holders shared;
        return shared;
    }

    // Whether the regular file at "commondir" in the open folder is a placeholder.
    bool isPlaceholder(int folderFD)
    {
        FileDescriptor file(::openat(folderFD, kName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat status { };
        if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
            return false;
        std::array<char, 8> bytes {};
        ssize_t count = ::read(file.get(), bytes.data(), bytes.size());
        return count == static_cast<ssize_t>(CommonDirPlaceholders::content.size())
            && std::string_view(bytes.data(), static_cast<std::size_t>(count))
            == CommonDirPlaceholders::content;
    }

    // A new placeholder, or one already there; false when "commondir" is something else or cannot be made.
    bool place(int folderFD)
    {
        FileDescriptor file(
            ::openat(folderFD, kName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (file.get() < 0)
            return errno == EEXIST && isPlaceholder(folderFD);
        const auto& content = CommonDirPlaceholders::content;
        if (::write(file.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size()))
            return true;
        ::unlinkat(folderFD, kName, 0);
        return false;
    }

}

std::vector<fs::path> CommonDirPlaceholders::gitFolders(const std::vector<fs::path>& places)
{
    std::vector<fs::path> folders;
    // A ".git" the kernel cannot resolve is no repository Git could use.
    for (const auto& place : places) {
        if (auto gitFolder = resolvingSymlinks(place / ".git"))
            folders.push_back(std::move(*gitFolder));
    }
    return folders;
}

CommonDirPlaceholders::CommonDirPlaceholders(const std::vector<fs::path>& gitFolders)
{
    Holders& shared = holders();
    std::lock_guard lock(shared.lock);
    for (const auto& gitFolder : gitFolders) {
        try {
            if (auto held = shared.counts.find(gitFolder); held != shared.counts.end()) {
                ++held->second;
                m_held.push_back(gitFolder);
                continue;
            }
            FileDescriptor folder(::open(gitFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (folder.get() >= 0 && place(folder.get())) {
                shared.counts.emplace(gitFolder, 1);
                m_held.push_back(gitFolder);
            }
        } catch (const std::exception&) {
            // Out of memory: this folder goes without, and the guard's checks remain.
        }
    }
}

CommonDirPlaceholders::~CommonDirPlaceholders()
{
    Holders& shared = holders();
    std::lock_guard lock(shared.lock);
    for (const auto& gitFolder : m_held) {
        auto held = shared.counts.find(gitFolder);
        if (held == shared.counts.end() || --held->second > 0)
            continue;
        shared.counts.erase(held);
        FileDescriptor folder(::open(gitFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.get() >= 0 && isPlaceholder(folder.get()))
            ::unlinkat(folder.get(), kName, 0);
    }
}

}
