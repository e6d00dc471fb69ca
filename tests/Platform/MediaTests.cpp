#include "Platform/Media.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>

namespace vellumar::platform {
namespace {

    using test::Colour;
    using test::Picture;

    const std::vector<Colour> kColours = { { 255, 0, 0 }, { 0, 255, 0 }, { 0, 0, 255 }, { 255, 255, 0 } };
    const std::vector<std::string> kColourNames { "red", "lime", "blue", "yellow" };
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

    Picture asPicture(const RGBImage& image) { return { image.width, image.height, image.pixels }; }

    // Samples well inside each quadrant, away from the blur that scaling and compression leave at the
    // borders; top left, top right, bottom left, bottom right.
    std::vector<Colour> quadrantsOf(const Picture& picture)
    {
        return { picture.meanColour(0.1, 0.1, 0.4, 0.4), picture.meanColour(0.6, 0.1, 0.9, 0.4),
            picture.meanColour(0.1, 0.6, 0.4, 0.9), picture.meanColour(0.6, 0.6, 0.9, 0.9) };
    }

    void expectQuadrants(const Picture& picture, const std::vector<Colour>& expected = kColours)
    {
        auto actual = quadrantsOf(picture);
        for (std::size_t index = 0; index < actual.size(); ++index)
            EXPECT_TRUE(test::isNear(actual[index], expected[index])) << "quadrant " << index;
    }

    bool showsColour(const std::optional<RGBImage>& frame, Colour colour)
    {
        return frame && test::isNear(asPicture(*frame).meanColour(0, 0, 1, 1), colour);
    }

    // A photo made by heif-enc, decoded, encoded as JPEG and read back by ImageMagick.
    TEST(Media, DecodesHEIFPhotosToEightBitsAndEncodesJPEGThatImageMagickReads)
    {
        test::TemporaryFolder folder;
        auto quadrants = test::makeQuadrantImage(folder / "photo.png", 320, 240);
        // No palette, which heif-enc would misread; ten bits a sample are taken from sixteen.
        for (auto [png, bits] : { std::pair { "PNG24:", "8" }, std::pair { "PNG48:", "10" } }) {
            SCOPED_TRACE(bits);
            auto source = (folder / "source.png").string();
            auto heic = folder / "photo.heic";
            ASSERT_TRUE(test::runTool({ "convert", quadrants.string(), "-depth", "16", png + source }));
            ASSERT_TRUE(test::runTool({ "heif-enc", "-b", bits, "-o", heic.string(), source }));
            auto image = decodeHEIF(heic);
            ASSERT_TRUE(image && image->width == 320 && image->height == 240);
            ASSERT_EQ(image->pixels.size(), 320u * 240u * 3u);
            expectQuadrants(asPicture(*image));
            test::writeBytes(folder / "out.jpg", encodeJPEG(*image, 0.85).value_or(""));
            std::string format;
            auto picture = test::readPicture(folder / "out.jpg", &format);
            ASSERT_TRUE(picture && picture->width == 320 && picture->height == 240);
            EXPECT_EQ(format, "JPEG");
            expectQuadrants(*picture);
        }
    }

    TEST(Media, DecodedPlaneRowsArePackedOnlyWhenEachHoldsThreeBytesAPixel)
    {
        // Two rows of four pixels; each row's bytes count up from its own start, padding included.
        constexpr int kWidth = 4;
        const struct {
            const char* name;
            int stride;
            bool packed;
        } cases[] = {
            { "exactly three bytes a pixel", 3 * kWidth, true },
            { "padded rows", 3 * kWidth + 4, true },
            { "one byte short", 3 * kWidth - 1, false },
            { "two bytes a pixel", 2 * kWidth, false },
            { "one byte a pixel", kWidth, false },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            std::vector<std::uint8_t> plane(2 * 3 * kWidth + 4);
            for (std::size_t index = 0; index < plane.size(); ++index)
                plane[index] = static_cast<std::uint8_t>(index % row.stride + index / row.stride * 100);
            const auto image = packedRGBRows(plane.data(), kWidth, 2, row.stride);
            ASSERT_EQ(image.has_value(), row.packed);
            if (!image)
                continue;
            std::vector<std::uint8_t> expected;
            for (int line = 0; line < 2; ++line)
                for (int byte = 0; byte < 3 * kWidth; ++byte)
                    expected.push_back(static_cast<std::uint8_t>(byte + line * 100));
            EXPECT_EQ(*image, (RGBImage { kWidth, 2, expected }));
        }
    }

