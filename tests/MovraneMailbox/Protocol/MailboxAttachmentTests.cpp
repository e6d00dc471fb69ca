#include "MovraneMailbox/Protocol/MailboxAttachment.h"
#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace movrane {
namespace {

    namespace fs = std::filesystem;
    using Kind = MailboxAttachmentError::Kind;
    using vellumar::test::readFile;
    using vellumar::test::thrown;
    using vellumar::test::writeBytes;

    MailboxBytes randomBuffer(std::size_t size)
    {
        std::mt19937 random(static_cast<unsigned>(size));
        MailboxBytes buffer(size);
        for (auto& byte : buffer)
            byte = static_cast<std::uint8_t>(random());
        return buffer;
    }

    std::string text(const MailboxBytes& bytes) { return { bytes.begin(), bytes.end() }; }

    std::optional<Kind> failure(const std::function<void()>& operation)
    {
        auto error = thrown<MailboxAttachmentError>(operation);
        return error ? std::optional(error->kind()) : std::nullopt;
    }

    class MailboxAttachmentCipherTest : public testing::Test {
    protected:
        vellumar::test::TemporaryFolder temporary;
        fs::path sealed = temporary / "sealed";
        fs::path opened = temporary / "opened";
    };

    TEST_F(MailboxAttachmentCipherTest, ChunkCountsAndFileLengthsFollowThePlaintextSize)
    {
        struct Case {
            std::size_t size;
            std::uint32_t chunkSize;
            std::uint64_t chunks;
        };
        const Case cases[] = { { 0, 1'048'576, 1 }, { 1'048'576, 1'048'576, 1 }, { 1'048'577, 1'048'576, 2 },
            { 10, 3, 4 }, { 7, 16'777'216, 1 } };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.size);
            fs::remove(sealed);
            auto plaintext = randomBuffer(c.size);
            auto key = MailboxAttachmentCipher::encryptData(plaintext, sealed, c.chunkSize);
            EXPECT_EQ(key.size, static_cast<std::int64_t>(c.size));
            EXPECT_EQ(key.key.size(), 43u);
            EXPECT_EQ(fs::file_size(sealed), 17 + c.size + 16 * c.chunks);
            EXPECT_EQ(vellumar::test::modeOf(sealed), 0600u);
            EXPECT_EQ(MailboxAttachmentCipher::decryptData(sealed, key, 1 << 26), plaintext);
        }
    }

    TEST_F(MailboxAttachmentCipherTest, FilesRoundTripThroughFilesAtTheSizeLimitAndNotPastIt)
    {
        auto source = temporary / "source";
        writeBytes(source, std::string(52'428'800, 'v'));
        auto key = MailboxAttachmentCipher::encryptFile(source, sealed, MailboxAttachmentCipher::senderChunkSize);
        MailboxAttachmentCipher::decryptFile(sealed, key, opened);
        EXPECT_EQ(fs::file_size(opened), 52'428'800u);
        EXPECT_EQ(vellumar::test::modeOf(opened), 0600u);
        EXPECT_EQ(readFile(opened), readFile(source));

        auto tooLarge = temporary / "too-large";
        fs::resize_file(source, 52'428'801);
        EXPECT_EQ(failure([&] { MailboxAttachmentCipher::encryptFile(source, tooLarge, 1'048'576); }), Kind::tooLarge);
        MailboxBytes overLimit(52'428'801);
        EXPECT_EQ(failure([&] { MailboxAttachmentCipher::encryptData(overLimit, tooLarge, 1'048'576); }), Kind::tooLarge);
        EXPECT_FALSE(fs::exists(tooLarge));
    }

    TEST_F(MailboxAttachmentCipherTest, AnyDamageIsRefusedAndLeavesNoOutput)
    {
        auto plaintext = randomBuffer(10);
        auto key = MailboxAttachmentCipher::encryptData(plaintext, sealed, 4); // chunks of 4, 4 and 2
        auto original = readFile(sealed);
        auto otherKey = MailboxAttachmentCipher::encryptData(randomBuffer(10), temporary / "other", 4);
        auto withHeaderByte = [&](std::size_t index, char value) {
            auto bytes = original;
            bytes[index] = value;
            return bytes;
        };
        auto withChunkSize = [&](std::string bigEndian) { return original.substr(0, 5) + bigEndian + original.substr(9); };
        const std::size_t chunk = 4 + 16;
        struct Case {
            const char* name;
            std::string file;
            MailboxAttachmentKey key;
        };
        const Case cases[] = {
            { "swapped chunks", original.substr(0, 17) + original.substr(17 + chunk, chunk) + original.substr(17, chunk)
                      + original.substr(17 + 2 * chunk),
                key },
            { "cut tail", original.substr(0, original.size() - 1), key },
            { "appended byte", original + "x", key },
            { "header shorter than 17 bytes", original.substr(0, 16), key },
            { "size other than the key's", original, { key.key, 11 } },
            { "chunk size 0", withChunkSize(std::string(4, '\0')), key },
            { "chunk size 16 MiB + 1", withChunkSize(std::string("\x01\x00\x00\x01", 4)), key },
            { "version 2", withHeaderByte(4, 2), key },
            { "wrong magic", withHeaderByte(0, 'X'), key },
            { "another file's key", original, otherKey },
            { "a key of 16 bytes", original, { MailboxBase64URL::encode(MailboxBytes(16, 1)), 10 } },
            { "a negative size", original, { key.key, -1 } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            writeBytes(sealed, c.file);
            EXPECT_EQ(failure([&] { MailboxAttachmentCipher::decryptFile(sealed, c.key, opened); }), Kind::damaged);
            EXPECT_FALSE(fs::exists(opened));
            EXPECT_EQ(failure([&] { MailboxAttachmentCipher::decryptData(sealed, c.key, 1 << 20); }), Kind::damaged);
        }
    }

    TEST_F(MailboxAttachmentCipherTest, TheCallersLimitIsCheckedBeforeTheFileIsOpened)
    {
        MailboxAttachmentKey key { MailboxBase64URL::encode(MailboxBytes(32, 7)), 100 };
        EXPECT_EQ(failure([&] { MailboxAttachmentCipher::decryptData(temporary / "missing", key, 99); }), Kind::tooLarge);
        EXPECT_EQ(failure([&] { MailboxAttachmentCipher::decryptData(temporary / "missing", key, 100); }), Kind::file);
    }

    // An output path that already holds something, or a link planted there, is neither followed nor
    // replaced nor removed: the operation fails with `file` and leaves it exactly as it was.
    TEST_F(MailboxAttachmentCipherTest, NeverWritesThroughOrRemovesWhatWasAlreadyAtTheOutput)
    {
        auto plaintext = randomBuffer(100);
        auto key = MailboxAttachmentCipher::encryptData(plaintext, sealed, 16);
        auto victim = temporary / "victim";
        writeBytes(victim, "keep me");
        writeBytes(opened, "was here first");
        fs::create_symlink(victim, temporary / "link");

        EXPECT_EQ(failure([&] { MailboxAttachmentCipher::encryptData(plaintext, opened, 16); }), Kind::file);
        EXPECT_EQ(failure([&] { MailboxAttachmentCipher::decryptFile(sealed, key, opened); }), Kind::file);
        EXPECT_EQ(readFile(opened), "was here first");
        EXPECT_EQ(failure([&] { MailboxAttachmentCipher::decryptFile(sealed, { key.key, 99 }, opened); }), Kind::damaged);
        EXPECT_EQ(readFile(opened), "was here first");
        EXPECT_EQ(failure([&] { MailboxAttachmentCipher::decryptFile(sealed, key, temporary / "link"); }), Kind::file);
        EXPECT_EQ(readFile(victim), "keep me");
        EXPECT_TRUE(fs::is_symlink(temporary / "link"));
    }

    TEST_F(MailboxAttachmentCipherTest, MissingFoldersAboveTheOutputAreMadePrivate)
    {
        auto nested = temporary / "made" / "here" / "sealed";
        MailboxAttachmentCipher::encryptData(randomBuffer(3), nested, 16);
        EXPECT_EQ(vellumar::test::modeOf(temporary / "made" / "here"), 0700u);
        EXPECT_EQ(vellumar::test::modeOf(temporary / "made"), 0700u);
    }

    // python3-cryptography's AESGCM, following the file layout by hand, is the independent peer.
    TEST_F(MailboxAttachmentCipherTest, FilesAgreeWithAPythonImplementationOfTheLayoutBothWays)
    {
        const char* script = R"(
import base64, os, struct, sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
mode, path, key_text, size_text, chunk_text = sys.argv[1:6]
key = base64.urlsafe_b64decode(key_text + "=" * (-len(key_text) % 4))
size, chunk = int(size_text), int(chunk_text)
count = max(1, -(-size // chunk))
if mode == "seal":
    plain = sys.stdin.buffer.read()
    header = b"VLMA" + bytes([1]) + struct.pack(">IQ", chunk, size)
    out = header
    for i in range(count):
        aad = header + bytes([1 if i == count - 1 else 0])
        out += AESGCM(key).encrypt(b"\0\0\0\0" + struct.pack(">Q", i), plain[i * chunk:(i + 1) * chunk], aad)
    open(path, "wb").write(out)
else:
    data = open(path, "rb").read()
    header, rest, plain = data[:17], data[17:], b""
    for i in range(count):
        length = min(chunk, size - i * chunk) + 16
        aad = header + bytes([1 if i == count - 1 else 0])
        plain += AESGCM(key).decrypt(b"\0\0\0\0" + struct.pack(">Q", i), rest[:length], aad)
        rest = rest[length:]
    assert not rest
    sys.stdout.buffer.write(plain)
)";
        for (std::size_t size : { std::size_t(0), std::size_t(5), std::size_t(70'000) }) {
            SCOPED_TRACE(size);
            auto plaintext = randomBuffer(size);
            fs::remove(sealed);
            fs::remove(opened);
            auto ours = MailboxAttachmentCipher::encryptData(plaintext, sealed, 4096);
            auto theirs = vellumar::test::runPeer(
                { "python3", "-c", script, "open", sealed.string(), ours.key, std::to_string(size), "4096" });
            ASSERT_EQ(theirs.exitStatus, 0);
            EXPECT_EQ(theirs.output, text(plaintext));

            MailboxAttachmentKey pythonKey { MailboxBase64URL::encode(randomBuffer(32)), static_cast<std::int64_t>(size) };
            ASSERT_EQ(vellumar::test::runPeer({ "python3", "-c", script, "seal", opened.string(), pythonKey.key,
                                                  std::to_string(size), "1000" },
                          text(plaintext))
                          .exitStatus,
                0);
            EXPECT_EQ(MailboxAttachmentCipher::decryptData(opened, pythonKey, 1 << 20), plaintext);
        }
    }

    TEST(MailboxAttachmentKey, OnlyThirtyTwoBytesOfBase64URLMakeAKey)
    {
        auto bytes = randomBuffer(32);
        auto text43 = MailboxBase64URL::encode(bytes);
        auto made = MailboxAttachmentKey { text43, 0 }.symmetricKey();
        ASSERT_TRUE(made);
        EXPECT_TRUE(std::equal(made->begin(), made->end(), bytes.begin()));
        for (const std::string& refused : { MailboxBase64URL::encode(randomBuffer(16)),
                 MailboxBase64URL::encode(randomBuffer(48)), std::string(), text43 + "!" }) {
            SCOPED_TRACE(refused);
            EXPECT_EQ((MailboxAttachmentKey { refused, 0 }.symmetricKey()), std::nullopt);
        }
        // 65 characters that would decode to 32 bytes once the padding is dropped.
        EXPECT_FALSE((MailboxAttachmentKey { text43 + std::string(22, '=') }.symmetricKey()));
        EXPECT_TRUE((MailboxAttachmentKey { text43 + std::string(21, '=') }.symmetricKey()));
    }

    TEST(MailboxAttachmentKey, DescriptionsAndJSONNeverLoseOrShowTheKey)
    {
        MailboxAttachmentKey key { "secret-key-text", 12 };
        EXPECT_EQ(key.description(), "MailboxAttachmentKey(size: 12, key: redacted)");
        EXPECT_EQ(MailboxAttachmentKey::fromJSON(key.toJSON()), key);
        EXPECT_EQ(key.toJSON().encoded(), R"({"key":"secret-key-text","size":12})");
    }

}
}
