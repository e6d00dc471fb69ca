// Bodies that travel beside an envelope: a file (an upload or a download) or anything over 819,200
// bytes is encrypted into an attachment file of AES-256-GCM chunks under a fresh key, which travels
// inside the sealed envelope.
//
// File format, big-endian: "VLMA", version 1, chunk size (u32, 1 ... 16 MiB), plaintext size (u64),
// then max(1, ceil(size / chunk size)) chunks, each its ciphertext and 16-byte tag. Chunk i is sealed
// with the nonce 00000000 || i (u64) and the 17 header bytes plus one byte, 1 for the last chunk, as
// additional data, so chunks can be neither reordered, dropped nor moved to another file.
#pragma once

#include "MovraneMailbox/Protocol/MailboxBinary.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

namespace movrane {

class MailboxAttachmentError : public std::exception {
public:
    enum class Kind { tooLarge, damaged, file };

    explicit MailboxAttachmentError(Kind kind) noexcept
        : m_kind(kind)
    {
    }
    Kind kind() const noexcept { return m_kind; }
    // The case name.
    const char* what() const noexcept override;
    friend bool operator==(const MailboxAttachmentError&, const MailboxAttachmentError&) = default;

private:
    Kind m_kind;
};

struct MailboxAttachmentKey {
    // The 32 key bytes in Base64URL: 43 characters as made here.
    std::string key;
    // The plaintext's length in bytes.
    std::int64_t size = 0;

    // The AES key: absent for text over 64 characters, text that is not Base64URL, or any length
    // but 32 bytes.
    std::optional<std::array<std::uint8_t, 32>> symmetricKey() const;
    // {"key": ..., "size": ...}; decoding checks the two types only and throws MailboxDecodingError.
    vellumar::JSON toJSON() const;
    static MailboxAttachmentKey fromJSON(const vellumar::JSON& json);
    // Never shows the key: "MailboxAttachmentKey(size: 12, key: redacted)".
    std::string description() const;

    friend bool operator==(const MailboxAttachmentKey&, const MailboxAttachmentKey&) = default;
};

// Stateless and safe on any thread for different files. Files are handled one chunk at a time; the
// Data forms hold the whole plaintext. Outputs are created fresh (never over an existing file, never
// through a link) with mode 0600; missing folders above them are created 0700. Every failure throws
// MailboxAttachmentError and removes the output when this call created it, so no partial plaintext
// or ciphertext is ever left behind.
namespace MailboxAttachmentCipher {
    inline constexpr std::uint32_t senderChunkSize = 1'048'576;
    inline constexpr std::uint32_t maxChunkSize = 16'777'216;

    // `chunkSize` must be 1 ... maxChunkSize (a programming error otherwise). Only the plaintext's
    // first `size` bytes, its size when opened, are read.
    MailboxAttachmentKey encryptFile(
        const std::filesystem::path& plaintext, const std::filesystem::path& output, std::uint32_t chunkSize);
    MailboxAttachmentKey encryptData(
        std::span<const std::uint8_t> plaintext, const std::filesystem::path& output, std::uint32_t chunkSize);
    void decryptFile(
        const std::filesystem::path& attachment, const MailboxAttachmentKey& key, const std::filesystem::path& output);
    // tooLarge, before the file is opened, when the key's size exceeds `limitBytes`.
    MailboxBytes decryptData(
        const std::filesystem::path& attachment, const MailboxAttachmentKey& key, std::int64_t limitBytes);
}

}