    TEST(MediaJPEG, QualityIsClampedAndLowerGivesSmallerFiles)
    {
        // A busy picture, so that the quantisation tables make a visible difference.
        RGBImage noisy { 128, 128, std::vector<std::uint8_t>(128 * 128 * 3) };
        for (std::size_t index = 0; index < noisy.pixels.size(); ++index)
            noisy.pixels[index] = static_cast<std::uint8_t>((index * 2654435761u) >> 24);
        EXPECT_LT(encodeJPEG(noisy, 0.3).value_or("").size(), encodeJPEG(noisy, 0.95).value_or("").size());
        EXPECT_EQ(encodeJPEG(noisy, -1.0), encodeJPEG(noisy, 0.0));
        EXPECT_EQ(encodeJPEG(noisy, 7.5), encodeJPEG(noisy, 1.0));
        EXPECT_TRUE(encodeJPEG(noisy, kNaN));
    }

    TEST(MediaJPEG, RefusesInconsistentImagesAndMoreThanTheDecodedPixelLimit)
    {
        const RGBImage cases[] = { { 0, 4, {} }, { 4, -4, std::vector<std::uint8_t>(48) },
            { 4, 4, std::vector<std::uint8_t>(47) }, { 4, 4, std::vector<std::uint8_t>(49) } };
        for (const auto& image : cases) {
            SCOPED_TRACE(std::to_string(image.width) + "x" + std::to_string(image.height));
            EXPECT_FALSE(encodeJPEG(image, 0.85));
        }
        // The limit itself is allowed; one row more is not, although its samples are all there.
        static_assert(maxDecodedPixels == 10'000 * 10'000);
        EXPECT_TRUE(encodeJPEG({ 10'000, 10'000, std::vector<std::uint8_t>(10'000 * 10'000 * 3) }, 0.5));
        EXPECT_FALSE(encodeJPEG({ 10'000, 10'001, std::vector<std::uint8_t>(10'000 * 10'001 * 3) }, 0.5));
    }

    TEST(MediaVideo, TakesTheFrameOnScreenAtTheRequestedTimeFromEveryContainer)
    {
        const std::pair<const char*, std::vector<std::string>> containers[] = {
            { "mp4", { "-c:v", "libx264" } },
            { "mov", { "-c:v", "mjpeg", "-pix_fmt", "yuvj420p" } },
            { "webm", { "-c:v", "libvpx-vp9", "-deadline", "realtime", "-b:v", "400k" } },
            { "m4v", { "-c:v", "mpeg4", "-f", "mp4" } },
        };
        // Segments of 0.4 seconds (ten frames), much shorter than the tolerance, so only the frame on screen
        // has the segment's colour: its first frame at exactly its start, its last just before its end.
        test::VideoRecipe recipe { .width = 320, .height = 240, .colours = {}, .segmentSeconds = 0.4 };
        for (int segment = 0; segment < 10; ++segment)
            recipe.colours.push_back(kColourNames[segment % 4]);
        test::TemporaryFolder folder;
        for (const auto& [extension, encoder] : containers) {
            SCOPED_TRACE(extension);
            recipe.outputArguments = encoder;
            auto source = VideoFrameSource::open(
                test::makeColourVideo(folder / (std::string("video.") + extension), recipe), {});
            ASSERT_TRUE(source);
            EXPECT_NEAR(source->durationSeconds(), 4.0, 0.1);
            // Backwards, so that each seek starts afresh.
            for (int segment = 9; segment >= 0; --segment) {
                for (double seconds : { 0.4 * segment + 0.39, 0.4 * segment }) {
                    SCOPED_TRACE(seconds);
                    auto frame = source->frameAt(seconds);
                    ASSERT_TRUE(frame && frame->width == 320 && frame->height == 240);
                    EXPECT_TRUE(showsColour(frame, kColours[segment % 4]));
                }
            }
            // Half a second early is within the first frame's tolerance, but still before the video.
            for (double seconds : { -1.0, -0.5, kNaN, std::numeric_limits<double>::infinity() })
                EXPECT_FALSE(source->frameAt(seconds)) << seconds;
        }
    }

