#include "VellumarMacCore/ConversationData/UploadStore.h"

#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/ConversationData/Concurrently.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using test::modeOf;
    using test::namesIn;

    // Enough for a move that follows a link swapped in after the check to land uploads outside many
    // times over.
    constexpr int kRacedUploads = 200;

    const RelayHTTPError kUnreceived { 500, "internal", "The file could not be received." };
    const RelayHTTPError kUnstored { 507, "insufficient_storage", "The Mac could not store the file." };
    const RelayHTTPError kOverQuota { 507, "insufficient_storage",
        "This conversation has too many files on the Mac. Clear the conversation's files, then try again." };

    std::string storedName(const JSON& reply)
    {
        return fs::path(*reply.subscript("fileId")->stringValue()).filename();
    }

    class UploadStoreTest : public ::testing::Test {
    protected:
        fs::path incoming() const { return m_folder / "incoming"; }
        fs::path workFolder() const { return m_folder / "workspaces" / "c-1"; }
        fs::path uploads() const { return workFolder() / "uploads"; }

        // A spool file as the request parser leaves one.
        fs::path spool(const std::string& bytes)
        {
            fs::path file = incoming() / (".incoming-" + std::to_string(m_spooled++));
            test::writeBytes(file, bytes);
            return file;
        }

        JSON receive(const fs::path& spoolFile, const std::string& name,
            const std::optional<std::string>& type = {}, const UploadStore* store = nullptr)
        {
            return (store ? *store : m_store).receive(spoolFile, "c-1", name, type);
        }

        std::optional<RelayHTTPError> refusal(const fs::path& spoolFile, const std::string& name,
            const std::optional<std::string>& type = {}, const UploadStore* store = nullptr)
        {
            auto error = test::thrown<RelayHTTPError>([&] { receive(spoolFile, name, type, store); });
            EXPECT_FALSE(fs::exists(fs::symlink_status(spoolFile))) << "the spool file is left";
            return error;
        }

        test::TemporaryFolder m_folder;
        UploadStore m_store { Workspaces(m_folder / "workspaces") };
        std::string m_jpeg = test::readFile(test::makeQuadrantImage(m_folder / "sample.jpg", 64, 48));
        int m_spooled = 0;
    };

    TEST_F(UploadStoreTest, MovesTheSpoolFileIntoAPrivateUploadsFolderUnderAUniqueName)
    {
        // Named after its content, whatever the phone's name says.
        std::string png = test::readFile(test::makeQuadrantImage(m_folder / "sample.png", 16, 16));
        JSON reply = receive(spool(png), "My%20Photo.jpg");
        std::string stored = storedName(reply);
        auto size = static_cast<std::int64_t>(png.size());
        EXPECT_TRUE(stored.find_first_not_of("0123456789abcdef") == 8 && stored.substr(8) == "-My_Photo.png");
        EXPECT_EQ(reply,
            JSON::object({ { "fileId", "uploads/" + stored }, { "name", "My_Photo.png" },
                { "mime", "image/png" }, { "size", size } }));
        EXPECT_EQ(modeOf(uploads() / stored), 0600u);
        EXPECT_EQ(m_store.file("c-1", { "uploads", stored }),
            (UploadStore::StoredFile { fs::canonical(uploads() / stored), size, stored }));
    }

    TEST(UploadStoreFileName, ReadsPercentEncodedNamesOfAtMost1024Bytes)
    {
        std::string longest = std::string(1020, 'a') + ".txt";
        const std::pair<std::string, std::optional<std::string>> cases[] = {
            { "my%20notes.txt", "my_notes.txt" },
            { "a%2Fb.jpg", "b.jpg" },
            { longest, longest.substr(1020 - 76) },
            { longest + "x", std::nullopt },
        };
        for (const auto& [header, name] : cases) {
            SCOPED_TRACE(header);
            EXPECT_EQ(UploadStore::fileNameFromHeader(header), name);
        }
    }

    TEST_F(UploadStoreTest, ChecksTheSpoolFileItself)
    {
        test::writeBytes(m_folder / "elsewhere.jpg", m_jpeg);
        fs::create_directories(incoming());
        fs::create_symlink(m_folder / "elsewhere.jpg", incoming() / ".incoming-link");
        fs::create_directory(incoming() / ".incoming-folder");
        for (const char* name : { ".incoming-missing", ".incoming-link", ".incoming-folder" }) {
            SCOPED_TRACE(name);
            EXPECT_EQ(refusal(incoming() / name, "photo.jpg"), kUnreceived);
        }
        EXPECT_EQ(test::readFile(m_folder / "elsewhere.jpg"), m_jpeg);
        EXPECT_FALSE(fs::exists(workFolder()));
        EXPECT_EQ(refusal(spool(""), "photo.jpg"), RelayHTTPError::badRequest("The file is empty."));
        EXPECT_EQ(refusal(spool(m_jpeg), "%20"),
            RelayHTTPError::badRequest("Send the file name in X-File-Name (percent-encoded)."));
        // Sparse files: the size test reads the status only.
        auto oversized = spool(m_jpeg), largest = spool(m_jpeg);
        fs::resize_file(oversized, UploadRules::maxUploadBytes + 1);
        EXPECT_EQ(
            refusal(oversized, "photo.jpg"), RelayHTTPError(413, "too_large", "Files can be up to 50 MB."));
        fs::resize_file(largest, UploadRules::maxUploadBytes);
        EXPECT_EQ(fs::file_size(uploads() / storedName(receive(largest, "photo.jpg"))),
            static_cast<std::uintmax_t>(UploadRules::maxUploadBytes));
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
        fs::create_directories(m_folder / "outside");
        fs::create_directories(workFolder());
        fs::create_directory_symlink(m_folder / "outside", uploads());
        // Whichever step drops the link, the upload must land in a real private folder.
        EXPECT_TRUE(fs::is_regular_file(uploads() / storedName(receive(spool(m_jpeg), "photo.jpg"))));
        EXPECT_EQ(modeOf(uploads()), 0700u);
        EXPECT_TRUE(namesIn(m_folder / "outside").empty());

        UploadStore sameTags { Workspaces(m_folder / "workspaces"),
            [](std::size_t count) { return std::vector<std::uint8_t>(count, 0xab); } };
        test::writeBytes(uploads() / "abababab-photo.jpg", "an earlier upload");
        EXPECT_EQ(refusal(spool(m_jpeg), "photo.jpg", {}, &sameTags), kUnstored);
        EXPECT_EQ(test::readFile(uploads() / "abababab-photo.jpg"), "an earlier upload");
    }

    // The work folder drops links when it is prepared; one planted after that, while the upload is
    // named, is still never followed.
    TEST_F(UploadStoreTest, ALinkPlantedAsTheUploadsFolderAfterThePreparationIsRemoved)
    {
        fs::create_directories(m_folder / "outside");
        fs::permissions(m_folder / "outside", fs::perms(0755));
        UploadStore planting { Workspaces(m_folder / "workspaces"), [&](std::size_t count) {
                                  fs::create_directory_symlink(m_folder / "outside", uploads());
                                  return std::vector<std::uint8_t>(count, 0xab);
                              } };
        EXPECT_EQ(storedName(receive(spool(m_jpeg), "photo.jpg", {}, &planting)), "abababab-photo.jpg");
        EXPECT_FALSE(fs::is_symlink(uploads()));
        EXPECT_EQ(modeOf(uploads()), 0700u);
        EXPECT_TRUE(fs::is_regular_file(uploads() / "abababab-photo.jpg"));
        EXPECT_TRUE(namesIn(m_folder / "outside").empty());
        EXPECT_EQ(modeOf(m_folder / "outside"), 0755u);
    }

    TEST_F(UploadStoreTest, UploadsRacingTheUploadsFolderExchangedWithALinkLandOnlyInside)
    {
        fs::path outside = m_folder / "outside";
        fs::create_directories(outside);
        fs::permissions(outside, fs::perms(0755));
        fs::create_directories(uploads());
        FileDescriptor work(::open(workFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // Asked to stop when it goes, however the test ends.
        std::jthread command([&](std::stop_token stop) {
            auto isFolder = [&](const char* name) {
                struct stat status { };
                return ::fstatat(work.get(), name, &status, AT_SYMLINK_NOFOLLOW) == 0
                    && S_ISDIR(status.st_mode);
            };
            // Each upload's clean-up removes the link, and a removed "uploads" link is made again as a
            // folder: the command sets a folder aside and plants the link again.
            for (int round = 0; !stop.stop_requested(); ++round) {
                if (isFolder("swap") && isFolder("uploads"))
                    ::renameat(work.get(), "swap", work.get(), ("aside-" + std::to_string(round)).c_str());
                ::symlinkat(outside.c_str(), work.get(), "swap");
                if (::renameat2(work.get(), "swap", work.get(), "uploads", RENAME_EXCHANGE) != 0)
                    ::renameat2(work.get(), "swap", work.get(), "uploads", RENAME_NOREPLACE);
            }
        });
        for (int upload = 0; upload < kRacedUploads; ++upload)
            test::thrown<RelayHTTPError>([&] { receive(spool(m_jpeg), "photo.jpg"); });
        command.request_stop();
        command.join();
        EXPECT_EQ(namesIn(outside).size(), 0u);
        EXPECT_EQ(modeOf(outside), 0755u);
    }

    TEST_F(UploadStoreTest, GivesAHEICPhotoAJPEGPreviewAndAVideoFourFrames)
    {
        std::string photo = test::readFile(test::makeQuadrantHEIC(m_folder / "photo.heic", 64, 48));
        std::string heic = storedName(receive(spool(photo), "IMG_0001.HEIC"));
        auto video
            = test::readFile(test::makeColourVideo(m_folder / "clip.mp4", { .width = 160, .height = 120 }));
        std::string clip = storedName(receive(spool(video), "clip.mp4", "video/mp4"));
        auto stem = [](const std::string& name) { return name.substr(0, name.rfind('.')); };
        EXPECT_EQ(namesIn(uploads()),
            (std::set<std::string> { heic, stem(heic) + "-preview.jpg", clip, stem(clip) + "-frames" }));
        EXPECT_EQ(namesIn(uploads() / (stem(clip) + "-frames")),
            (std::set<std::string> { "frame-1.jpg", "frame-2.jpg", "frame-3.jpg", "frame-4.jpg" }));

        // The head of a real MP4, so the content check passes, followed by noise: kept without frames.
        fs::remove_all(uploads());
        JSON reply = receive(spool(video.substr(0, 64) + std::string(5000, '\x5a')), "broken.mp4");
        EXPECT_EQ(namesIn(uploads()), std::set<std::string> { storedName(reply) });
    }

    TEST_F(UploadStoreTest, ConcurrentUploadsOfOneNameIntoOneConversationAreAllKept)
    {
        std::vector<fs::path> spools;
        for (int index = 0; index < 8; ++index)
            spools.push_back(spool(m_jpeg));
        test::concurrently(8, [&](int index) {
            EXPECT_NO_THROW(m_store.receive(spools[index], "c-1", "photo.jpg", "image/jpeg"));
        });
        EXPECT_EQ(namesIn(uploads()).size(), 8u);
        EXPECT_TRUE(namesIn(incoming()).empty());
    }

    TEST_F(UploadStoreTest, RefusesADownloadPathWithAnEmptySlashedOrNULPiece)
    {
        test::writeBytes(uploads() / "a.jpg", "x");
        const std::vector<std::string> paths[] = {
            { "uploads", "" },
            { "uploads", std::string("a.jpg\0x", 7) },
            // Joined, the pieces would name the stored file: a piece is one name, never a path.
            { "uploads/a.jpg" },
        };
        for (const auto& pieces : paths) {
            SCOPED_TRACE(pieces.back());
            EXPECT_EQ(test::thrown<RelayHTTPError>([&] { m_store.file("c-1", pieces); }),
                RelayHTTPError(400, "bad_path", "The file path is not valid."));
        }
    }

}
}
