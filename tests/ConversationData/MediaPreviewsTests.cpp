#include "VellumarMacCore/ConversationData/MediaPreviews.h"

#include "Platform/Media.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using test::Colour;

    const Colour kRed { 255, 0, 0 };
    const Colour kLime { 0, 255, 0 };
    const Colour kBlue { 0, 0, 255 };
    const Colour kYellow { 255, 255, 0 };

    TEST(MediaPreviews, CopiesAHEICPhotoToAPrivateJPEGOverAnOlderCopy)
    {
        test::TemporaryFolder folder;
        auto photo = test::makeQuadrantHEIC(folder / "photo.heic", 320, 240);
        auto destination = folder / "photo-preview.jpg";
        test::writeBytes(destination, "an older copy");
        fs::permissions(destination, fs::perms(0644));

        ASSERT_EQ(MediaPreviews::jpegCopy(photo, destination), destination);

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
        const std::tuple<std::string, fs::path, bool> cases[] = {
            { announcing(10'000, 10'000), folder / "copy.jpg", true },
            { announcing(10'000, 10'001), folder / "refused.jpg", false },
        };
        for (auto& [bytes, destination, copied] : cases) {
            SCOPED_TRACE(destination.string());
            test::writeBytes(folder / "source.heic", bytes);
            EXPECT_EQ(MediaPreviews::jpegCopy(folder / "source.heic", destination).has_value(), copied);
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
        auto written = MediaPreviews::videoFrames(test::makeColourVideo(folder / "clip.mp4", recipe), frames);
        ASSERT_EQ(written.size(), 4u);
        EXPECT_EQ(test::modeOf(frames), 0700u);
        const Colour expected[] = { kRed, kLime, kBlue, kYellow };
        for (std::size_t index = 0; index < written.size(); ++index) {
            SCOPED_TRACE(written[index].filename().string());
            auto picture = test::readPicture(written[index]);
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

        for (const char* name : { "words.mov", "live.webm", "missing.mp4" }) {
            SCOPED_TRACE(name);
            auto frames = folder / (std::string(name) + "-frames");
            EXPECT_TRUE(MediaPreviews::videoFrames(folder / name, frames).empty());
            EXPECT_FALSE(fs::exists(frames));
        }
    }

}
}
