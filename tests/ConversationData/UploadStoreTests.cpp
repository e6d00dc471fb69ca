#include "VellumarMacCore/ConversationData/UploadStore.h"

#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;

    const RelayHTTPError kMissingName
        = RelayHTTPError::badRequest("Send the file name in X-File-Name (percent-encoded).");
    const RelayHTTPError kEmpty = RelayHTTPError::badRequest("The file is empty.");
    const RelayHTTPError kTooLarge { 413, "too_large", "Files can be up to 50 MB." };
    const RelayHTTPError kUnreceived { 500, "internal", "The file could not be received." };
    const RelayHTTPError kOverQuota { 507, "insufficient_storage",
        "This conversation has too many files on the Mac. Clear the conversation's files, then try again." };
    const RelayHTTPError kUnstored { 507, "insufficient_storage", "The Mac could not store the file." };
    const RelayHTTPError kBadPath { 400, "bad_path", "The file path is not valid." };
    const RelayHTTPError kNotFound { 404, "not_found", "The file was not found." };

    const std::string kConversation = "c-1";

    template <typename Operation> std::optional<RelayHTTPError> errorOf(Operation operation)
    {
        try {
            operation();
        } catch (const RelayHTTPError& error) {
            return error;
        }
        return std::nullopt;
    }

    unsigned modeOf(const fs::path& location)
    {
        struct stat status { };
        if (::lstat(location.c_str(), &status) != 0)
            return 0;
        return status.st_mode & 07777;
    }

    std::set<std::string> namesIn(const fs::path& folder)
    {
        std::set<std::string> names;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            names.insert(it->path().filename().string());
        return names;
    }

    void writeBytes(const fs::path& file, const std::string& bytes)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    }

    bool isNameTag(std::string_view text)
    {
        return text.size() == 8 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
    }

    // The stored file of an upload reply.
    std::string storedName(const JSON& reply)
    {
        const std::string* fileID
            = reply.subscript("fileId") ? reply.subscript("fileId")->stringValue() : nullptr;
        return fileID ? fs::path(*fileID).filename().string() : std::string();
    }

    class UploadStoreReceive : public ::testing::Test {
    protected:
        UploadStoreReceive()
        {
            test::makeQuadrantImage(m_folder / "sample.jpg", 64, 48);
            m_jpeg = test::readFile(m_folder / "sample.jpg");
        }

        fs::path incoming() const { return m_folder / "incoming"; }
        fs::path workFolder() const { return m_folder / "workspaces" / kConversation; }
        fs::path uploads() const { return workFolder() / "uploads"; }

        // A spool file as the request parser leaves one.
        fs::path spool(const std::string& bytes)
        {
            fs::path file = incoming() / (".incoming-" + std::to_string(m_spooled++));
            writeBytes(file, bytes);
            return file;
        }

        fs::path spoolCopy(const fs::path& source) { return spool(test::readFile(source)); }

        JSON receive(const UploadStore& store, const fs::path& spoolFile,
            const std::optional<std::string>& name, const std::optional<std::string>& type = std::nullopt)
        {
            return store.receive(spoolFile, kConversation, name, type);
        }

        test::TemporaryFolder m_folder;
        UploadStore m_store { Workspaces(m_folder / "workspaces") };
        std::string m_jpeg;
        int m_spooled = 0;
    };

    TEST_F(UploadStoreReceive, StoresAJPEGUnderACleanedUniqueName)
    {
        auto spoolFile = spool(m_jpeg);

        JSON reply = receive(m_store, spoolFile, "My%20Photo.jpg", "image/jpeg");

        std::string stored = storedName(reply);
        EXPECT_TRUE(isNameTag(stored.substr(0, 8)) && stored.substr(8) == "-My_Photo.jpg") << stored;
        EXPECT_EQ(reply,
            JSON::object({ { "fileId", "uploads/" + stored }, { "name", "My_Photo.jpg" },
                { "mime", "image/jpeg" }, { "size", static_cast<std::int64_t>(m_jpeg.size()) } }));
        EXPECT_EQ(test::readFile(uploads() / stored), m_jpeg);
        EXPECT_EQ(modeOf(uploads() / stored), 0600u);
        EXPECT_EQ(modeOf(uploads()), 0700u);
        EXPECT_FALSE(fs::exists(spoolFile));
        EXPECT_EQ(namesIn(uploads()), std::set<std::string> { stored });
    }

    TEST_F(UploadStoreReceive, MovesTheSpoolFileInsteadOfCopyingIt)
    {
        auto spoolFile = spool(m_jpeg);
        struct stat before { };
        ASSERT_EQ(::stat(spoolFile.c_str(), &before), 0);

        JSON reply = receive(m_store, spoolFile, "photo.jpg");

        struct stat after { };
        ASSERT_EQ(::stat((uploads() / storedName(reply)).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_dev, before.st_dev);
    }

    TEST_F(UploadStoreReceive, EveryUploadGetsItsOwnName)
    {
        std::set<std::string> names;
        for (int round = 0; round < 5; ++round)
            names.insert(storedName(receive(m_store, spool(m_jpeg), "same.jpg")));
        EXPECT_EQ(names.size(), 5u);
        EXPECT_EQ(namesIn(uploads()), names);
    }

    TEST_F(UploadStoreReceive, RefusesUnusableFileNames)
    {
        struct Case {
            const char* what;
            std::optional<std::string> header;
        };
        const Case cases[] = {
            { "no header", std::nullopt },
            { "empty header", "" },
            { "1025 bytes", std::string(1021, 'a') + ".jpg" },
            { "escape without digits", "photo%zz.jpg" },
            { "escape cut short", "photo.jpg%4" },
            { "escape that is not UTF-8", "photo%ff.jpg" },
            { "blanks only", "%20%20%09" },
            { "line breaks only", "%0A%0D%0A" },
            { "no-break spaces only", "%C2%A0%E3%80%80" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.what);
            auto spoolFile = spool(m_jpeg);
            EXPECT_EQ(errorOf([&] { receive(m_store, spoolFile, testCase.header); }), kMissingName);
            EXPECT_FALSE(fs::exists(spoolFile));
        }
        EXPECT_FALSE(fs::exists(workFolder()));
    }

    TEST_F(UploadStoreReceive, CleansTheNameFromTheHeader)
    {
        struct Case {
            const char* header;
            const char* name;
        };
        const Case cases[] = {
            { "a%2Fb.jpg", "b.jpg" },
            { "folder/inner/b.jpg", "b.jpg" },
            { "Caf%C3%A9%20%E6%97%A5%E6%9C%AC.jpg", "Caf\xC3\xA9_\xE6\x97\xA5\xE6\x9C\xAC.jpg" },
            { "a+b.jpg", "a+b.jpg" },
            { "Tom%26Jerry%3Dfun.jpg", "Tom&Jerry=fun.jpg" },
            { "photo.JPG", "photo.jpg" },
            { "archive.v2.jpeg", "archive.v2.jpeg" },
            { "no-extension", "no-extension.jpg" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.header);
            JSON reply = receive(m_store, spool(m_jpeg), std::string(testCase.header));
            EXPECT_EQ(*reply.subscript("name")->stringValue(), testCase.name);
            EXPECT_TRUE(storedName(reply).ends_with(std::string("-") + testCase.name)) << storedName(reply);
        }
    }

    TEST(UploadStoreFileName, ReadsPercentEncodedNames)
    {
        struct Case {
            const char* what;
            std::optional<std::string> header;
            std::optional<std::string> expected;
        };
        std::string longest = std::string(1020, 'a') + ".txt";
        const Case cases[] = {
            { "plain", "notes.txt", "notes.txt" },
            { "space", "my%20notes.txt", UploadRules::cleanFileName("my notes.txt") },
            { "plus stays", "a+b.txt", UploadRules::cleanFileName("a+b.txt") },
            { "lower-case escapes", "%c3%a9.txt", UploadRules::cleanFileName("\xC3\xA9.txt") },
            { "exactly 1024 bytes", longest, UploadRules::cleanFileName(longest) },
            { "1025 bytes", longest + "x", std::nullopt },
            { "blank inside is kept", "%20a%20.txt", UploadRules::cleanFileName(" a .txt") },
            { "raw UTF-8", "\xC3\xA9t\xC3\xA9.txt", UploadRules::cleanFileName("\xC3\xA9t\xC3\xA9.txt") },
            { "raw bytes that are not UTF-8", "\xFF.txt", std::nullopt },
            { "escaped half character", "%C3.txt", std::nullopt },
            { "lone percent", "100%.txt", std::nullopt },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.what);
            EXPECT_EQ(UploadStore::fileNameFromHeader(testCase.header), testCase.expected);
        }
    }

    TEST_F(UploadStoreReceive, ChecksTheSizeOfTheSpoolFile)
    {
        auto empty = spool("");
        EXPECT_EQ(errorOf([&] { receive(m_store, empty, "photo.jpg"); }), kEmpty);
        EXPECT_FALSE(fs::exists(empty));

        // Sparse files: the size test reads the status only.
        auto oversized = spool(m_jpeg);
        fs::resize_file(oversized, UploadRules::maxUploadBytes + 1);
        EXPECT_EQ(errorOf([&] { receive(m_store, oversized, "photo.jpg"); }), kTooLarge);
        EXPECT_FALSE(fs::exists(oversized));

        auto largest = spool(m_jpeg);
        fs::resize_file(largest, UploadRules::maxUploadBytes);
        JSON reply = receive(m_store, largest, "photo.jpg");
        EXPECT_EQ(reply.subscript("size")->intValue(), UploadRules::maxUploadBytes);
        EXPECT_EQ(fs::file_size(uploads() / storedName(reply)),
            static_cast<std::uintmax_t>(UploadRules::maxUploadBytes));
    }

    TEST_F(UploadStoreReceive, RefusesASpoolThatIsNoRegularFile)
    {
        auto target = m_folder / "elsewhere.jpg";
        writeBytes(target, m_jpeg);
        fs::create_directories(incoming());
        fs::create_symlink(target, incoming() / ".incoming-link");
        fs::create_directory(incoming() / ".incoming-folder");

        for (const char* name : { ".incoming-missing", ".incoming-link", ".incoming-folder" }) {
            SCOPED_TRACE(name);
            EXPECT_EQ(errorOf([&] { receive(m_store, incoming() / name, "photo.jpg"); }), kUnreceived);
            EXPECT_FALSE(fs::exists(fs::symlink_status(incoming() / name)));
        }
        EXPECT_EQ(test::readFile(target), m_jpeg);
        EXPECT_FALSE(fs::exists(workFolder()));
    }

    TEST_F(UploadStoreReceive, ReadsTheMediaTypeWithoutItsParameters)
    {
        struct Case {
            std::optional<std::string> contentType;
            bool accepted;
        };
        const Case cases[] = {
            { "image/jpeg; charset=binary", true },
            { "  IMAGE/JPEG  ", true },
            { ";image/jpeg", true },
            { std::nullopt, true },
            { "", true },
            { ";;", true },
            { "application/pdf", false },
            { "text/plain; image/jpeg", false },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.contentType.value_or("(absent)"));
            auto spoolFile = spool(m_jpeg);
            auto error = errorOf([&] { receive(m_store, spoolFile, "photo.jpg", testCase.contentType); });
            EXPECT_EQ(!error, testCase.accepted);
            if (error) {
                EXPECT_EQ(error->status(), 415);
                EXPECT_EQ(error->code(), "unsupported_type");
            }
            EXPECT_FALSE(fs::exists(spoolFile));
        }
    }

    TEST_F(UploadStoreReceive, StoresUnderTheExtensionOfWhatTheContentIs)
    {
        test::makeQuadrantImage(m_folder / "sample.png", 16, 16);
        JSON reply = receive(m_store, spoolCopy(m_folder / "sample.png"), "picture.jpg");
        EXPECT_EQ(*reply.subscript("name")->stringValue(), "picture.png");
        EXPECT_EQ(*reply.subscript("mime")->stringValue(), "image/png");
        EXPECT_TRUE(storedName(reply).ends_with("-picture.png"));

        reply = receive(m_store, spool(m_jpeg), "picture.jpg");
        EXPECT_EQ(*reply.subscript("name")->stringValue(), "picture.jpg");
    }

    TEST_F(UploadStoreReceive, AcceptsUpToTheQuotaAndNotAByteMore)
    {
        constexpr std::int64_t kQuota = 100'000;
        UploadStore store { Workspaces(m_folder / "workspaces", kQuota) };
        auto size = static_cast<std::int64_t>(m_jpeg.size());
        writeBytes(
            workFolder() / "report.bin", std::string(static_cast<std::size_t>(kQuota - size - 1), 'x'));

        auto overSpool = spool(m_jpeg + "!!");
        EXPECT_EQ(errorOf([&] { receive(store, overSpool, "photo.jpg"); }), kOverQuota);
        EXPECT_FALSE(fs::exists(overSpool));
        EXPECT_FALSE(fs::exists(uploads()));

        JSON reply = receive(store, spool(m_jpeg + "."), "photo.jpg");
        EXPECT_EQ(reply.subscript("size")->intValue(), size + 1);
        EXPECT_EQ(Workspaces::usage(workFolder()), kQuota);

        EXPECT_EQ(errorOf([&] { receive(store, spool("a"), "a.txt"); }), kOverQuota);
    }

    TEST_F(UploadStoreReceive, ReplacesALinkedUploadsFolderWithAPrivateOne)
    {
        auto outside = m_folder / "outside";
        fs::create_directories(outside);
        fs::create_directories(workFolder());
        fs::create_directory_symlink(outside, uploads());

        // Whichever step drops the link, the upload must land in a real private folder, never
        // behind the link.
        JSON reply = receive(m_store, spool(m_jpeg), "photo.jpg");

        EXPECT_FALSE(fs::is_symlink(uploads()));
        EXPECT_TRUE(fs::is_directory(uploads()));
        EXPECT_EQ(modeOf(uploads()), 0700u);
        EXPECT_TRUE(fs::is_regular_file(uploads() / storedName(reply)));
        EXPECT_TRUE(namesIn(outside).empty());
    }

    TEST_F(UploadStoreReceive, NeverOverwritesAnExistingFile)
    {
        UploadStore store { Workspaces(m_folder / "workspaces"),
            [](std::size_t count) { return std::vector<std::uint8_t>(count, 0xab); } };
        writeBytes(uploads() / "abababab-photo.jpg", "an earlier upload");
        auto spoolFile = spool(m_jpeg);

        EXPECT_EQ(errorOf([&] { receive(store, spoolFile, "photo.jpg"); }), kUnstored);

        EXPECT_EQ(test::readFile(uploads() / "abababab-photo.jpg"), "an earlier upload");
        EXPECT_FALSE(fs::exists(spoolFile));
        EXPECT_EQ(namesIn(uploads()), std::set<std::string> { "abababab-photo.jpg" });
    }

    TEST_F(UploadStoreReceive, ReportsAnUploadsFolderThatCannotBeMade)
    {
        writeBytes(uploads(), "a file where the folder should be");
        auto spoolFile = spool(m_jpeg);

        EXPECT_EQ(errorOf([&] { receive(m_store, spoolFile, "photo.jpg"); }), kUnstored);

        EXPECT_FALSE(fs::exists(spoolFile));
        EXPECT_EQ(test::readFile(uploads()), "a file where the folder should be");
    }

    TEST_F(UploadStoreReceive, GivesAHEICPhotoAJPEGPreview)
    {
        auto photo = test::makeQuadrantHEIC(m_folder / "photo.heic", 320, 240);

        JSON reply = receive(m_store, spoolCopy(photo), "IMG_0001.HEIC", "image/heic");

        std::string stored = storedName(reply);
        ASSERT_TRUE(stored.ends_with("-IMG_0001.heic")) << stored;
        std::string preview = stored.substr(0, stored.size() - 5) + "-preview.jpg";
        EXPECT_EQ(namesIn(uploads()), (std::set<std::string> { stored, preview }));
        std::string format;
        auto picture = test::readPicture(uploads() / preview, &format);
        ASSERT_TRUE(picture);
        EXPECT_EQ(format, "JPEG");
        EXPECT_EQ(picture->width, 320);
        EXPECT_EQ(modeOf(uploads() / preview), 0600u);
        EXPECT_EQ(*reply.subscript("mime")->stringValue(), "image/heic");
    }

    TEST_F(UploadStoreReceive, GivesAVideoFourFramesOfItsSegments)
    {
        auto video = test::makeColourVideo(m_folder / "clip.mp4", {});

        JSON reply = receive(m_store, spoolCopy(video), "clip.mp4", "video/mp4");

        std::string stored = storedName(reply);
        std::string frames = stored.substr(0, stored.size() - 4) + "-frames";
        EXPECT_EQ(namesIn(uploads()), (std::set<std::string> { stored, frames }));
        EXPECT_EQ(modeOf(uploads() / frames), 0700u);
        EXPECT_EQ(namesIn(uploads() / frames),
            (std::set<std::string> { "frame-1.jpg", "frame-2.jpg", "frame-3.jpg", "frame-4.jpg" }));
        const test::Colour expected[] = { { 255, 0, 0 }, { 0, 255, 0 }, { 0, 0, 255 }, { 255, 255, 0 } };
        for (int number = 1; number <= 4; ++number) {
            SCOPED_TRACE(number);
            auto file = uploads() / frames / ("frame-" + std::to_string(number) + ".jpg");
            auto picture = test::readPicture(file);
            ASSERT_TRUE(picture);
            EXPECT_LE(std::max(picture->width, picture->height), 768);
            EXPECT_TRUE(test::isNear(picture->meanColour(0, 0, 1, 1), expected[number - 1]));
            EXPECT_EQ(modeOf(file), 0600u);
        }
    }

    TEST_F(UploadStoreReceive, GivesARotatedVideoUprightFrames)
    {
        auto stored = test::makeQuadrantVideo(m_folder / "stored.mp4", 640, 360, 2);
        auto portrait = test::withRotationTag(stored, m_folder / "portrait.mov", 270);

        JSON reply = receive(m_store, spoolCopy(portrait), "portrait.mov");

        std::string name = storedName(reply);
        auto frame
            = test::readPicture(uploads() / (name.substr(0, name.size() - 4) + "-frames") / "frame-1.jpg");
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width, 360);
        EXPECT_EQ(frame->height, 640);
    }

    TEST_F(UploadStoreReceive, KeepsAVideoThatGivesNoFrames)
    {
        // The head of a real MP4, so the content check passes, followed by noise.
        auto video = test::makeColourVideo(m_folder / "clip.mp4", { .width = 160, .height = 120 });
        std::string bytes = test::readFile(video).substr(0, 64) + std::string(5000, '\x5a');

        JSON reply = receive(m_store, spool(bytes), "broken.mp4");

        EXPECT_EQ(*reply.subscript("mime")->stringValue(), "video/mp4");
        EXPECT_EQ(namesIn(uploads()), std::set<std::string> { storedName(reply) });
    }

    TEST_F(UploadStoreReceive, MakesNoPreviewsForOtherKinds)
    {
        test::makeQuadrantImage(m_folder / "sample.png", 16, 16);
        test::makeQuadrantImage(m_folder / "sample.gif", 16, 16);
        test::makeQuadrantImage(m_folder / "sample.webp", 16, 16);
        writeBytes(m_folder / "sample.pdf",
            "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n");
        std::set<std::string> stored;
        for (const char* name : { "sample.png", "sample.gif", "sample.webp", "sample.pdf" })
            stored.insert(storedName(receive(m_store, spoolCopy(m_folder / name), name)));
        stored.insert(storedName(receive(m_store, spool("plain words\n"), "notes.txt")));
        stored.insert(storedName(receive(m_store, spool(m_jpeg), "photo.jpg")));

        EXPECT_EQ(namesIn(uploads()), stored);
    }

    TEST_F(UploadStoreReceive, ConcurrentUploadsIntoOneConversationAreAllKept)
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

    TEST(UploadStoreDiscardSpool, RemovesTheLinkNotItsTarget)
    {
        test::TemporaryFolder folder;
        writeBytes(folder / "target", "kept");
        fs::create_symlink(folder / "target", folder / ".incoming-1");
        writeBytes(folder / ".incoming-2", "spooled");

        UploadStore::discardSpool(folder / ".incoming-1");
        UploadStore::discardSpool(folder / ".incoming-2");
        UploadStore::discardSpool(folder / ".incoming-missing");

        EXPECT_EQ(namesIn(folder.path()), std::set<std::string> { "target" });
    }

    class UploadStoreFiles : public ::testing::Test {
    protected:
        fs::path workFolder() const { return m_folder / "workspaces" / kConversation; }

        test::TemporaryFolder m_folder;
        UploadStore m_store { Workspaces(m_folder / "workspaces") };
    };

    TEST_F(UploadStoreFiles, ListsNothingForAConversationWithoutAFolder)
    {
        EXPECT_EQ(m_store.list("c-none"),
            JSON::object({ { "conversationId", "c-none" }, { "files", JSON::Array {} } }));
        EXPECT_FALSE(fs::exists(m_folder / "workspaces"));
    }

    TEST_F(UploadStoreFiles, ListsTheWorkFolderFiles)
    {
        writeBytes(workFolder() / "report.md", "# Report\n");
        writeBytes(workFolder() / "uploads" / "0a1b2c3d-photo.jpg", "jpeg");

        JSON listing = m_store.list(kConversation);

        EXPECT_EQ(*listing.subscript("conversationId")->stringValue(), kConversation);
        const JSON::Array* files = listing.subscript("files")->arrayValue();
        ASSERT_TRUE(files);
        std::set<std::string> ids;
        for (const auto& file : *files)
            ids.insert(*file.subscript("fileId")->stringValue());
        EXPECT_EQ(ids, (std::set<std::string> { "report.md", "uploads/0a1b2c3d-photo.jpg" }));
    }

    TEST_F(UploadStoreFiles, FindsAStoredFile)
    {
        writeBytes(workFolder() / "uploads" / "0a1b2c3d-photo.jpg", "jpeg bytes");

        auto found = m_store.file(kConversation, { "uploads", "0a1b2c3d-photo.jpg" });

        EXPECT_EQ(found.location.filename(), "0a1b2c3d-photo.jpg");
        EXPECT_TRUE(fs::equivalent(found.location, workFolder() / "uploads" / "0a1b2c3d-photo.jpg"));
        EXPECT_EQ(found.size, 10);
        EXPECT_EQ(found.name, "0a1b2c3d-photo.jpg");
    }

    TEST_F(UploadStoreFiles, RefusesBadPathsAndMissingFiles)
    {
        writeBytes(workFolder() / "uploads" / "a.jpg", "x");
        struct Case {
            const char* what;
            std::string conversation;
            std::vector<std::string> components;
            RelayHTTPError error;
        };
        const Case cases[] = {
            { "no components", kConversation, {}, kBadPath },
            { "empty component", kConversation, { "uploads", "" }, kBadPath },
            { "slash inside", kConversation, { "uploads/a.jpg" }, kBadPath },
            { "NUL inside", kConversation, { "uploads", std::string("a.jpg\0x", 7) }, kBadPath },
            { "no work folder", "c-none", { "a.jpg" }, kNotFound },
            { "no such file", kConversation, { "uploads", "b.jpg" }, kNotFound },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.what);
            EXPECT_EQ(
                errorOf([&] { m_store.file(testCase.conversation, testCase.components); }), testCase.error);
        }
        // A folder is no file; Workspaces decides first, and either way it is not served.
        auto folderError = errorOf([&] { m_store.file(kConversation, { "uploads" }); });
        ASSERT_TRUE(folderError);
        EXPECT_EQ(folderError->status() / 100, 4);
    }

}
}