    TEST(MediaVideo, ScalesDownToFitTheBoxAndTurnsUprightAsFFmpegShowsThem)
    {
        // Stored width and height, extra encoder arguments, turned by degrees; the frame's expected size.
        const std::tuple<int, int, std::vector<std::string>, int, int, int> cases[] = {
            { 1920, 1080, {}, 0, 768, 432 },
            { 720, 1280, {}, 0, 432, 768 },
            { 320, 240, {}, 0, 320, 240 }, // never scaled up
            { 400, 400, { "-vf", "setsar=2" }, 0, 768, 384 }, // pixels twice as wide as tall
            { 1280, 720, {}, 90, 432, 768 },
            { 1280, 720, {}, 180, 768, 432 },
            { 1280, 720, {}, 270, 432, 768 },
        };
        test::TemporaryFolder folder;
        for (const auto& [width, height, extra, degrees, expectedWidth, expectedHeight] : cases) {
            SCOPED_TRACE(
                std::to_string(width) + "x" + std::to_string(height) + " turned " + std::to_string(degrees));
            auto video = test::withRotationTag(
                test::makeQuadrantVideo(folder / "stored.mp4", width, height, 1, extra), folder / "video.mp4",
                degrees);
            // ffmpeg applies the display matrix itself when it writes a still.
            ASSERT_TRUE(test::runTool(
                { "ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-ss", "0.5", "-i", video.string(),
                    "-frames:v", "1", "-vf", "scale=160:-2", (folder / "reference.png").string() }));
            auto reference = test::readPicture(folder / "reference.png");
            auto source = VideoFrameSource::open(video, {});
            ASSERT_TRUE(reference && source);
            auto frame = source->frameAt(0.5);
            ASSERT_TRUE(frame);
            EXPECT_EQ(frame->width, expectedWidth);
            EXPECT_EQ(frame->height, expectedHeight);
            expectQuadrants(asPicture(*frame), quadrantsOf(*reference));
        }
    }

    TEST(Media, RefusesFilesOfOtherKinds)
    {
        test::TemporaryFolder folder;
        auto real = test::makeColourVideo(folder / "real.mp4", { .width = 160, .height = 120 });
        std::string video = test::readFile(real);
        std::string heic = test::readFile(test::makeQuadrantHEIC(folder / "real.heic", 64, 64));
        test::makeQuadrantImage(folder / "picture.jpg", 64, 64);
        test::writeBytes(folder / "text", "just some words, not a picture\n");
        test::writeBytes(folder / "truncated.heic", heic.substr(0, heic.size() / 3));
        test::writeBytes(folder / "garbage.mp4", video.substr(video.size() / 2));
        // Formats that point at other files: FFmpeg itself would follow them to the real video.
        test::writeBytes(folder / "playlist.mp4",
            "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + real.string() + "\n#EXT-X-ENDLIST\n");
        test::writeBytes(folder / "list.mp4", "ffconcat version 1.0\nfile '" + real.string() + "'\n");
        ASSERT_TRUE(test::runTool({ "ffprobe", "-v", "quiet", "-f", "concat", "-safe", "0", "-i",
            (folder / "list.mp4").string() }));
        for (const char* name : { "missing", "text", "picture.jpg", "truncated.heic", "real.mp4" }) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(decodeHEIF(folder / name));
        }
        for (const char* name :
            { "text", "picture.jpg", "real.heic", "garbage.mp4", "playlist.mp4", "list.mp4" }) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(VideoFrameSource::open(folder / name, {}));
        }
    }

    TEST(MediaVideo, SourcesOnDifferentFilesWorkAtTheSameTime)
    {
        test::TemporaryFolder folder;
        std::vector<int> goodFrames(kColourNames.size(), 0);
        {
            std::vector<std::jthread> threads;
            for (std::size_t index = 0; index < kColourNames.size(); ++index) {
                auto video = test::makeColourVideo(folder / (kColourNames[index] + ".mp4"),
                    { .width = 320, .height = 240, .colours = { kColourNames[index] }, .segmentSeconds = 4 });
                threads.emplace_back([&, index, video] {
                    auto source = VideoFrameSource::open(video, {});
                    for (int round = 0; source && round < 8; ++round)
                        goodFrames[index] += showsColour(source->frameAt(0.5 + 0.4 * round), kColours[index]);
                });
            }
        }
        EXPECT_EQ(goodFrames, std::vector<int>(kColourNames.size(), 8));
    }

}
}
