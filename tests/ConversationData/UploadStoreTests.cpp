#include "VellumarMacCore/ConversationData/UploadStore.h"

#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <thread>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using test::modeOf;
    using test::namesIn;

    const RelayHTTPError kMissingName
        = RelayHTTPError::badRequest("Send the file name in X-File-Name (percent-encoded).");
    const RelayHTTPError kUnreceived { 500, "internal", "The file could not be received." };
    const RelayHTTPError kUnstored { 507, "insufficient_storage", "The Mac could not store the file." };
    const RelayHTTPError kOverQuota { 507, "insufficient_storage",
        "This conversation has too many files on the Mac. Clear the conversation's files, then try again." };

    const std::string kConversation = "c-1";

    // The stored file of an upload reply.
    std::string storedName(const JSON& reply)
    {
        return fs::path(*reply.subscript("fileId")->stringValue()).filename();
    }

    class UploadStoreTest : public ::testing::Test {
    protected:
        UploadStoreTest()
        {
            m_jpeg = test::readFile(test::makeQuadrantImage(m_folder / "sample.jpg", 64, 48));
        }

        fs::path incoming() const { return m_folder / "incoming"; }
        fs::path workFolder() const { return m_folder / "workspaces" / kConversation; }
        fs::path uploads() const { return workFolder() / "uploads"; }

        // A spool file as the request parser leaves one.
        fs::path spool(const std::string& bytes)
        {
            fs::path file = incoming() / (".incoming-" + std::to_string(m_spooled++));
            test::writeBytes(file, bytes);
            return file;
        }

        JSON receive(const fs::path& spoolFile, const std::optional<std::string>& name,
            const std::optional<std::string>& type = std::nullopt, const UploadStore* store = nullptr)
        {
            return (store ? *store : m_store).receive(spoolFile, kConversation, name, type);
        }

        std::optional<RelayHTTPError> refusal(const fs::path& spoolFile,
            const std::optional<std::string>& name, const std::optional<std::string>& type = std::nullopt,
            const UploadStore* store = nullptr)
        {
            auto error = test::thrown<RelayHTTPError>([&] { receive(spoolFile, name, type, store); });
            EXPECT_FALSE(fs::exists(fs::symlink_status(spoolFile))) << "the spool file is left";
            return error;
        }

        test::TemporaryFolder m_folder;
        UploadStore m_store { Workspaces(m_folder / "workspaces") };
        std::string m_jpeg;
        int m_spooled = 0;
    };

    TEST_F(UploadStoreTest, MovesTheSpoolFileIntoAPrivateUploadsFolderUnderAUniqueName)
    {
        auto spoolFile = spool(m_jpeg);
        struct stat spooled { };
        ASSERT_EQ(::stat(spoolFile.c_str(), &spooled), 0);

        JSON reply = receive(spoolFile, "My%20Photo.jpg", "image/jpeg");

        std::string stored = storedName(reply);
        EXPECT_TRUE(stored.find_first_not_of("0123456789abcdef") == 8 && stored.substr(8) == "-My_Photo.jpg")
            << stored;
        EXPECT_EQ(reply,
            JSON::object({ { "fileId", "uploads/" + stored }, { "name", "My_Photo.jpg" },
                { "mime", "image/jpeg" }, { "size", static_cast<std::int64_t>(m_jpeg.size()) } }));
        struct stat moved { };
        ASSERT_EQ(::stat((uploads() / stored).c_str(), &moved), 0);
        EXPECT_TRUE(moved.st_ino == spooled.st_ino && moved.st_dev == spooled.st_dev) << "copied, not moved";
        EXPECT_EQ(modeOf(uploads() / stored), 0600u);
        EXPECT_EQ(modeOf(uploads()), 0700u);
        EXPECT_TRUE(namesIn(incoming()).empty());
        EXPECT_EQ(namesIn(uploads()), std::set<std::string> { stored });

        EXPECT_EQ(m_store.list(kConversation).subscript("files")->arrayValue()->size(), 1u);
        EXPECT_EQ(m_store.file(kConversation, { "uploads", stored }),
            (UploadStore::StoredFile {
                fs::canonical(uploads() / stored), static_cast<std::int64_t>(m_jpeg.size()), stored }));
    }

    TEST(UploadStoreFileName, ReadsPercentEncodedNamesOfAtMost1024Bytes)
    {
        std::string longest = std::string(1020, 'a') + ".txt";
        const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
            { "my%20notes.txt", "my_notes.txt" },
            { "a+b.txt", "a+b.txt" },
            { "%c3%a9.txt", "\xC3\xA9.txt" },
            { "\xC3\xA9t\xC3\xA9.txt", "\xC3\xA9t\xC3\xA9.txt" },
            { "a%2Fb.jpg", "b.jpg" },
            { longest, longest.substr(1020 - 76) },
            { longest + "x", std::nullopt },
            { std::nullopt, std::nullopt },
            { "", std::nullopt },
            { "photo%zz.jpg", std::nullopt },
            { "photo.jpg%4", std::nullopt },
            { "photo%ff.jpg", std::nullopt },
            { "\xFF.txt", std::nullopt },
            { "%20%20%09", std::nullopt },
            { "%C2%A0%E3%80%80", std::nullopt },
        };
        for (const auto& [header, name] : cases) {
            SCOPED_TRACE(header.value_or("(absent)"));
            EXPECT_EQ(UploadStore::fileNameFromHeader(header), name);
        }
    }

    TEST_F(UploadStoreTest, NamesTheUploadAfterItsContentAndRefusesOneWithoutAName)
    {
        std::string png = test::readFile(test::makeQuadrantImage(m_folder / "sample.png", 16, 16));
        const std::tuple<const char*, std::string, const char*> cases[] = {
            { "photo.JPG", m_jpeg, "photo.jpg" },
            { "archive.v2.jpeg", m_jpeg, "archive.v2.jpeg" },
            { "no-extension", m_jpeg, "no-extension.jpg" },
            { "picture.jpg", png, "picture.png" },
        };
        for (const auto& [header, bytes, name] : cases) {
            SCOPED_TRACE(header);
            JSON reply = receive(spool(bytes), std::string(header));
            EXPECT_EQ(*reply.subscript("name"), JSON(name));
            EXPECT_TRUE(storedName(reply).ends_with(std::string("-") + name)) << storedName(reply);
        }
        fs::remove_all(workFolder());
        EXPECT_EQ(refusal(spool(m_jpeg), "%20"), kMissingName);
        EXPECT_FALSE(fs::exists(workFolder()));
    }

    TEST_F(UploadStoreTest, ChecksTheSpoolFileItself)
    {
        auto target = m_folder / "elsewhere.jpg";
        test::writeBytes(target, m_jpeg);
        fs::create_directories(incoming());
        fs::create_symlink(target, incoming() / ".incoming-link");
        fs::create_directory(incoming() / ".incoming-folder");
        for (const char* name : { ".incoming-missing", ".incoming-link", ".incoming-folder" }) {
            SCOPED_TRACE(name);
            EXPECT_EQ(refusal(incoming() / name, "photo.jpg"), kUnreceived);
        }
        EXPECT_EQ(test::readFile(target), m_jpeg);
        EXPECT_FALSE(fs::exists(workFolder()));

        EXPECT_EQ(refusal(spool(""), "photo.jpg"), RelayHTTPError::badRequest("The file is empty."));
        // Sparse files: the size test reads the status only.
        auto oversized = spool(m_jpeg);
        fs::resize_file(oversized, UploadRules::maxUploadBytes + 1);
        EXPECT_EQ(
            refusal(oversized, "photo.jpg"), RelayHTTPError(413, "too_large", "Files can be up to 50 MB."));
        auto largest = spool(m_jpeg);
        fs::resize_file(largest, UploadRules::maxUploadBytes);
        EXPECT_EQ(fs::file_size(uploads() / storedName(receive(largest, "photo.jpg"))),
            static_cast<std::uintmax_t>(UploadRules::maxUploadBytes));
    }

    TEST_F(UploadStoreTest, ReadsTheMediaTypeWithoutItsParameters)
    {
        const std::pair<const char*, bool> cases[] = {
            { "image/jpeg; charset=binary", true },
            { "  IMAGE/JPEG  ", true },
            { ";application/pdf", false },
            { ";;", true },
            { "application/pdf", false },
            { "text/plain; image/jpeg", false },
        };
        for (auto [contentType, accepted] : cases) {
            SCOPED_TRACE(contentType);
            auto error = refusal(spool(m_jpeg), "photo.jpg", contentType);
            EXPECT_EQ(error ? error->code() : "accepted", accepted ? "accepted" : "unsupported_type");
        }
    }

    TEST_F(UploadStoreTest, AcceptsUpToTheQuotaAndNotAByteMore)
    {
        constexpr std::int64_t kQuota = 100'000;
        UploadStore store { Workspaces(m_folder / "workspaces", kQuota) };
        auto size = static_cast<std::int64_t>(m_jpeg.size());
        test::writeBytes(
            workFolder() / "report.bin", std::string(static_cast<std::size_t>(kQuota - size - 1), 'x'));

        EXPECT_EQ(refusal(spool(m_jpeg + "!!"), "photo.jpg", {}, &store), kOverQuota);
        EXPECT_FALSE(fs::exists(uploads()));
        receive(spool(m_jpeg + "."), "photo.jpg", {}, &store);
        EXPECT_EQ(Workspaces::usage(workFolder()), kQuota);
        EXPECT_EQ(refusal(spool("a"), "a.txt", {}, &store), kOverQuota);
    }

    TEST_F(UploadStoreTest, NeverStoresBehindALinkOrOverAnotherFile)
    {
        auto outside = m_folder / "outside";
        fs::create_directories(outside);
        fs::create_directories(workFolder());
        fs::create_directory_symlink(outside, uploads());
        // Whichever step drops the link, the upload must land in a real private folder.
        EXPECT_TRUE(fs::is_regular_file(uploads() / storedName(receive(spool(m_jpeg), "photo.jpg"))));
        EXPECT_EQ(modeOf(uploads()), 0700u);
        EXPECT_TRUE(namesIn(outside).empty());

        UploadStore sameTags { Workspaces(m_folder / "workspaces"),
            [](std::size_t count) { return std::vector<std::uint8_t>(count, 0xab); } };
        test::writeBytes(uploads() / "abababab-photo.jpg", "an earlier upload");
        EXPECT_EQ(refusal(spool(m_jpeg), "photo.jpg", {}, &sameTags), kUnstored);
        EXPECT_EQ(test::readFile(uploads() / "abababab-photo.jpg"), "an earlier upload");

        fs::remove_all(uploads());
        test::writeBytes(uploads(), "a file where the folder should be");
        EXPECT_EQ(refusal(spool(m_jpeg), "photo.jpg"), kUnstored);
        EXPECT_EQ(test::readFile(uploads()), "a file where the folder should be");
    }

    TEST_F(UploadStoreTest, GivesHEICAndHEIFPhotosAJPEGPreview)
    {
        std::string photo = test::readFile(test::makeQuadrantHEIC(m_folder / "photo.heic", 320, 240));
        for (auto [header, mime] :
            { std::pair { "IMG_0001.HEIC", "image/heic" }, { "IMG_0002.heif", "image/heif" } }) {
            SCOPED_TRACE(header);
            JSON reply = receive(spool(photo), std::string(header));
            EXPECT_EQ(*reply.subscript("mime"), JSON(mime));
            std::string stored = storedName(reply);
            auto preview = uploads() / (stored.substr(0, stored.size() - 5) + "-preview.jpg");
            std::string format;
            auto picture = test::readPicture(preview, &format);
            ASSERT_TRUE(picture);
            EXPECT_EQ(format, "JPEG");
            EXPECT_EQ(picture->width, 320);
            EXPECT_EQ(modeOf(preview), 0600u);
        }
        EXPECT_EQ(namesIn(uploads()).size(), 4u);
    }

    TEST_F(UploadStoreTest, GivesAVideoFourFramesAndKeepsOneThatGivesNone)
    {
        auto video
            = test::readFile(test::makeColourVideo(m_folder / "clip.mp4", { .width = 160, .height = 120 }));
        std::string stored = storedName(receive(spool(video), "clip.mp4", "video/mp4"));
        std::string frames = stored.substr(0, stored.size() - 4) + "-frames";
        EXPECT_EQ(namesIn(uploads()), (std::set<std::string> { stored, frames }));
        EXPECT_EQ(modeOf(uploads() / frames), 0700u);
        EXPECT_EQ(namesIn(uploads() / frames),
            (std::set<std::string> { "frame-1.jpg", "frame-2.jpg", "frame-3.jpg", "frame-4.jpg" }));

        // The head of a real MP4, so the content check passes, followed by noise.
        fs::remove_all(uploads());
        JSON reply = receive(spool(video.substr(0, 64) + std::string(5000, '\x5a')), "broken.mp4");
        EXPECT_EQ(*reply.subscript("mime"), JSON("video/mp4"));
        EXPECT_EQ(namesIn(uploads()), std::set<std::string> { storedName(reply) });
    }

    TEST_F(UploadStoreTest, ConcurrentUploadsOfOneNameIntoOneConversationAreAllKept)
    {
        constexpr int kUploads = 8;
        std::vector<fs::path> spools;
        for (int index = 0; index < kUploads; ++index)
            spools.push_back(spool(m_jpeg));
        std::atomic<int> stored { 0 };
        {
            std::vector<std::jthread> threads;
            for (const auto& spoolFile : spools) {
                threads.emplace_back([&, spoolFile] {
                    try {
                        m_store.receive(spoolFile, kConversation, "photo.jpg", "image/jpeg");
                        ++stored;
                    } catch (const std::exception&) {
                    }
                });
            }
        }
        EXPECT_EQ(stored.load(), kUploads);
        EXPECT_EQ(namesIn(uploads()).size(), static_cast<std::size_t>(kUploads));
        EXPECT_TRUE(namesIn(incoming()).empty());
    }

    TEST_F(UploadStoreTest, RefusesBadDownloadPathsAndMissingFiles)
    {
        test::writeBytes(uploads() / "a.jpg", "x");
        const RelayHTTPError badPath { 400, "bad_path", "The file path is not valid." };
        const RelayHTTPError notFound { 404, "not_found", "The file was not found." };
        const std::tuple<std::string, std::vector<std::string>, RelayHTTPError> cases[] = {
            { kConversation, {}, badPath },
            { kConversation, { "uploads", "" }, badPath },
            { kConversation, { "uploads/a.jpg" }, badPath },
            { kConversation, { "uploads", std::string("a.jpg\0x", 7) }, badPath },
            { "c-none", { "a.jpg" }, notFound },
            { kConversation, { "uploads", "b.jpg" }, notFound },
            { kConversation, { "uploads" }, notFound },
        };
        for (const auto& [conversation, components, error] : cases) {
            SCOPED_TRACE(components.empty() ? "(none)" : components.back());
            EXPECT_EQ(test::thrown<RelayHTTPError>([&] { m_store.file(conversation, components); }), error);
        }
    }

}
}
