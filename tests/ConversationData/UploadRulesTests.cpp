#include "VellumarMacCore/ConversationData/UploadRules.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
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
    using test::TemporaryFolder;
    using Kind = UploadRules::Kind;

    const RelayHTTPError kKindRefused { 415, "unsupported_type",
        "This kind of file cannot be sent (images, videos, PDF and text only)." };
    const RelayHTTPError kContentRefused { 415, "unsupported_type",
        "The file's contents do not match its type." };

    const std::string kPNGHead = std::string("\x89PNG\r\n\x1A\n", 8) + std::string("\0\0\0\rIHDR", 8);
    const std::string kJPEGHead = "\xFF\xD8\xFF\xE0" + std::string(12, 'j');

    std::string ftypHead(const std::string& brand)
    {
        return std::string("\0\0\0\x20", 4) + "ftyp" + brand + std::string(4, '\0') + "isomiso2";
    }

    TEST(UploadRules, MimeTypesFollowTheLowerCasedExtensionOfTheLastPiece)
    {
        std::string mimes;
        for (auto* name : { "a.jpg", "a.jpeg", "a.png", "a.webp", "a.gif", "a.heic", "a.heif", "a.mp4",
                 "a.m4v", "a.mov", "a.webm", "a.pdf", "a.txt", "a.md", "a.markdown", "a.csv", "a.json",
                 "a.html", "a.htm", "a.svg", "a.js", "a.xml", "a.py", "a.swift", "a.kt", "a.log", "a.sh",
                 "a.yaml", "a.yml", "a.toml", "a.tsv", "a.zip", "a.exe", "README", "archive.", ".png",
                 "dir.png/notes", "Report.PDF", "uploads/0a1b2c3d-photo.JPEG" })
            mimes += UploadRules::mimeType(name) + " ";
        EXPECT_EQ(mimes,
            "image/jpeg image/jpeg image/png image/webp image/gif image/heic image/heif video/mp4 "
            "video/x-m4v "
            "video/quicktime video/webm application/pdf text/plain text/markdown text/markdown text/csv "
            "application/json text/plain text/plain text/plain text/plain text/plain text/plain text/plain "
            "text/plain text/plain text/plain text/plain text/plain text/plain text/tab-separated-values "
            "application/zip application/octet-stream application/octet-stream application/octet-stream "
            "application/octet-stream application/octet-stream application/pdf image/jpeg ");
    }

    TEST(UploadRules, CleanFileNameKeepsOneSafeComponentOfAtMost80Characters)
    {
        const std::string accented = "e\xCC\x81"; // one character of three bytes
        const std::pair<std::string, std::string> cases[] = {
            { "C:\\Users\\me\\My Photo.jpg", "My_Photo.jpg" },
            { "../../etc/passwd", "passwd" },
            { "...hidden", "hidden" },
            { "  a:b?c.txt  ", "a_b_c.txt" },
            { "", "file" },
            { "...", "file" },
            { "dir/", "dir" },
            { "re\tport\n.txt", "report.txt" },
            { "\xC2\xA0 . x.txt", "_x.txt" },
            { "x\"<>|*y", "x_y" },
            { std::string("nul\0.txt", 8), "nul.txt" },
            { "bad\xFF.txt", "bad\xEF\xBF\xBD.txt" },
            { "a\u2028b", "a_b" },
            { std::string(100, 'b') + ".markdown", std::string(71, 'b') + ".markdown" },
            { std::string(90, 'b') + "." + std::string(20, 'x'),
                std::string(67, 'b') + "." + std::string(12, 'x') },
            { "b." + std::string(20, 'x'), "b." + std::string(20, 'x') },
            { std::string(76, 'b') + ".txt", std::string(76, 'b') + ".txt" },
            { std::string(120, 'b'), std::string(80, 'b') },
            { repeated(accented, 76) + ".txt", repeated(accented, 76) + ".txt" },
            { repeated(accented, 100) + ".txt", repeated(accented, 76) + ".txt" },
        };
        for (const auto& [name, expected] : cases) {
            SCOPED_TRACE(name);
            EXPECT_EQ(UploadRules::cleanFileName(name), expected);
        }
    }

    TEST(UploadRules, ControlCharactersAreC0DeleteAndC1AndBrokenBytesBecomeReplacementCharacters)
    {
        const std::string replacement = "\xEF\xBF\xBD";
        const std::pair<std::string, std::string> cases[] = {
            { "a b\xC2\xA0"
              "c\xF0\x9F\x98\x80",
                "a b\xC2\xA0"
                "c\xF0\x9F\x98\x80" },
            { std::string("a\0b\x1F", 4), "ab" },
            { "a\x7F"
              "b\xC2\x9F",
                "ab" },
            { "a\x85"
              "b",
                "a" + replacement + "b" },
            { "\xED\xA0\x80", repeated(replacement, 3) },
        };
        for (const auto& [text, removed] : cases) {
            SCOPED_TRACE(text);
            EXPECT_EQ(containsControlCharacters(text), removed != text);
            EXPECT_EQ(UploadRules::removeControlCharacters(text), removed);
        }
    }

    TEST(UploadRules, SniffReadsSignaturesAndOnlyTheMajorBrandWithinTheFirst64Bytes)
    {
        const std::pair<std::string, std::optional<std::string>> cases[] = {
            { "GIF87a....", "gif" },
            { std::string("RIFF\x10\0\0\0WAVEfmt ", 16), std::nullopt },
            { "\x1A\x45\xDF\xA3\x9F\x42\x86\x81\x01\x42\x82\x88matroska", std::nullopt },
            { "\x1A\x45\xDF\xA3" + std::string(60, 'x') + "webm", std::nullopt },
            { std::string("\0\0\0\x08", 4) + "ftyp", std::nullopt },
            { std::string("\0\0\0\x08", 4) + "mdat", "mov" },
            { "\xFF\xD8", std::nullopt },
            { "", std::nullopt },
        };
        for (const auto& [head, kind] : cases) {
            SCOPED_TRACE(head);
            EXPECT_EQ(UploadRules::sniff(head), kind);
        }
        std::string brands;
        for (auto* brand : { "heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1", "qt  ", "isom",
                 "iso2", "iso3", "iso4", "iso5", "iso6", "mp41", "mp42", "avc1", "M4V ", "mmp4", "dash",
                 "3gp4", "3gp5", "3gp6", "3g2a", "MSNV", "ISOM", "avif", "moov" })
            brands += UploadRules::sniff(ftypHead(brand)).value_or("-") + " ";
        for (auto* atom : { "moov", "mdat", "wide", "free", "skip", "ftyp" })
            brands += UploadRules::sniff(std::string("\0\0\0\x08", 4) + atom + "qt  ").value_or("-") + " ";
        EXPECT_EQ(brands,
            "heic heic heic heic heic heic heic heic mov mp4 mp4 mp4 mp4 mp4 mp4 mp4 mp4 mp4 mp4 mp4 mp4 mp4 "
            "mp4 "
            "mp4 mp4 mp4 - - - mov mov mov mov mov mov ");
    }

    TEST(UploadRules, IsUTF8TextJudgesTheWholeRegularFile)
    {
        TemporaryFolder folder;
        const std::pair<std::string, bool> cases[] = {
            { "", true },
            { "gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80", true },
            { "a\xFF"
              "b",
                false },
            { "ab\xE2\x82", false },
            { std::string("a\0b", 3), false },
        };
        for (const auto& [bytes, text] : cases) {
            SCOPED_TRACE(bytes);
            test::writeBytes(folder / "sample", bytes);
            EXPECT_EQ(UploadRules::isUTF8Text(folder / "sample"), text);
        }
        EXPECT_FALSE(UploadRules::isUTF8Text(folder / "missing"));
        EXPECT_FALSE(UploadRules::isUTF8Text(folder.path()));
        // The system would open "sample", which is text; a link to it is not followed.
        test::writeBytes(folder / "sample", "text");
        EXPECT_FALSE(UploadRules::isUTF8Text((folder / "sample").native() + std::string("\0x", 2)));
        fs::create_symlink(folder / "sample", folder / "link.txt");
        EXPECT_FALSE(UploadRules::isUTF8Text(folder / "link.txt"));
        EXPECT_TRUE(test::returnsBesideAFIFO(
            folder / "pipe.txt", [&] { EXPECT_FALSE(UploadRules::isUTF8Text(folder / "pipe.txt")); }));
    }

    TEST(UploadRules, IsUTF8TextReadsSequencesSplitAcrossChunksAndAtMostTheUploadLimit)
    {
        TemporaryFolder folder;
        // Reads come in 262,144-byte chunks; put a four-byte sequence across each boundary offset.
        for (std::size_t before = 1; before <= 3; ++before) {
            SCOPED_TRACE(before);
            std::string bytes
                = std::string(262'144 - before, 'a') + "\xF0\x9F\x98\x80" + std::string(10, 'z');
            test::writeBytes(folder / "split.txt", bytes);
            EXPECT_TRUE(UploadRules::isUTF8Text(folder / "split.txt"));
            bytes[262'144 - before + 2] = 'x';
            test::writeBytes(folder / "split.txt", bytes);
            EXPECT_FALSE(UploadRules::isUTF8Text(folder / "split.txt"));
        }
        std::string bytes(static_cast<std::size_t>(UploadRules::maxUploadBytes), 'a');
        test::writeBytes(folder / "limit.txt", bytes);
        EXPECT_TRUE(UploadRules::isUTF8Text(folder / "limit.txt"));
        test::writeBytes(folder / "over.txt", bytes + 'a');
        EXPECT_FALSE(UploadRules::isUTF8Text(folder / "over.txt"));
    }

    TEST(UploadRules, ValidateDecidesTheKindFromContentWithinTheAllowedGroup)
    {
        TemporaryFolder folder;
        struct Case {
            const char* name;
            std::string bytes;
            const char* declared;
            std::variant<Kind, RelayHTTPError> outcome;
        } cases[] = {
            { "photo.jpeg", kJPEGHead, "", Kind { "jpeg", "image/jpeg", "image" } },
            { "photo.JPEG", kJPEGHead, "", Kind { "jpeg", "image/jpeg", "image" } },
            { "photo.heif", ftypHead("heic"), "", Kind { "heif", "image/heif", "image" } },
            { "clip.m4v", ftypHead("isom"), "", Kind { "m4v", "video/x-m4v", "video" } },
            { "clip.mov", ftypHead("isom"), "video/quicktime", Kind { "mp4", "video/mp4", "video" } },
            { "photo.jpg", kPNGHead, "", Kind { "png", "image/png", "image" } },
            { "photo.jpeg", kPNGHead, "", Kind { "png", "image/png", "image" } },
            { "photo", kPNGHead, "", Kind { "png", "image/png", "image" } },
            { "notes.md", "# Title\n", "", Kind { "md", "text/markdown", "text" } },
            { "data.CSV", "a,b\n", "text/csv", Kind { "csv", "text/csv", "text" } },
            { "empty.txt", "", "", Kind { "txt", "text/plain", "text" } },
            { "photo.jpg", kJPEGHead, "application/octet-stream", Kind { "jpg", "image/jpeg", "image" } },
            { "photo.jpg", kJPEGHead, "IMAGE/JPG", Kind { "jpg", "image/jpeg", "image" } },
            { "clip.mp4", kPNGHead, "", kContentRefused },
            { "notes", "just text", "", kContentRefused },
            { "notes.md", std::string("a\0b", 3), "", kContentRefused },
            { "notes.txt", kPNGHead, "", kContentRefused },
            { "archive.zip", "PK\x03\x04", "", kKindRefused },
            { "photo.jpg", kJPEGHead, "application/zip", kKindRefused },
            { "photo.jpg", kJPEGHead, "video/mp4", kContentRefused },
            { "photo", "%PDF-1.4", "image/png", kContentRefused },
            { "photo.jpg", "", "", kContentRefused },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(std::string(test.name) + " declared '" + test.declared + "'");
            test::writeBytes(folder / "upload", test.bytes);
            auto check = [&] { return UploadRules::validate(folder / "upload", test.name, test.declared); };
            if (auto* kind = std::get_if<Kind>(&test.outcome))
                EXPECT_EQ(check(), *kind);
            else
                EXPECT_EQ(test::thrown<RelayHTTPError>(check), std::get<RelayHTTPError>(test.outcome));
        }
        // A file that cannot be read has no content that matches.
        for (auto* name : { "photo.png", "notes.txt" })
            EXPECT_EQ(
                test::thrown<RelayHTTPError>([&] { UploadRules::validate(folder / "missing", name, ""); }),
                kContentRefused);
    }

    TEST(UploadRules, MayBeCalledFromManyThreadsAtOnce)
    {
        const std::string names[] = { std::string(100, 'n') + ".markdown", "C:\\a\\b c?.JPG", "...x", "" };
        std::vector<std::string> expected;
        for (const auto& name : names)
            expected.push_back(UploadRules::cleanFileName(name));
        std::atomic<int> mismatches { 0 };
        {
            std::vector<std::jthread> threads;
            for (int thread = 0; thread < 8; ++thread) {
                threads.emplace_back([&] {
                    for (int round = 0; round < 200; ++round) {
                        for (std::size_t index = 0; index < std::size(names); ++index)
                            mismatches += UploadRules::cleanFileName(names[index]) != expected[index];
                        mismatches += UploadRules::mimeType("a.HEIF") != "image/heif"
                            || UploadRules::sniff(kPNGHead) != "png";
                    }
                });
            }
        }
        EXPECT_EQ(mismatches, 0);
    }

    // Files made by ImageMagick, libheif and FFmpeg, identified on their own by file(1).
    TEST(UploadRules, SniffAndValidateAgreeWithTheFileCommandOnRealFiles)
    {
        TemporaryFolder folder;
        auto made = [&](const std::string& extension) { return (folder / ("made." + extension)).string(); };
        for (auto* extension : { "png", "jpg", "gif", "webp" })
            test::makeQuadrantImage(made(extension), 8, 8);
        test::makeQuadrantHEIC(made("heic"), 64, 64);
        for (auto* extension : { "mp4", "mov", "webm", "m4v" }) {
            test::makeColourVideo(made(extension),
                { .width = 16,
                    .height = 16,
                    .colours = { "blue" },
                    .segmentSeconds = 0.2,
                    .outputArguments = extension == std::string("m4v")
                        ? std::vector<std::string> { "-f", "ipod" }
                        : std::vector<std::string> {} });
        }
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
            { "gif", "..anim.gif", { "gif", "image/gif", "image" } },
            { "webp", "sticker?.webp", { "webp", "image/webp", "image" } },
            { "heic", "IMG_0002.HEIC", { "heic", "image/heic", "image" } },
            { "mp4", "clip.mp4", { "mp4", "video/mp4", "video" } },
            { "mov", "Movie Night.mov", { "mov", "video/quicktime", "video" } },
            { "webm", "screen.webm", { "webm", "video/webm", "video" } },
            { "m4v", "episode.m4v", { "m4v", "video/x-m4v", "video" } },
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
            if (kind.group == "text")
                continue;
            auto sniffed = UploadRules::sniff(test::readFile(file));
            ASSERT_TRUE(sniffed);
            EXPECT_EQ(UploadRules::sniffedKinds().at(*sniffed).mime,
                identified == "video/x-m4v" ? "video/mp4" : identified);
        }
    }

}
}
