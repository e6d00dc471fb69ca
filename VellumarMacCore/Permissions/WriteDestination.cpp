#include "VellumarMacCore/Permissions/WriteDestination.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <linux/magic.h>
#include <string>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <system_error>

namespace vellumar {

namespace fs = std::filesystem;

namespace {

    // The kernel's MAXSYMLINKS: one more link in a path and open(2) fails with ELOOP.
    constexpr int kMaxLinks = 40;

    // Puts the non-empty "/"-separated pieces of `text` in front of the pieces still to walk.
    void walkNext(std::deque<std::string>& pending, std::string_view text)
    {
        std::deque<std::string> pieces;
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = std::min(text.find('/', start), text.size());
            if (end > start)
                pieces.emplace_back(text.substr(start, end - start));
            start = end + 1;
        }
        pending.insert(pending.begin(), pieces.begin(), pieces.end());
    }

    // Also true when the file system cannot be told, so that doubt refuses.
    bool mayBeProcfs(const fs::path& folder)
    {
        struct statfs info { };
        return statfs(folder.c_str(), &info) != 0 || info.f_type == PROC_SUPER_MAGIC;
    }

}

std::optional<WriteDestination> writeDestination(std::string_view path)
{
    if (!path.starts_with('/'))
        return std::nullopt;
    enum class Reached { folder, missing, file };

    std::deque<std::string> pending;
    walkNext(pending, path);
    fs::path walked = "/";
    Reached reached = Reached::folder;
    struct stat info { };
    int links = 0;
    while (!pending.empty()) {
        std::string piece = std::move(pending.front());
        pending.pop_front();
        if (piece == "." || piece == "..") {
            // Below a missing folder or a file the kernel finds nothing to go back from.
            if (reached != Reached::folder)
                return std::nullopt;
            if (piece == "..")
                walked = walked.parent_path();
            continue;
        }
        fs::path next = walked / piece;
        if (reached == Reached::missing) {
            walked = std::move(next);
            continue;
        }
        if (reached == Reached::file)
            return std::nullopt;
        if (lstat(next.c_str(), &info) != 0) {
            if (errno != ENOENT)
                return std::nullopt;
            walked = std::move(next);
            reached = Reached::missing;
            continue;
        }
        if (S_ISLNK(info.st_mode)) {
            if (++links > kMaxLinks || mayBeProcfs(walked))
                return std::nullopt;
            std::error_code error;
            std::string target = fs::read_symlink(next, error).string();
            if (error || target.empty())
                return std::nullopt;
            if (target.starts_with('/'))
                walked = "/";
            walkNext(pending, target);
            continue;
        }
        walked = std::move(next);
        reached = S_ISDIR(info.st_mode) ? Reached::folder : Reached::file;
    }
    return WriteDestination { .path = walked,
        .hasOtherNames = reached == Reached::file && S_ISREG(info.st_mode) && info.st_nlink > 1 };
}

}
