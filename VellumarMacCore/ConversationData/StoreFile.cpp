#include "VellumarMacCore/ConversationData/StoreFile.h"

#include "Platform/Log.h"
#include "VellumarMacCore/ConversationData/ReadableFile.h"
#include "VellumarMacCore/Foundations/MoveAside.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <array>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <malloc.h>
#include <new>
#include <string>
#include <system_error>
#include <variant>

namespace vellumar::detail {

namespace {

    namespace fs = std::filesystem;

    struct TooLarge { };

    // Documents at least this large give their memory back to the system once written.
    constexpr std::size_t kTrimAfterBytes = 1024 * 1024;

    // The bytes, TooLarge when the file holds more than `limitBytes`, or the errno of a failed read.
    std::variant<std::string, TooLarge, int> readAll(ReadableFile& readable, std::size_t limitBytes)
    {
        if (readable.sizeBytes() < 0 || static_cast<std::uint64_t>(readable.sizeBytes()) > limitBytes)
            return TooLarge {};
        std::string bytes;
        std::array<char, 64 * 1024> buffer;
        // The size was read at opening; a file that grows meanwhile is still cut off at the limit.
        for (;;) {
            auto count = readable.read(buffer);
            if (!count)
                return errno;
            if (*count == 0)
                return bytes;
            if (bytes.size() + *count > limitBytes)
                return TooLarge {};
            bytes.append(buffer.data(), *count);
        }
    }

    StoreFileContent unreadable(const fs::path& file, int error)
    {
        platform::logError(file.string() + " could not be read (" + std::generic_category().message(error)
            + "); it is left as it is, and changes to it are refused until it can be read.");
        return { .document = std::nullopt, .unreadable = true };
    }

    StoreFileContent keptAside(const fs::path& file)
    {
        keepDamagedStoreFile(file, std::chrono::system_clock::now());
        return {};
    }

    StoreFileContent decoded(
        const fs::path& file, ReadableFile& readable, std::size_t limitBytes, JSON::Kind expected)
    {
        auto bytes = readAll(readable, limitBytes);
        if (auto* error = std::get_if<int>(&bytes))
            return unreadable(file, *error);
        auto* text = std::get_if<std::string>(&bytes);
        // An empty file holds nothing worth keeping.
        if (text && text->empty())
            return {};
        auto document = text ? JSON::decode(*text) : std::nullopt;
        if (document && document->kind() == expected)
            return { .document = std::move(document), .unreadable = false };
        return keptAside(file);
    }

    void logUnsaved(const fs::path& file, const std::string& reason)
    {
        platform::logError("A change to " + file.string() + " was not saved: " + reason);
    }

}

StoreFileContent readStoreJSON(const fs::path& file, std::size_t limitBytes, JSON::Kind expected)
{
    auto opened = ReadableFile::openOrFailure(file);
    if (auto* failure = std::get_if<ReadableFile::Failure>(&opened)) {
        switch (failure->kind) {
        case ReadableFile::Failure::Kind::missing:
            return {};
        case ReadableFile::Failure::Kind::notRegularFile:
            return keptAside(file);
        case ReadableFile::Failure::Kind::unavailable:
            return unreadable(file, failure->error);
        }
    }
    try {
        return decoded(file, std::get<ReadableFile>(opened), limitBytes, expected);
    } catch (const std::bad_alloc&) {
        return unreadable(file, ENOMEM);
    }
}

void logChangeRefused(const fs::path& file)
{
    logUnsaved(file, "the file could not be read, and saving would have replaced what it holds");
}

std::optional<fs::path> keepDamagedStoreFile(const fs::path& file, std::chrono::system_clock::time_point now)
{
    try {
        MovedAside moved = moveAside(AT_FDCWD, file.string(), "damaged", now);
        if (moved.name) {
            platform::logError(file.string() + " is damaged, too large or not a regular file; it was kept as "
                + *moved.name + ", and the store starts without it.");
            return fs::path(*moved.name);
        }
        platform::logError(file.string()
            + " is damaged, too large or not a regular file and could not be kept aside ("
            + std::generic_category().message(moved.error) + "); the next change replaces it.");
    } catch (const std::exception&) {
        // Out of memory for a log line: what happened to the file stands.
    }
    return std::nullopt;
}

bool writeStoreJSON(const JSON& value, const fs::path& file)
{
    try {
        return writeStoreBytes(value.encoded(), file);
    } catch (const std::exception& error) {
        logUnsaved(file, error.what());
    }
    return false;
}

bool writeStoreBytes(std::string_view encoded, const fs::path& file)
{
    bool written = writeStorePieces(std::span(&encoded, 1), file);
    // glibc keeps what a thread freed in that thread's own arena, and a large store's document is
    // built on whichever request thread changed it: without this, each of them would go on holding
    // a copy of the whole document.
    if (encoded.size() >= kTrimAfterBytes)
        ::malloc_trim(0);
    return written;
}

bool writeStorePieces(std::span<const std::string_view> pieces, const fs::path& file)
{
    try {
        writePrivateFile(pieces, file);
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
