#include "VellumarMacCore/ConversationData/StoreFile.h"

#include "Platform/Log.h"
#include "VellumarMacCore/ConversationData/ReadableFile.h"
#include "VellumarMacCore/Foundations/MoveAside.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <system_error>

namespace vellumar::detail {

namespace {

    namespace fs = std::filesystem;

    // The bytes, or absent when the file holds more than `limitBytes` or a read fails.
    std::optional<std::string> readAll(ReadableFile& readable, std::size_t limitBytes)
    {
        if (readable.sizeBytes() < 0 || static_cast<std::uint64_t>(readable.sizeBytes()) > limitBytes)
            return std::nullopt;
        std::string bytes;
        std::array<char, 64 * 1024> buffer;
        // The size was read at opening; a file that grows meanwhile is still cut off at the limit.
        for (;;) {
            auto count = readable.read(buffer);
            if (!count)
                return std::nullopt;
            if (*count == 0)
                return bytes;
            if (bytes.size() + *count > limitBytes)
                return std::nullopt;
            bytes.append(buffer.data(), *count);
        }
    }

    void logUnsaved(const fs::path& file, const std::string& reason)
    {
        platform::logError("A change to " + file.string() + " was not saved: " + reason);
    }

}

std::optional<JSON> readStoreJSON(const fs::path& file, std::size_t limitBytes, JSON::Kind expected)
{
    auto readable = ReadableFile::open(file);
    if (!readable)
        return std::nullopt;
    auto bytes = readAll(*readable, limitBytes);
    // An empty file holds nothing worth keeping.
    if (bytes && bytes->empty())
        return std::nullopt;
    auto document = bytes ? JSON::decode(*bytes) : std::nullopt;
    if (document && document->kind() == expected)
        return document;
    keepDamagedStoreFile(file, std::chrono::system_clock::now());
    return std::nullopt;
}

std::optional<fs::path> keepDamagedStoreFile(const fs::path& file, std::chrono::system_clock::time_point now)
{
    try {
        MovedAside moved = moveAside(AT_FDCWD, file.string(), "damaged", now);
        if (moved.name) {
            platform::logError(file.string() + " is damaged or too large; it was kept as " + *moved.name
                + ", and the store starts without it.");
            return fs::path(*moved.name);
        }
        platform::logError(file.string() + " is damaged or too large and could not be kept aside ("
            + std::generic_category().message(moved.error) + "); the next change replaces it.");
    } catch (const std::exception&) {
        // Out of memory for a log line: what happened to the file stands.
    }
    return std::nullopt;
}

bool writeStoreJSON(const JSON& value, const fs::path& file)
{
    try {
        writePrivateFile(value.encoded(), file);
        return true;
    } catch (const fs::filesystem_error& error) {
        logUnsaved(file, error.code().message());
    } catch (const std::exception& error) {
        logUnsaved(file, error.what());
    }
    return false;
}

void removeStoreLeftovers(const fs::path& file)
{
    auto name = file.filename().string();
    auto folder = file.parent_path();
    removeTemporaryLeftovers(
        folder.empty() ? fs::path(".") : folder, [&](std::string_view target) { return target == name; });
}

}
