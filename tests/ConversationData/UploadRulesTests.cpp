#include "VellumarMacCore/ConversationData/UploadRules.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <tuple>
#include <variant>

namespace vellumar {

namespace UploadRules {
    void PrintTo(const Kind& kind, std::ostream* stream)
    {
        *stream << "{" << kind.key << ", " << kind.mime << ", " << kind.group << "}";
    }
}

namespace {

    namespace fs = std::filesystem;
    using test::repeated;
    using Kind = UploadRules::Kind;

    const std::string kPNGHead = std::string("\x89PNG\r\n\x1A\n", 8) + std::string("\0\0\0\rIHDR", 8);
    const std::string kJPEGHead = "\xFF\xD8\xFF\xE0" + std::string(12, 'j');
    const std::string kMP4Head
        = std::string("\0\0\0\x20", 4) + "ftypisom" + std::string(4, '\0') + "isomiso2";

    TEST(UploadRules, CleanFileNameKeepsOneSafeComponentOfAtMost80Characters)
    {
        const std::string accented = "e\xCC\x81"; // one character of three bytes
        const std::pair<std::string, std::string> cases[] = {
            { "C:\\Users\\me\\My Photo.jpg", "My_Photo.jpg" },
            { "../../etc/passwd", "passwd" },
            { std::string("a\0b\x1F\x7F\xC2\x9F.txt", 11), "ab.txt" },
            { std::string(90, 'b') + "." + std::string(20, 'x'),
                std::string(67, 'b') + "." + std::string(12, 'x') },
            { repeated(accented, 100) + ".txt", repeated(accented, 76) + ".txt" },
        };
        for (const auto& [name, expected] : cases) {
            SCOPED_TRACE(name);
            EXPECT_EQ(UploadRules::cleanFileName(name), expected);
        }
    }

    TEST(UploadRules, IsUTF8TextJudgesTheWholeRegularFileAcrossReadChunksWithoutFollowingLinks)
    {
        test::TemporaryFolder folder;
        // Reads come in 262,144-byte chunks; put a four-byte sequence across each boundary offset.
        for (std::size_t before = 1; before <= 3; ++before) {
            SCOPED_TRACE(before);
            std::string bytes = std::string(262'144 - before, 'a') + "\xF0\x9F\x98\x80" + "z";
            test::writeBytes(folder / "split.txt", bytes);
            EXPECT_TRUE(UploadRules::isUTF8Text(folder / "split.txt"));
            bytes[262'144 - before + 2] = 'x';
            test::writeBytes(folder / "split.txt", bytes);
            EXPECT_FALSE(UploadRules::isUTF8Text(folder / "split.txt"));
        }
        test::writeBytes(folder / "sample", "text");
        fs::create_symlink(folder / "sample", folder / "link.txt");
        EXPECT_FALSE(UploadRules::isUTF8Text(folder / "link.txt"));
        EXPECT_TRUE(test::returnsBesideAFIFO(
            folder / "pipe.txt", [&] { EXPECT_FALSE(UploadRules::isUTF8Text(folder / "pipe.txt")); }));
    }

    TEST(UploadRules, ValidateDecidesTheKindFromContentWithinTheAllowedGroup)
    {
        const RelayHTTPError kindRefused { 415, "unsupported_type",
            "This kind of file cannot be sent (images, videos, PDF and text only)." };
        const RelayHTTPError contentRefused { 415, "unsupported_type",
            "The file's contents do not match its type." };
        const Kind png { "png", "image/png", "image" };
        test::TemporaryFolder folder;
        const std::tuple<const char*, std::string, const char*, std::variant<Kind, RelayHTTPError>> cases[]
            = {
                  { "clip.mov", kMP4Head, "video/quicktime", Kind { "mp4", "video/mp4", "video" } },
                  { "photo.jpg", kPNGHead, "", png },
                  { "photo.jpg", kJPEGHead, "IMAGE/JPG", Kind { "jpg", "image/jpeg", "image" } },
                  { "clip.mp4", kPNGHead, "", contentRefused },
                  { "archive.zip", "PK\x03\x04", "", kindRefused },
                  { "photo.jpg", kJPEGHead, "video/mp4", contentRefused },
              };
        for (const auto& [name, bytes, declared, outcome] : cases) {
            SCOPED_TRACE(std::string(name) + " declared '" + declared + "'");
            test::writeBytes(folder / "upload", bytes);
            auto check = [&] { return UploadRules::validate(folder / "upload", name, declared); };
            if (auto* kind = std::get_if<Kind>(&outcome))
                EXPECT_EQ(check(), *kind);
            else
                EXPECT_EQ(test::thrown<RelayHTTPError>(check), std::get<RelayHTTPError>(outcome));
        }
    }

    // Files made by ImageMagick, libheif and FFmpeg, identified on their own by file(1).
    TEST(UploadRules, SniffAndValidateAgreeWithTheFileCommandOnRealFiles)
    {
        test::TemporaryFolder folder;
        auto made = [&](const std::string& extension) { return (folder / ("made." + extension)).string(); };
        for (auto* extension : { "png", "jpg" })
            test::makeQuadrantImage(made(extension), 8, 8);
        test::makeQuadrantHEIC(made("heic"), 64, 64);
        for (std::string extension : { "mp4", "mov", "webm" })
            test::makeColourVideo(made(extension), { .width = 16, .height = 16, .segmentSeconds = 0.2 });
        // ImageMagick's default policy refuses to write PDF, so this one is written by hand.
        test::writeBytes(made("pdf"),
            "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[3 0 R]/Count "
            "1>>endobj\n"
            "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 72 72]>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n");
        test::writeBytes(made("txt"),
            "Gr\xC3\xBC\xC3\x9F"
            "e\nzweite Zeile\n");
        const std::tuple<const char*, const char*, Kind> cases[] = {
            { "jpg", "C:\\DCIM\\IMG 0001.JPG", { "jpg", "image/jpeg", "image" } },
            { "png", "/var/mobile/Screenshot.png", { "png", "image/png", "image" } },
            { "heic", "IMG_0002.HEIC", { "heic", "image/heic", "image" } },
            { "mp4", "clip.mp4", { "mp4", "video/mp4", "video" } },
            { "mov", "Movie Night.mov", { "mov", "video/quicktime", "video" } },
            { "webm", "screen.webm", { "webm", "video/webm", "video" } },
            { "pdf", "../../scan.pdf", { "pdf", "application/pdf", "document" } },
            { "txt", "notes.txt", { "txt", "text/plain", "text" } },
        };
        for (const auto& [extension, phoneName, kind] : cases) {
            SCOPED_TRACE(phoneName);
            auto name = UploadRules::cleanFileName(phoneName);
            auto file = folder / name;
            fs::copy_file(made(extension), file, fs::copy_options::overwrite_existing);
            auto identified = test::runPeer({ "file", "--brief", "--mime-type", file.string() }).output;
            identified.pop_back();
            EXPECT_EQ(UploadRules::validate(file, name, ""), kind);
            EXPECT_EQ(kind.mime, identified);
            EXPECT_EQ(UploadRules::mimeType(name), identified);
            if (auto sniffed = UploadRules::sniff(test::readFile(file)))
                EXPECT_EQ(UploadRules::sniffedKinds().at(*sniffed).mime, identified);
            else
                EXPECT_EQ(kind.group, "text");
        }
    }

}
}
