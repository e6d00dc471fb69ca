#include "VellumarMacCore/GitProtection/GitFolderRecord.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>

namespace vellumar::GitFolderRecord {

namespace {

    namespace fs = std::filesystem;
    using GitConfigPaths::Repository;

    // Far beyond what every repository a place may hold takes.
    constexpr std::size_t kRecordBytesLimit = 4 * 1024 * 1024;

    // One file per place, named by a hash of its path (FNV-1a), which the file repeats first so that two
    // places sharing a hash never read each other's record.
    fs::path recordFile(const fs::path& dataFolder, const fs::path& place)
    {
        std::uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : place.native())
            hash = (hash ^ c) * 1099511628211ull;
        char name[17];
        std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
        return dataFolder / folderName / name;
    }

    // The place, then each repository's Git folder and work tree (empty for a bare one), each ended by a
    // NUL, which no path holds.
    std::string encoded(const fs::path& place, const std::vector<Repository>& repositories)
    {
        std::string bytes = place.native() + '\0';
        for (const auto& repository : repositories) {
            bytes.append(repository.gitFolder.native()).push_back('\0');
            bytes.append(repository.workTree.value_or(fs::path()).native()).push_back('\0');
        }
        return bytes;
    }

}

std::vector<Repository> recorded(const fs::path& dataFolder, const fs::path& place)
{
    std::vector<Repository> repositories;
    if (dataFolder.empty())
        return repositories;
    try {
        std::string bytes = readPrivateFile(recordFile(dataFolder, place), kRecordBytesLimit);
        std::vector<std::string_view> fields;
        for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos;
             start = end + 1)
            fields.emplace_back(bytes.data() + start, end - start);
        if (fields.empty() || fields.front() != place.native())
            return repositories;
        for (std::size_t index = 1; index + 1 < fields.size(); index += 2) {
            fs::path gitFolder(fields[index]);
            fs::path workTree(fields[index + 1]);
            if (!gitFolder.is_absolute() || fields[index].size() >= PATH_MAX
                || !isPathInside(gitFolder, place))
                continue;
            repositories.push_back(
                { std::move(gitFolder), workTree.is_absolute() ? std::optional(workTree) : std::nullopt });
        }
    } catch (const std::exception&) {
        // Out of memory: the walk still finds what it reaches.
        repositories.clear();
    }
    return repositories;
}

void record(const fs::path& dataFolder, const fs::path& place, const std::vector<Repository>& repositories)
{
    if (dataFolder.empty())
        return;
    try {
        fs::path file = recordFile(dataFolder, place);
        if (repositories.empty()) {
            fs::remove(file);
            return;
        }
        std::string bytes = encoded(place, repositories);
        if (readPrivateFile(file, kRecordBytesLimit) == bytes)
            return;
        ensurePrivateDirectory(file.parent_path());
        // Lost at a crash, the record costs the next run a longer walk, nothing more.
        writePrivateFile(bytes, file, Durability::untilRestart);
    } catch (const std::exception& error) {
        platform::logError("The record of the Git repositories in " + place.string()
            + " could not be written (" + error.what() + "); the next run finds those its search reaches.");
    }
}

}
