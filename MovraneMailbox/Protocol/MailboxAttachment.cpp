#include "MovraneMailbox/Protocol/MailboxAttachment.h"

#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxDecodingError.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "Platform/AESGCM.h"
#include "Platform/FileDescriptor.h"
#include "Platform/PrivateFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace movrane {

namespace {

    namespace fs = std::filesystem;
    using Kind = MailboxAttachmentError::Kind;
    using vellumar::platform::AESGCM;

    constexpr std::uint8_t kMagic[] = { 'V', 'L', 'M', 'A' };
    constexpr std::uint8_t kVersion = 1;
    constexpr std::size_t kHeaderBytes = 17;
    // AES-256.
    constexpr std::size_t kKeyBytes = 32;
    // A key of 32 bytes takes 43 characters; longer text is refused before it is decoded.
    constexpr std::size_t kMaxKeyTextLength = 64;

    [[noreturn]] void fail(Kind kind) { throw MailboxAttachmentError(kind); }

    struct Layout {
        std::uint32_t chunkSize;
        std::uint64_t size;

        std::uint64_t count() const { return std::max<std::uint64_t>(1, (size + chunkSize - 1) / chunkSize); }
        std::size_t chunkLength(std::uint64_t index) const
        {
            return static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, size - index * chunkSize));
        }
        // The largest chunk, so one buffer serves every chunk of the file.
        std::size_t bufferLength() const { return static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, size)); }
    };

    MailboxBytes headerOf(const Layout& layout)
    {
        MailboxBytes header(std::begin(kMagic), std::end(kMagic));
        header.push_back(kVersion);
        MailboxBinary::appendUInt32(header, layout.chunkSize);
        MailboxBinary::appendUInt64(header, layout.size);
        return header;
    }

    std::array<std::uint8_t, AESGCM::nonceBytes> nonceOf(std::uint64_t index)
    {
        std::array<std::uint8_t, AESGCM::nonceBytes> nonce {};
        for (int byte = 0; byte < 8; ++byte)
            nonce[4 + byte] = static_cast<std::uint8_t>(index >> (56 - 8 * byte));
        return nonce;
    }

    // The header, then 1 for the last chunk and 0 for every other; both made once per file.
    struct AdditionalData {
        explicit AdditionalData(std::span<const std::uint8_t> header)
            : middle(header.begin(), header.end())
            , last(middle)
        {
            middle.push_back(0);
            last.push_back(1);
        }
        std::span<const std::uint8_t> forChunk(std::uint64_t index, const Layout& layout) const
        {
            return index + 1 == layout.count() ? last : middle;
        }
        MailboxBytes middle;
        MailboxBytes last;
    };

    using vellumar::platform::FileDescriptor;

    FileDescriptor openForReading(const fs::path& file)
    {
        int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (descriptor < 0)
            fail(Kind::file);
        return FileDescriptor(descriptor);
    }

    // Reads until `into` is full or the file ends; a read error fails with `file`.
    std::size_t readUpTo(const FileDescriptor& descriptor, std::span<std::uint8_t> into)
    {
        std::size_t filled = 0;
        while (filled < into.size()) {
            ssize_t count = ::read(descriptor.get(), into.data() + filled, into.size() - filled);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                fail(Kind::file);
            if (count == 0)
                break;
            filled += static_cast<std::size_t>(count);
        }
        return filled;
    }

    // An output made by this call alone: created new, never over an existing file or through a link,
    // and removed again unless `keep` is called. Folders it needs are created private.
    class FreshOutput {
    public:
        explicit FreshOutput(const fs::path& file)
            : m_file(file)
        {
            std::error_code ignored;
            if (file.has_parent_path() && !fs::exists(file.parent_path(), ignored)) {
                try {
                    vellumar::platform::makePrivateDirectory(file.parent_path());
                } catch (const fs::filesystem_error&) {
                    // The create below reports what matters.
                }
            }
            m_descriptor.reset(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!m_descriptor)
                fail(Kind::file);
        }
        ~FreshOutput()
        {
            m_descriptor.reset();
            if (!m_kept)
                ::unlink(m_file.c_str());
        }
        FreshOutput(const FreshOutput&) = delete;
        FreshOutput& operator=(const FreshOutput&) = delete;

        void write(std::span<const std::uint8_t> bytes, Kind onFailure)
        {
            while (!bytes.empty()) {
                ssize_t count = ::write(m_descriptor.get(), bytes.data(), bytes.size());
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0)
                    fail(onFailure);
                bytes = bytes.subspan(static_cast<std::size_t>(count));
            }
        }
        void keep() { m_kept = true; }

    private:
        fs::path m_file;
        FileDescriptor m_descriptor;
        bool m_kept = false;
    };

    using ChunkSource = std::function<void(std::uint64_t offset, std::span<std::uint8_t> into)>;

    MailboxAttachmentKey encrypt(const Layout& layout, const fs::path& output, const ChunkSource& readChunk)
    {
        if (layout.chunkSize == 0 || layout.chunkSize > MailboxAttachmentCipher::maxChunkSize)
            std::abort();
        auto keyBytes = MailboxBase64URL::randomBytes(kKeyBytes);
        AESGCM cipher(keyBytes);
        auto header = headerOf(layout);
        AdditionalData additionalData(header);
        FreshOutput file(output);
        file.write(header, Kind::file);
        MailboxBytes plaintext(layout.bufferLength());
        MailboxBytes sealed(plaintext.size() + AESGCM::tagBytes);
        for (std::uint64_t index = 0; index < layout.count(); ++index) {
            std::size_t length = layout.chunkLength(index);
            auto chunk = std::span(plaintext).first(length);
            readChunk(index * layout.chunkSize, chunk);
            auto out = std::span(sealed).first(length + AESGCM::tagBytes);
            if (!cipher.seal(nonceOf(index), additionalData.forChunk(index, layout), chunk, out))
                fail(Kind::file);
            file.write(out, Kind::file);
        }
        file.keep();
        return { MailboxBase64URL::encode(keyBytes), static_cast<std::int64_t>(layout.size) };
    }

    using ChunkSink = std::function<void(std::span<const std::uint8_t> plaintext)>;

    // Checks the key and the header, then hands each authenticated chunk to `sink` (made by
    // `startOutput` once the header has passed).
    void decrypt(const fs::path& attachment, const MailboxAttachmentKey& key,
        const std::function<ChunkSink()>& startOutput)
    {
        auto keyBytes = key.symmetricKey();
        if (!keyBytes || key.size < 0 || static_cast<std::uint64_t>(key.size) > MailboxProtocol::maxAttachmentBytes)
            fail(Kind::damaged);
        AESGCM cipher(*keyBytes);
        auto file = openForReading(attachment);
        std::uint8_t header[kHeaderBytes];
        if (readUpTo(file, header) != kHeaderBytes)
            fail(Kind::damaged);
        MailboxBinary::Reader reader(header);
        reader.offset = sizeof kMagic + 1;
        Layout layout { MailboxBinary::readUInt32(reader), MailboxBinary::readUInt64(reader) };
        if (!std::equal(std::begin(kMagic), std::end(kMagic), header) || header[4] != kVersion
            || layout.chunkSize == 0 || layout.chunkSize > MailboxAttachmentCipher::maxChunkSize
            || layout.size != static_cast<std::uint64_t>(key.size))
            fail(Kind::damaged);
        AdditionalData additionalData(header);
        auto sink = startOutput();
        MailboxBytes sealed(layout.bufferLength() + AESGCM::tagBytes);
        MailboxBytes plaintext(layout.bufferLength());
        for (std::uint64_t index = 0; index < layout.count(); ++index) {
            std::size_t length = layout.chunkLength(index);
            auto in = std::span(sealed).first(length + AESGCM::tagBytes);
            auto out = std::span(plaintext).first(length);
            if (readUpTo(file, in) != in.size()
                || !cipher.open(nonceOf(index), additionalData.forChunk(index, layout), in, out))
                fail(Kind::damaged);
            sink(out);
        }
        std::uint8_t extra;
        if (readUpTo(file, std::span(&extra, 1)) != 0)
            fail(Kind::damaged);
    }

}

