#include "VellumarMacCore/ConversationData/UploadRules.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vellumar {

namespace UploadRules {
    void PrintTo(const Kind& kind, std::ostream* stream)
    {
        *stream << "{" << kind.key << ", " << kind.mime << ", " << kind.group << "}";
    }
}

namespace {

    using test::TemporaryFolder;

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

    void writeFile(const std::filesystem::path& file, const std::string& bytes)
    {
        std::ofstream stream(file, std::ios::binary | std::ios::trunc);
        stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(stream.good()) << file;
    }

    // The error `validate` throws, or nothing when it accepts.
    std::optional<RelayHTTPError> validationError(
        const std::filesystem::path& file, const std::string& name, const std::string& declared)
    {
        try {
            UploadRules::validate(file, name, declared);
        } catch (const RelayHTTPError& error) {
            return error;
        }
        return std::nullopt;
    }

    std::string repeated(const std::string& piece, int count)
    {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += piece;
        return text;
    }

    TEST(UploadRules, MimeTypeFollowsTheLowerCasedExtension)
    {
        struct Case {
            const char* name;
            const char* mime;
        } cases[] = {
            { "Report.PDF", "application/pdf" },
            { "clip.M4V", "video/x-m4v" },
            { "x.heif", "image/heif" },
            { "notes.markdown", "text/markdown" },
            { "data.json", "application/json" },
            { "page.html", "text/plain" },
            { "script.PY", "text/plain" },
            { "t.tsv", "text/tab-separated-values" },
            { "a.zip", "application/zip" },
            { "README", "application/octet-stream" },
            { "a.exe", "application/octet-stream" },
            { "archive.", "application/octet-stream" },
            { "uploads/0a1b2c3d-photo.JPEG", "image/jpeg" },
            { "dir.png/notes", "application/octet-stream" },
            { ".png", "application/octet-stream" },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.name);
            EXPECT_EQ(UploadRules::mimeType(test.name), test.mime);
        }
    }

    TEST(UploadRules, CleanFileNameKeepsOneSafeComponent)
    {
        struct Case {
            std::string name;
            std::string expected;
        } cases[] = {
            { "C:\\Users\\me\\My Photo.jpg", "My_Photo.jpg" },
            { "../../etc/passwd", "passwd" },
            { "...hidden", "hidden" },
            { "  a:b?c.txt  ", "a_b_c.txt" },
            { "", "file" },
            { "///", "file" },
            { "...", "file" },
            { "dir/", "dir" },
            { "re\tport\n.txt", "report.txt" },
            { "a \t b.txt", "a_b.txt" },
            { "\xC2\xA0 . x.txt", "_x.txt" },
            { "x\"<>|*y", "x_y" },
            { std::string("nul\0.txt", 8), "nul.txt" },
            { "bad\xFF.txt", "bad\xEF\xBF\xBD.txt" },
            { "a\u2028b", "a_b" },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.name);
            EXPECT_EQ(UploadRules::cleanFileName(test.name), test.expected);
        }
    }

    TEST(UploadRules, CleanFileNameShortensLongNamesByCharactersKeepingTheExtension)
    {
        // "e" + combining acute is one character of three bytes.
        const std::string accented = "e\xCC\x81";
        struct Case {
            const char* label;
            std::string name;
            std::string expected;
        } cases[] = {
            { "markdown extension", std::string(100, 'b') + ".markdown", std::string(71, 'b') + ".markdown" },
            { "long extension cut to 12", std::string(90, 'b') + "." + std::string(20, 'x'),
                std::string(67, 'b') + "." + std::string(12, 'x') },
            { "long extension kept in a short name", "b." + std::string(20, 'x'),
                "b." + std::string(20, 'x') },
            { "exactly 80 unchanged", std::string(76, 'b') + ".txt", std::string(76, 'b') + ".txt" },
            { "no extension", std::string(120, 'b'), std::string(80, 'b') },
            { "clusters, not bytes", repeated(accented, 76) + ".txt", repeated(accented, 76) + ".txt" },
            { "clusters cut whole", repeated(accented, 100) + ".txt", repeated(accented, 76) + ".txt" },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.label);
            EXPECT_EQ(UploadRules::cleanFileName(test.name), test.expected);
        }
    }

    TEST(UploadRules, ControlCharactersAreC0DeleteAndC1)
    {
        struct Case {
            const char* label;
            std::string text;
            bool contains;
            std::string removed;
        } cases[] = {
            { "plain", "hello", false, "hello" },
            { "empty", "", false, "" },
            { "emoji", "\xF0\x9F\x98\x80", false, "\xF0\x9F\x98\x80" },
            { "no-break space",
                "a\xC2\xA0"
                "b",
                false,
                "a\xC2\xA0"
                "b" },
            { "tab", "a\tb", true, "ab" },
            { "line feed", "a\nb", true, "ab" },
            { "carriage return", "a\rb", true, "ab" },
            { "NUL", std::string("a\0b", 3), true, "ab" },
            { "delete",
                "a\x7F"
                "b",
                true, "ab" },
            { "next line U+0085",
                "a\xC2\x85"
                "b",
                true, "ab" },
            { "U+009F",
                "a\xC2\x9F"
                "b",
                true, "ab" },
            { "invalid byte",
                "a\x85"
                "b",
                true,
                "a\xEF\xBF\xBD"
                "b" },
            { "encoded surrogate", "\xED\xA0\x80", true, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.label);
            EXPECT_EQ(containsControlCharacters(test.text), test.contains);
            EXPECT_EQ(UploadRules::removeControlCharacters(test.text), test.removed);
        }
    }

    TEST(UploadRules, SniffRecognisesSignaturesInOrder)
    {
        struct Case {
            const char* label;
            std::string head;
            std::optional<std::string> kind;
        } cases[] = {
            { "jpeg", kJPEGHead, "jpeg" },
            { "png", kPNGHead, "png" },
            { "gif87a", "GIF87a....", "gif" },
            { "gif89a", "GIF89a....", "gif" },
            { "webp", std::string("RIFF\x10\0\0\0WEBPVP8 ", 16), "webp" },
            { "riff wave", std::string("RIFF\x10\0\0\0WAVEfmt ", 16), std::nullopt },
            { "riff too short for webp", "RIFF1234WEB", std::nullopt },
            { "pdf", "%PDF-1.4\n", "pdf" },
            { "webm", "\x1A\x45\xDF\xA3\x9F\x42\x86\x81\x01\x42\x82\x84webm", "webm" },
            { "matroska", "\x1A\x45\xDF\xA3\x9F\x42\x86\x81\x01\x42\x82\x88matroska", std::nullopt },
            { "webm beyond 64 bytes", "\x1A\x45\xDF\xA3" + std::string(60, 'x') + "webm", std::nullopt },
            { "heic", ftypHead("heic"), "heic" },
            { "mif1", ftypHead("mif1"), "heic" },
            { "quicktime brand", ftypHead("qt  "), "mov" },
            { "m4v brand", ftypHead("M4V "), "mp4" },
            { "isom", ftypHead("isom"), "mp4" },
            { "brand case matters", ftypHead("ISOM"), std::nullopt },
            { "avif", ftypHead("avif"), std::nullopt },
            { "ftyp without brand", std::string("\0\0\0\x08", 4) + "ftyp", std::nullopt },
            { "mdat atom", std::string("\0\0\0\x08", 4) + "mdat", "mov" },
            { "wide atom", std::string("\0\0\0\x08", 4) + "wide", "mov" },
            { "seven bytes", "abcdefg", std::nullopt },
            { "empty", "", std::nullopt },
            { "jpeg prefix only", "\xFF\xD8", std::nullopt },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.label);
            EXPECT_EQ(UploadRules::sniff(test.head), test.kind);
        }
    }

    TEST(UploadRules, IsUTF8TextJudgesTheWholeFile)
    {
        TemporaryFolder folder;
        struct Case {
            const char* label;
            std::string bytes;
            bool text;
        } cases[] = {
            { "empty", "", true },
            { "ascii", "hello\n", true },
            { "multibyte", "gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80", true },
            { "byte order mark", "\xEF\xBB\xBFhi", true },
            { "invalid byte",
                "a\xFF"
                "b",
                false },
            { "overlong slash", "\xC0\xAF", false },
            { "truncated at end", "ab\xE2\x82", false },
            { "zero byte", std::string("a\0b", 3), false },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.label);
            auto file = folder / "sample";
            writeFile(file, test.bytes);
            EXPECT_EQ(UploadRules::isUTF8Text(file), test.text);
        }
        EXPECT_FALSE(UploadRules::isUTF8Text(folder / "missing"));
        EXPECT_FALSE(UploadRules::isUTF8Text(folder.path()));
        // The system would open "sample" itself, which is text.
        writeFile(folder / "sample", "text");
        EXPECT_FALSE(UploadRules::isUTF8Text((folder / "sample").native() + std::string("\0x", 2)));
    }

    TEST(UploadRules, IsUTF8TextAcceptsSequencesSplitAcrossReadChunks)
    {
        TemporaryFolder folder;
        // Reads come in 262,144-byte chunks; put a four-byte sequence across each boundary offset.
        for (int before = 1; before <= 3; ++before) {
            SCOPED_TRACE(before);
            std::string bytes(262'144 - static_cast<std::size_t>(before), 'a');
            bytes += "\xF0\x9F\x98\x80";
            bytes += std::string(10, 'z');
            writeFile(folder / "split.txt", bytes);
            EXPECT_TRUE(UploadRules::isUTF8Text(folder / "split.txt"));
            bytes[262'144 - static_cast<std::size_t>(before) + 2] = 'x'; // break the sequence
            writeFile(folder / "split.txt", bytes);
            EXPECT_FALSE(UploadRules::isUTF8Text(folder / "split.txt"));
        }
    }

    TEST(UploadRules, IsUTF8TextRefusesFilesOverTheUploadLimit)
    {
        TemporaryFolder folder;
        std::string bytes(static_cast<std::size_t>(UploadRules::maxUploadBytes), 'a');
        writeFile(folder / "limit.txt", bytes);
        EXPECT_TRUE(UploadRules::isUTF8Text(folder / "limit.txt"));
        bytes += 'a';
        writeFile(folder / "over.txt", bytes);
        EXPECT_FALSE(UploadRules::isUTF8Text(folder / "over.txt"));
    }

    TEST(UploadRules, IsUTF8TextDoesNotFollowSymbolicLinksOrOpenFIFOs)
    {
        TemporaryFolder folder;
        writeFile(folder / "real.txt", "hello");
        std::filesystem::create_symlink(folder / "real.txt", folder / "link.txt");
        EXPECT_FALSE(UploadRules::isUTF8Text(folder / "link.txt"));
        // A FIFO would block a plain open until a writer came.
        ASSERT_EQ(mkfifo((folder / "pipe.txt").c_str(), 0600), 0);
        EXPECT_FALSE(UploadRules::isUTF8Text(folder / "pipe.txt"));
    }

    TEST(UploadRules, ValidateDecidesTheKindFromContentWithinTheAllowedGroup)
    {
        TemporaryFolder folder;
        const std::string heifBrand = ftypHead("heic");
        const std::string mp4Brand = ftypHead("isom");
        struct Case {
            const char* name;
            std::string bytes;
            const char* declared;
            std::optional<UploadRules::Kind> kind;
            std::optional<RelayHTTPError> error;
        } cases[] = {
            { "photo.jpg", kJPEGHead, "", UploadRules::Kind { "jpg", "image/jpeg", "image" }, {} },
            { "photo.jpeg", kJPEGHead, "", UploadRules::Kind { "jpeg", "image/jpeg", "image" }, {} },
            { "photo.JPEG", kJPEGHead, "", UploadRules::Kind { "jpeg", "image/jpeg", "image" }, {} },
            { "photo.heif", heifBrand, "", UploadRules::Kind { "heif", "image/heif", "image" }, {} },
            { "photo.heic", heifBrand, "image/heic", UploadRules::Kind { "heic", "image/heic", "image" },
                {} },
            { "clip.m4v", mp4Brand, "", UploadRules::Kind { "m4v", "video/x-m4v", "video" }, {} },
            { "clip.mov", mp4Brand, "video/quicktime", UploadRules::Kind { "mp4", "video/mp4", "video" },
                {} },
            { "photo.jpg", kPNGHead, "", UploadRules::Kind { "png", "image/png", "image" }, {} },
            { "photo.jpeg", kPNGHead, "", UploadRules::Kind { "png", "image/png", "image" }, {} },
            { "photo", kPNGHead, "", UploadRules::Kind { "png", "image/png", "image" }, {} },
            { "scan.pdf", "%PDF-1.7\n", "application/pdf",
                UploadRules::Kind { "pdf", "application/pdf", "document" }, {} },
            { "notes.md", "# Title\n", "", UploadRules::Kind { "md", "text/markdown", "text" }, {} },
            { "data.CSV", "a,b\n", "text/csv", UploadRules::Kind { "csv", "text/csv", "text" }, {} },
            { "empty.txt", "", "", UploadRules::Kind { "txt", "text/plain", "text" }, {} },
            { "photo.jpg", kJPEGHead, "application/octet-stream",
                UploadRules::Kind { "jpg", "image/jpeg", "image" }, {} },
            { "photo.jpg", kJPEGHead, "IMAGE/JPG", UploadRules::Kind { "jpg", "image/jpeg", "image" }, {} },
            { "clip.mp4", kPNGHead, "", {}, kContentRefused },
            { "notes", "just text", "", {}, kContentRefused },
            { "notes.md", std::string("a\0b", 3), "", {}, kContentRefused },
            { "notes.txt", kPNGHead, "", {}, kContentRefused },
            { "archive.zip", "PK\x03\x04", "", {}, kKindRefused },
            { "photo.jpg", kJPEGHead, "application/zip", {}, kKindRefused },
            { "photo.jpg", kJPEGHead, "video/mp4", {}, kContentRefused },
            { "photo", "%PDF-1.4", "image/png", {}, kContentRefused },
            { "photo.jpg", "", "", {}, kContentRefused },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(std::string(test.name) + " declared '" + test.declared + "'");
            auto file = folder / "upload";
            writeFile(file, test.bytes);
            if (test.kind) {
                EXPECT_EQ(UploadRules::validate(file, test.name, test.declared), *test.kind);
            } else {
                EXPECT_EQ(validationError(file, test.name, test.declared), test.error);
            }
        }
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
            for (int t = 0; t < 8; ++t) {
                threads.emplace_back([&] {
                    for (int round = 0; round < 200; ++round) {
                        for (std::size_t i = 0; i < std::size(names); ++i) {
                            if (UploadRules::cleanFileName(names[i]) != expected[i])
                                ++mismatches;
                        }
                        if (UploadRules::mimeType("a.HEIF") != "image/heif"
                            || UploadRules::sniff(kPNGHead) != "png")
                            ++mismatches;
                    }
                });
            }
        }
        EXPECT_EQ(mismatches, 0);
    }

    TEST(UploadRules, ValidateReportsAnUnreadableFileAsMismatchedContent)
    {
        TemporaryFolder folder;
        EXPECT_EQ(validationError(folder / "missing", "photo.png", ""), kContentRefused);
        EXPECT_EQ(validationError(folder / "missing", "notes.txt", ""), kContentRefused);
    }

    // Files made by ImageMagick, libheif, FFmpeg and Python, identified on their own by file(1).
    class UploadRulesWithRealFiles : public testing::Test {
    protected:
        static void SetUpTestSuite()
        {
            s_folder = new TemporaryFolder;
            const std::string png = made("png");
            struct Maker {
                const char* extension;
                std::vector<std::string> argv;
            } makers[] = {
                { "png", { "convert", "-size", "8x8", "xc:red", png } },
                { "jpg", { "convert", "-size", "8x8", "xc:red", made("jpg") } },
                { "gif", { "convert", "-size", "8x8", "xc:red", made("gif") } },
                { "webp", { "convert", "-size", "8x8", "xc:red", made("webp") } },
                { "heic", { "heif-enc", "-o", made("heic"), png } },
                { "mp4", videoMaker("mp4", { "-pix_fmt", "yuv420p" }) },
                { "mov", videoMaker("mov", { "-pix_fmt", "yuv420p" }) },
                { "webm", videoMaker("webm", {}) },
                { "m4v", videoMaker("m4v", { "-pix_fmt", "yuv420p", "-f", "ipod" }) },
                { "zip", { "python3", "-m", "zipfile", "-c", made("zip"), png } },
            };
            for (const auto& maker : makers) {
                auto result = test::runPeer(maker.argv);
                ASSERT_EQ(result.exitStatus, 0)
                    << maker.argv.front() << " could not make a " << maker.extension;
            }
            // ImageMagick's default policy refuses to write PDF, so this one is written by hand.
            writeFile(made("pdf"),
                "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 72 72]>>endobj\n"
                "trailer<</Root 1 0 R>>\n%%EOF\n");
            writeFile(made("txt"),
                "Gr\xC3\xBC\xC3\x9F"
                "e\nzweite Zeile\n");
        }

        static void TearDownTestSuite()
        {
            delete s_folder;
            s_folder = nullptr;
        }

        static std::string made(const std::string& extension)
        {
            return (*s_folder / ("made." + extension)).string();
        }

        static std::vector<std::string> videoMaker(
            const std::string& extension, std::vector<std::string> options)
        {
            std::vector<std::string> argv { "ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi",
                "-i", "color=c=blue:s=16x16:d=0.2" };
            argv.insert(argv.end(), options.begin(), options.end());
            argv.push_back(made(extension));
            return argv;
        }

        // A copy of a made file under the name the phone would have sent, cleaned as the store does.
        static std::filesystem::path received(const std::string& extension, const std::string& phoneName)
        {
            auto file = *s_folder / UploadRules::cleanFileName(phoneName);
            std::filesystem::copy_file(
                made(extension), file, std::filesystem::copy_options::overwrite_existing);
            return file;
        }

        static std::string fileMimeType(const std::filesystem::path& file)
        {
            auto result = test::runPeer({ "file", "--brief", "--mime-type", file.string() });
            EXPECT_EQ(result.exitStatus, 0);
            while (!result.output.empty() && result.output.back() == '\n')
                result.output.pop_back();
            return result.output;
        }

        static inline TemporaryFolder* s_folder = nullptr;
    };

    TEST_F(UploadRulesWithRealFiles, SniffAndValidateAgreeWithFileCommand)
    {
        struct Case {
            const char* made;
            const char* phoneName;
            const char* cleanName;
            UploadRules::Kind kind;
        } cases[] = {
            { "jpg", "C:\\DCIM\\IMG 0001.JPG", "IMG_0001.JPG", { "jpg", "image/jpeg", "image" } },
            { "png", "/var/mobile/Screenshot.png", "Screenshot.png", { "png", "image/png", "image" } },
            { "gif", "..anim.gif", "anim.gif", { "gif", "image/gif", "image" } },
            { "webp", "sticker?.webp", "sticker_.webp", { "webp", "image/webp", "image" } },
            { "heic", "IMG_0002.HEIC", "IMG_0002.HEIC", { "heic", "image/heic", "image" } },
            { "mp4", "clip.mp4", "clip.mp4", { "mp4", "video/mp4", "video" } },
            { "mov", "Movie Night.mov", "Movie_Night.mov", { "mov", "video/quicktime", "video" } },
            { "webm", "screen.webm", "screen.webm", { "webm", "video/webm", "video" } },
            { "m4v", "episode.m4v", "episode.m4v", { "m4v", "video/x-m4v", "video" } },
            { "pdf", "../../scan.pdf", "scan.pdf", { "pdf", "application/pdf", "document" } },
            { "txt", "notes.txt", "notes.txt", { "txt", "text/plain", "text" } },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.phoneName);
            EXPECT_EQ(UploadRules::cleanFileName(test.phoneName), test.cleanName);
            auto file = received(test.made, test.phoneName);
            std::string identified = fileMimeType(file);
            UploadRules::Kind kind = UploadRules::validate(file, test.cleanName, "");
            EXPECT_EQ(kind, test.kind);
            EXPECT_EQ(kind.mime, identified);
            EXPECT_EQ(UploadRules::mimeType(test.cleanName), identified);
            if (kind.group != "text") {
                auto sniffed = UploadRules::sniff(test::readFile(file).substr(0, 64));
                ASSERT_TRUE(sniffed.has_value());
                EXPECT_EQ(UploadRules::sniffedKinds().at(*sniffed).mime,
                    identified == "video/x-m4v" ? "video/mp4" : identified);
            }
        }
    }

    TEST_F(UploadRulesWithRealFiles, ContentDecidesWithinTheGroupTheNameAllows)
    {
        auto png = received("png", "photo.jpg");
        EXPECT_EQ(fileMimeType(png), "image/png");
        EXPECT_EQ(UploadRules::validate(png, "photo.jpg", "image/jpeg"),
            (UploadRules::Kind { "png", "image/png", "image" }));

        EXPECT_EQ(validationError(received("png", "clip.mp4"), "clip.mp4", ""), kContentRefused);

        auto zip = received("zip", "archive.zip");
        EXPECT_EQ(fileMimeType(zip), "application/zip");
        EXPECT_EQ(validationError(zip, "archive.zip", "application/zip"), kKindRefused);
        EXPECT_EQ(validationError(received("zip", "notes.txt"), "notes.txt", ""), kContentRefused);
        EXPECT_EQ(validationError(received("mp4", "photo.jpg"), "photo.jpg", ""), kContentRefused);
        EXPECT_EQ(validationError(received("pdf", "scan.pdf"), "scan.pdf", "image/png"), kContentRefused);
    }

}
}
