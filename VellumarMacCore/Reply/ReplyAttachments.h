// The files a bot sends to the phone from its reply: each path is checked against what the bot may
// read, copied into the conversation's work folder under "attached/", and older copies of the same
// file name are pruned after a reply.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace vellumar {

class RelayData;
struct PermissionResolver;
struct ResolvedPermissions;

// Why one path could not be attached; `reason` follows the file's name in the line the user reads.
struct AttachRefused : std::exception {
    explicit AttachRefused(std::string text)
        : reason(std::move(text))
    {
    }
    const char* what() const noexcept override { return reason.c_str(); }

    std::string reason;
};

// The largest file a bot may attach; its refusal names it as 200 MB.
inline constexpr std::int64_t attachmentSizeCap = 209'715'200;

struct AttachResult {
    std::vector<JSON> attached; // file entries of the copies, in path order
    std::vector<std::string> refused; // "<name>: <reason>", in path order
};

// Attaches each path as the bot wrote it; one refused path never stops the others and nothing
// throws. Prunes earlier copies when at least one file was attached. The caller holds the
// conversation's lock, so no two replies of one work folder copy or prune at once.
AttachResult attach(const std::vector<std::string>& paths, const std::filesystem::path& workFolder,
    const ResolvedPermissions& permissions, const RelayData& data);

// The real location of the file the path names when the bot may read it: inside its work folder,
// a granted folder or a granted secret item, and in no ungranted secret place. Relative paths are
// taken from the home folder. Throws AttachRefused.
std::filesystem::path checkAttachAccess(std::string_view path, const std::filesystem::path& workFolder,
    const ResolvedPermissions& permissions, const PermissionResolver& resolver);

// Copies the regular file at `source` into a fresh private folder under workFolder/"attached" and
// answers its file entry. `remaining` is what the work folder's quota still allows (may be
// negative). A file that is replaced or grows past the limit while copied leaves nothing behind.
// Throws AttachRefused.
JSON copyAttachment(
    const std::filesystem::path& source, const std::filesystem::path& workFolder, std::int64_t remaining);

// Keeps, per file name, the three newest earlier copies besides those in `keep` (the "fileId"
// values just attached). Never fails.
void pruneAttached(const std::filesystem::path& workFolder, const std::vector<std::string>& keep);

}