const char* MailboxAttachmentError::what() const noexcept
{
    switch (m_kind) {
    case Kind::tooLarge:
        return "tooLarge";
    case Kind::damaged:
        return "damaged";
    case Kind::file:
        return "file";
    }
    return "file";
}

std::optional<std::array<std::uint8_t, 32>> MailboxAttachmentKey::symmetricKey() const
{
    if (key.size() > kMaxKeyTextLength)
        return std::nullopt;
    auto bytes = MailboxBase64URL::decode(key);
    if (!bytes || bytes->size() != kKeyBytes)
        return std::nullopt;
    std::array<std::uint8_t, 32> symmetric {};
    std::copy(bytes->begin(), bytes->end(), symmetric.begin());
    return symmetric;
}

vellumar::JSON MailboxAttachmentKey::toJSON() const
{
    return vellumar::JSON::object({ { "key", key }, { "size", static_cast<long long>(size) } });
}

MailboxAttachmentKey MailboxAttachmentKey::fromJSON(const vellumar::JSON& json)
{
    const vellumar::JSON* keyMember = json.subscript("key");
    const vellumar::JSON* sizeMember = json.subscript("size");
    const std::string* keyText = keyMember ? keyMember->stringValue() : nullptr;
    auto size = sizeMember ? sizeMember->intValue() : std::nullopt;
    if (!keyText || !size)
        throw MailboxDecodingError("not an attachment key");
    return { *keyText, *size };
}

