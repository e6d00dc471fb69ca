#include "VellumarMacCore/GitProtection/Judging/UnreadableEntries.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <array>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::UnreadableEntries {

namespace {

    namespace fs = std::filesystem;

    // How many entries go by between two questions of the bound.
    constexpr std::size_t kEntriesPerLook = 1024;

    // A folder still to list: its name in a folder that stays open while any of its folders waits.
    struct Waiting {
        std::shared_ptr<FileDescriptor> holder;
        std::string name;
        fs::path path;
    };

    // Git reads a link there by its target alone where that starts "refs/"; any other it follows.
    bool isSymbolicRef(int folderFD, const char* name)
    {
        std::array<char, 5> target {};
        return ::readlinkat(folderFD, name, target.data(), target.size()) == 5
            && std::string_view(target.data(), target.size()) == "refs/";
    }

}

Found counted(const fs::path& gitFolder, const NewGitFolders::Judging& judging,
    const std::function<bool(const fs::path&)>& isPassedOver, const std::function<bool()>& pastBound)
{
    Found found;
    auto top = std::make_shared<FileDescriptor>(
        ::open(gitFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (top->get() < 0)
        return found;
    std::vector<Waiting> waiting = { { top, ".", gitFolder } };
    std::size_t entries = 0;
    while (!waiting.empty()) {
        Waiting folder = std::move(waiting.back());
        waiting.pop_back();
        auto opened = std::make_shared<FileDescriptor>(::openat(
            folder.holder->get(), folder.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // Its own descriptor: closedir() closes what fdopendir() took.
        std::unique_ptr<DIR, int (*)(DIR*)> stream(
            opened->get() < 0 ? nullptr : ::fdopendir(::dup(opened->get())), ::closedir);
        if (!stream)
            continue;
        const bool atTop = folder.holder == top && folder.name == ".";
        while (const dirent* entry = ::readdir(stream.get())) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            if (++entries % kEntriesPerLook == 0 && pastBound()) {
                found.whole = false;
                return found;
            }
            struct stat status { };
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN || (type != DT_REG && type != DT_DIR)) {
                if (::fstatat(opened->get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISREG(status.st_mode) ? DT_REG
                    : S_ISDIR(status.st_mode)  ? DT_DIR
                    : S_ISLNK(status.st_mode)  ? DT_LNK
                                               : DT_UNKNOWN;
            }
            fs::path path = folder.path / name;
            if (type == DT_DIR) {
                if (!(atTop && (name == "worktrees" || name == "modules")))
                    waiting.push_back({ opened, std::string(name), std::move(path) });
                continue;
            }
            if (type == DT_REG || (type == DT_LNK && isSymbolicRef(opened->get(), entry->d_name))
                || !judging.windows.couldHaveWritten(path, status.st_ctim)
                || (isPassedOver && isPassedOver(path)))
                continue;
            found.counted.push_back({ std::move(path),
                type == DT_LNK ? "it is a link, which Git follows where it writes none"
                               : "it is no regular file, which Git would wait on or fail to read" });
        }
    }
    return found;
}

}
