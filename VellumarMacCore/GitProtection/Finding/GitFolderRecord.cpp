#include "VellumarMacCore/GitProtection/Finding/GitFolderRecord.h"

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
    using GitRepositorySearch::Repository;

    // Far beyond what every repository a place may hold, and the folders a search leaves, take.
    constexpr std::size_t kRecordBytesLimit = 64 * 1024 * 1024;

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

    // The place, then each repository's Git folder and work tree (empty for a bare one), then an empty
    // field and each folder left unwalked, every field ended by a NUL, which no path holds. A Git folder
    // is never empty, so the empty field ends the repositories.
    std::string encoded(const fs::path& place, const Record& record)
    {
        std::string bytes = place.native() + '\0';
        for (const auto& repository : record.repositories) {
            bytes.append(repository.gitFolder.native()).push_back('\0');
            bytes.append(repository.workTree.value_or(fs::path()).native()).push_back('\0');
        }
        bytes.push_back('\0');
        for (const auto& folder : record.unwalked)
            bytes.append(folder.native()).push_back('\0');
        return bytes;
    }

    bool isOwnPath(std::string_view field, const fs::path& place)
    {
        fs::path path(field);
        return path.is_absolute() && field.size() < PATH_MAX && (path == place || isPathInside(path, place));
    }

}

fs::path listingsFile(const fs::path& dataFolder, const fs::path& place)
{
    if (dataFolder.empty())
        return {};
    fs::path file = recordFile(dataFolder, place);
    return file += ".folders";
}

Record recorded(const fs::path& dataFolder, const fs::path& place)
{
    Record found;
    if (dataFolder.empty())
        return found;
    try {
        std::string bytes = readPrivateFile(recordFile(dataFolder, place), kRecordBytesLimit);
        std::vector<std::string_view> fields;
        for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos;
             start = end + 1)
            fields.emplace_back(bytes.data() + start, end - start);
        if (fields.empty() || fields.front() != place.native())
            return found;
        std::size_t index = 1;
        for (; index + 1 < fields.size() && !fields[index].empty(); index += 2) {
            fs::path workTree(fields[index + 1]);
            if (isOwnPath(fields[index], place))
                found.repositories.push_back({ fs::path(fields[index]),
                    workTree.is_absolute() ? std::optional(workTree) : std::nullopt });
        }
        for (++index; index < fields.size(); ++index) {
            if (isOwnPath(fields[index], place))
                found.unwalked.emplace_back(fields[index]);
        }
    } catch (const std::exception&) {
        // Out of memory: the walk still finds what it reaches.
        found = {};
    }
    return found;
}

void record(const fs::path& dataFolder, const fs::path& place, const Record& record)
{
    if (dataFolder.empty())
        return;
    try {
        fs::path file = recordFile(dataFolder, place);
        if (record.repositories.empty() && record.unwalked.empty()) {
            fs::remove(file);
            return;
        }
        std::string bytes = encoded(place, record);
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
