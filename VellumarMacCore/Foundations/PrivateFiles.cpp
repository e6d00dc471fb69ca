#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include "VellumarMacCore/Foundations/TLSIdentityError.h"

#include "Platform/PrivateFiles.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr mode_t kFileMode = 0600;

    fs::filesystem_error platformError(const char* what, const fs::path& path, int error)
    {
        return fs::filesystem_error(what, path, std::error_code(error, std::system_category()));
    }

    constexpr std::size_t kTemporarySuffixDigits = 8;

    // The target whose write a name of the temporary form ".<target>.<8 lowercase hex>" belongs to.
    std::optional<std::string_view> targetOfTemporary(std::string_view name)
    {
        constexpr std::size_t suffixSize = 1 + kTemporarySuffixDigits;
        if (name.size() < 1 + 1 + suffixSize || name.front() != '.' || name[name.size() - suffixSize] != '.')
            return std::nullopt;
        auto digits = name.substr(name.size() - kTemporarySuffixDigits);
        if (!std::all_of(digits.begin(), digits.end(),
                [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
            return std::nullopt;
        return name.substr(1, name.size() - 1 - suffixSize);
    }

}

void ensurePrivateDirectory(const fs::path& folder)
{
    if (platform::makePrivateDirectory(folder) == platform::PrivateFolder::insecure)
        throw TLSIdentityError(TLSIdentityError::Kind::insecureFolder);
}

void writePrivateFile(std::string_view bytes, const fs::path& file)
{
    fs::path folder = file.parent_path();
    ensurePrivateDirectory(folder.empty() ? fs::path(".") : folder);
    platform::writeFileAtomically(bytes, file, platform::ExistingFile::replace);
}

void removeTemporaryLeftovers(const fs::path& folder, const std::function<bool(std::string_view)>& isTarget)
{
    std::error_code error;
    std::vector<fs::path> leftovers;
    // A folder that cannot be listed (missing, not yet created) holds nothing to remove. Collected
    // first: removing entries while the folder is being read may skip others.
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        auto name = entry->path().filename().string();
        auto target = targetOfTemporary(name);
        if (target && isTarget(*target))
            leftovers.push_back(entry->path());
    }
    for (auto& leftover : leftovers)
        ::unlink(leftover.c_str());
}

void makeFilePrivate(const fs::path& file)
{
    if (::chmod(file.c_str(), kFileMode) != 0)
        throw platformError("The file could not be made private", file, errno);
}

}
