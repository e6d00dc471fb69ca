#include "VellumarMacCore/ConversationData/MediaPreviews.h"

#include "Platform/Media.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using test::Colour;

    const Colour kRed { 255, 0, 0 };
    const Colour kLime { 0, 255, 0 };
    const Colour kBlue { 0, 0, 255 };
    const Colour kYellow { 255, 255, 0 };

    // Holds every open of one file in the kernel until it is answered, and answers the first only once
    // `atFirstOpen` has run: the moment a decoder opens its input, made to last as long as a test needs.
    class OpenGate {
    public:
        OpenGate(const fs::path& file, std::function<void()> atFirstOpen)
            : m_atFirstOpen(std::move(atFirstOpen))
        {
            m_events = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
            if (m_events < 0
                || fanotify_mark(m_events, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, file.c_str()) != 0)
                m_failure = std::strerror(errno);
            else
                m_answering = std::thread([this] { answer(); });
        }
        ~OpenGate()
        {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(m_stop, &one, sizeof one);
            if (m_answering.joinable())
                m_answering.join();
            ::close(m_stop);
            if (m_events >= 0)
                ::close(m_events);
        }
        OpenGate(const OpenGate&) = delete;
        OpenGate& operator=(const OpenGate&) = delete;

        // Why the kernel's permission events cannot be had (they need CAP_SYS_ADMIN); empty when they can.
        const std::string& failure() const { return m_failure; }

    private:
        void answer()
        {
            bool first = true;
            alignas(fanotify_event_metadata) char buffer[4096];
            for (;;) {
                pollfd watched[] = { { m_events, POLLIN, 0 }, { m_stop, POLLIN, 0 } };
                if (::poll(watched, 2, -1) < 0 || watched[1].revents != 0)
                    return;
                ssize_t count = ::read(m_events, buffer, sizeof buffer);
                auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
                for (; FAN_EVENT_OK(event, count); event = FAN_EVENT_NEXT(event, count)) {
                    if (std::exchange(first, false))
                        m_atFirstOpen();
                    fanotify_response allowed { event->fd, FAN_ALLOW };
                    [[maybe_unused]] auto answered = ::write(m_events, &allowed, sizeof allowed);
                    ::close(event->fd);
                }
            }
        }

        std::function<void()> m_atFirstOpen;
        int m_events = -1;
        int m_stop = eventfd(0, EFD_CLOEXEC);
        std::string m_failure;
        std::thread m_answering;
    };

    TEST(MediaPreviews, CopiesAHEICPhotoToAPrivateJPEGOverAnOlderCopy)
    {
        test::TemporaryFolder folder;
        test::makeQuadrantHEIC(folder / "photo.heic", 320, 240);
        auto destination = folder / "photo-preview.jpg";
        test::writeBytes(destination, "an older copy");
        fs::permissions(destination, fs::perms(0644));

        ASSERT_TRUE(MediaPreviews::jpegCopy(FolderTree(folder.path()), "photo.heic", "photo-preview.jpg"));

        std::string format;
        auto picture = test::readPicture(destination, &format);
        ASSERT_TRUE(picture && format == "JPEG");
        EXPECT_TRUE(test::isNear(picture->meanColour(0.6, 0.6, 0.9, 0.9), kYellow));
        EXPECT_EQ(test::modeOf(destination), 0600u);
    }

    TEST(MediaPreviews, CopiesOnlyPhotosThatAnnounceAtMostAHundredMillionPixels)
    {
        static_assert(platform::maxDecodedPixels == 10'000 * 10'000);
        test::TemporaryFolder folder;
        std::string photo = test::readFile(test::makeQuadrantHEIC(folder / "photo.heic", 64, 64));
        // The image's size box ("ispe": version and flags, then width and height, big-endian) announces
        // what decoding would take; the file stays small whatever it announces.
        auto box = photo.find("ispe");
        ASSERT_NE(box, std::string::npos);
        auto announcing = [&](std::uint32_t width, std::uint32_t height) {
            std::string bytes = photo;
            for (int index = 0; index < 4; ++index) {
                bytes[box + 8 + index] = static_cast<char>(width >> (24 - 8 * index));
                bytes[box + 12 + index] = static_cast<char>(height >> (24 - 8 * index));
            }
            return bytes;
        };
        const std::tuple<std::string, std::string, bool> cases[] = {
            { announcing(10'000, 10'000), "copy.jpg", true },
            { announcing(10'000, 10'001), "refused.jpg", false },
        };
        for (auto& [bytes, destination, copied] : cases) {
            SCOPED_TRACE(destination);
            test::writeBytes(folder / "source.heic", bytes);
            EXPECT_EQ(MediaPreviews::jpegCopy(FolderTree(folder.path()), "source.heic", destination), copied);
        }
        EXPECT_EQ(test::namesIn(folder.path()),
            (std::set<std::string> { "photo.heic", "source.heic", "copy.jpg" }));
    }

    TEST(MediaPreviews, TakesFourScaledFramesAtTheOddEighthsOfTheDuration)
    {
        // Twenty short black segments, coloured only where an eighth, three eighths, five eighths and
        // seven eighths of the duration fall, so a frame from any other time shows black.
        test::TemporaryFolder folder;
        test::VideoRecipe recipe { .width = 1280, .height = 720, .colours = {}, .segmentSeconds = 0.2 };
        recipe.colours.assign(20, "black");
        for (auto [segment, colour] :
            { std::pair { 2, "red" }, { 7, "lime" }, { 12, "blue" }, { 17, "yellow" } })
            recipe.colours[segment] = colour;
        auto frames = folder / "clip-frames";
        test::makeColourVideo(folder / "clip.mp4", recipe);
        auto written = MediaPreviews::videoFrames(FolderTree(folder.path()), "clip.mp4", "clip-frames");
        ASSERT_EQ(written.size(), 4u);
        EXPECT_EQ(test::modeOf(frames), 0700u);
        const Colour expected[] = { kRed, kLime, kBlue, kYellow };
        for (std::size_t index = 0; index < written.size(); ++index) {
            SCOPED_TRACE(written[index]);
            auto picture = test::readPicture(frames / written[index]);
            ASSERT_TRUE(picture);
            EXPECT_EQ(picture->width, 768);
            EXPECT_TRUE(test::isNear(picture->meanColour(0, 0, 1, 1), expected[index]));
        }
    }

    TEST(MediaPreviews, AVideoThatCannotBeReadOrDoesNotSayItsLengthGivesNoFramesAndNoFolder)
    {
        test::TemporaryFolder folder;
        test::writeBytes(folder / "words.mov", "not a video");
        // Written to a pipe, a WebM video cannot say how long it is.
        auto live = test::runPeer({ "ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
            "color=c=red:s=64x64:d=1", "-f", "webm", "pipe:1" });
        test::writeBytes(folder / "live.webm", live.output);
        // A link in place of the upload is not followed, whatever readable video it names.
        test::TemporaryFolder elsewhere;
        test::makeQuadrantVideo(elsewhere / "clip.mp4", 64, 64, 1);
        fs::create_symlink(elsewhere / "clip.mp4", folder / "link.mp4");

        for (const char* name : { "words.mov", "live.webm", "missing.mp4", "link.mp4" }) {
            SCOPED_TRACE(name);
            auto frames = folder / (std::string(name) + "-frames");
            EXPECT_TRUE(
                MediaPreviews::videoFrames(FolderTree(folder.path()), name, std::string(name) + "-frames")
                    .empty());
            EXPECT_FALSE(fs::exists(frames));
        }
    }

    // Every path under `folder`, relative to it.
    std::set<std::string> treeOf(const fs::path& folder)
    {
        std::set<std::string> paths;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            paths.insert(fs::relative(entry.path(), folder).string());
        return paths;
    }

    // A command swaps the folder for a link to another place at the moment the decoder opens the upload:
    // the previews still land in the folder that was opened, and nothing in the other place.
    TEST(MediaPreviews, PreviewsGoToTheOpenFolderWhenItIsSwappedForALinkAsTheUploadIsOpened)
    {
        struct Case {
            std::string upload;
            std::function<void(const fs::path&)> make;
            std::function<void(const FolderTree&)> preview;
            std::set<std::string> tree;
        };
        const Case cases[] = {
            { "clip.mp4", [](const fs::path& file) { test::makeQuadrantVideo(file, 64, 64, 1); },
                [](const FolderTree& folder) {
                    MediaPreviews::videoFrames(folder, "clip.mp4", "clip-frames");
                },
                { "clip.mp4", "clip-frames", "clip-frames/frame-1.jpg", "clip-frames/frame-2.jpg",
                    "clip-frames/frame-3.jpg", "clip-frames/frame-4.jpg" } },
            { "photo.heic", [](const fs::path& file) { test::makeQuadrantHEIC(file, 64, 64); },
                [](const FolderTree& folder) {
                    MediaPreviews::jpegCopy(folder, "photo.heic", "photo-preview.jpg");
                },
                { "photo.heic", "photo-preview.jpg" } },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.upload);
            test::TemporaryFolder folder;
            fs::create_directories(folder / "uploads");
            fs::create_directories(folder / "elsewhere");
            row.make(folder / "uploads" / row.upload);
            FolderTree uploads(folder / "uploads");
            {
                OpenGate gate(folder / "uploads" / row.upload, [&] {
                    fs::rename(folder / "uploads", folder / "moved");
                    fs::create_directory_symlink(folder / "elsewhere", folder / "uploads");
                });
                if (!gate.failure().empty())
                    GTEST_SKIP() << "no permission events on file opens: " << gate.failure();
                row.preview(uploads);
            }
            EXPECT_EQ(treeOf(folder / "elsewhere"), std::set<std::string> {});
            EXPECT_EQ(treeOf(folder / "moved"), row.tree);
        }
    }

}
}
