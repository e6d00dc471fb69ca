#include "VellumarMacCore/ConversationData/StoreFile.h"

#include "VellumarMacCore/ConversationData/ReadableFile.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <array>
#include <exception>

namespace vellumar::detail {

std::optional<std::string> readStoreFile(const std::filesystem::path& file, std::size_t limitBytes)
{
    auto readable = ReadableFile::open(file);
    if (!readable || readable->sizeBytes() < 0
        || static_cast<std::uint64_t>(readable->sizeBytes()) > limitBytes)
        return std::nullopt;
    std::string bytes;
    std::array<char, 64 * 1024> buffer;
    // The size was read at opening; a file that grows meanwhile is still cut off at the limit.
    for (;;) {
        auto count = readable->read(buffer);
        if (!count)
            return std::nullopt;
        if (*count == 0)
            return bytes;
        if (bytes.size() + *count > limitBytes)
            return std::nullopt;
        bytes.append(buffer.data(), *count);
    }
}

std::optional<JSON> readStoreJSON(const std::filesystem::path& file, std::size_t limitBytes)
{
    auto bytes = readStoreFile(file, limitBytes);
    if (!bytes)
        return std::nullopt;
    return JSON::decode(*bytes);
}

bool writeStoreJSON(const JSON& value, const std::filesystem::path& file)
{
    try {
        writePrivateFile(value.encoded(), file);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}