std::string MailboxAttachmentKey::description() const
{
    return "MailboxAttachmentKey(size: " + std::to_string(size) + ", key: redacted)";
}

MailboxAttachmentKey MailboxAttachmentCipher::encryptFile(
    const fs::path& plaintext, const fs::path& output, std::uint32_t chunkSize)
{
    auto source = openForReading(plaintext);
    struct stat status { };
    if (::fstat(source.get(), &status) != 0 || !S_ISREG(status.st_mode))
        fail(Kind::file);
    auto size = static_cast<std::uint64_t>(status.st_size);
    if (size > MailboxProtocol::maxAttachmentBytes)
        fail(Kind::tooLarge);
    return encrypt({ chunkSize, size }, output, [&](std::uint64_t, std::span<std::uint8_t> into) {
        if (readUpTo(source, into) != into.size())
            fail(Kind::file);
    });
}

MailboxAttachmentKey MailboxAttachmentCipher::encryptData(
    std::span<const std::uint8_t> plaintext, const fs::path& output, std::uint32_t chunkSize)
{
    if (plaintext.size() > MailboxProtocol::maxAttachmentBytes)
        fail(Kind::tooLarge);
    return encrypt({ chunkSize, plaintext.size() }, output, [&](std::uint64_t offset, std::span<std::uint8_t> into) {
        std::copy_n(plaintext.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
    });
}

void MailboxAttachmentCipher::decryptFile(
    const fs::path& attachment, const MailboxAttachmentKey& key, const fs::path& output)
{
    std::optional<FreshOutput> file;
    decrypt(attachment, key, [&]() -> ChunkSink {
        file.emplace(output);
        return [&](std::span<const std::uint8_t> plaintext) { file->write(plaintext, Kind::damaged); };
    });
    file->keep();
}

MailboxBytes MailboxAttachmentCipher::decryptData(
    const fs::path& attachment, const MailboxAttachmentKey& key, std::int64_t limitBytes)
{
    if (key.size > limitBytes)
        fail(Kind::tooLarge);
    MailboxBytes plaintext;
    decrypt(attachment, key, [&]() -> ChunkSink {
        plaintext.reserve(static_cast<std::size_t>(key.size));
        return [&](std::span<const std::uint8_t> chunk) { plaintext.insert(plaintext.end(), chunk.begin(), chunk.end()); };
    });
    return plaintext;
}

}
