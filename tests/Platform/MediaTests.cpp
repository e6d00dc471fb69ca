#include "Platform/Media.h"

#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <thread>

namespace vellumar::platform {
namespace {

    using test::Colour;
    using test::Picture;

    const Colour kRed { 255, 0, 0 };
    const Colour kLime { 0, 255, 0 };
    const Colour kBlue { 0, 0, 255 };
    const Colour kYellow { 255, 255, 0 };
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

    Picture asPicture(const RGBImage& image) { return { image.width, image.height, image.pixels }; }

    // Samples well inside each quadrant, away from the blur that scaling and compression leave at the
    // borders; top left, top right, bottom left, bottom right.
    std::vector<Colour> quadrantsOf(const Picture& picture)
    {
        return { picture.meanColour(0.1, 0.1, 0.4, 0.4), picture.meanColour(0.6, 0.1, 0.9, 0.4),
            picture.meanColour(0.1, 0.6, 0.4, 0.9), picture.meanColour(0.6, 0.6, 0.9, 0.9) };
    }

    void expectQuadrants(
        const Picture& picture, const std::vector<Colour>& expected = { kRed, kLime, kBlue, kYellow })
    {
        auto actual = quadrantsOf(picture);
        for (std::size_t index = 0; index < actual.size(); ++index)
            EXPECT_TRUE(test::isNear(actual[index], expected[index])) << "quadrant " << index;
    }

    bool showsColour(const std::optional<RGBImage>& frame, Colour colour)
    {
        return frame && test::isNear(asPicture(*frame).meanColour(0, 0, 1, 1), colour);
    }

    void writeBytes(const std::filesystem::path& file, const std::string& bytes)
    {
        std::ofstream(file, std::ios::binary) << bytes;
    }

    TEST(MediaHEIF, DecodesPhotosMadeByHeifEncToEightBits)
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
            ASSERT_TRUE(image);
            EXPECT_EQ(image->width, 320);
            EXPECT_EQ(image->height, 240);
            ASSERT_EQ(image->pixels.size(), 320u * 240u * 3u);
            expectQuadrants(asPicture(*image));
        }
    }

    TEST(MediaJPEG, EncodesWhatImageMagickReadsBack)
    {
        test::TemporaryFolder folder;
        auto source = test::readPicture(test::makeQuadrantImage(folder / "source.png", 96, 64));
        ASSERT_TRUE(source);
        auto bytes = encodeJPEG({ source->width, source->height, source->rgb }, 0.85);
        ASSERT_TRUE(bytes);
        writeBytes(folder / "out.jpg", *bytes);

        std::string format;
        auto picture = test::readPicture(folder / "out.jpg", &format);
        ASSERT_TRUE(picture);
        EXPECT_EQ(format, "JPEG");
        EXPECT_EQ(picture->width, 96);
        EXPECT_EQ(picture->height, 64);
        expectQuadrants(*picture);
    }

    TEST(MediaJPEG, QualityIsClampedAndLowerGivesSmallerFiles)
    {
        // A busy picture, so that the quantisation tables make a visible difference.
        RGBImage noisy { 128, 128, std::vector<std::uint8_t>(128 * 128 * 3) };
        for (std::size_t index = 0; index < noisy.pixels.size(); ++index)
            noisy.pixels[index] = static_cast<std::uint8_t>((index * 2654435761u) >> 24);
        auto low = encodeJPEG(noisy, 0.3);
        auto high = encodeJPEG(noisy, 0.95);
        ASSERT_TRUE(low && high);
        EXPECT_LT(low->size(), high->size());
        for (double quality : { -1.0, 7.5, kNaN }) {
            SCOPED_TRACE(quality);
            EXPECT_TRUE(encodeJPEG(noisy, quality));
        }
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

    TEST(MediaVideo, TakesFramesInAnyOrderFromEveryContainer)
    {
        test::TemporaryFolder folder;
        const std::pair<const char*, std::vector<std::string>> containers[] = {
            { "mp4", { "-c:v", "libx264" } },
            { "mov", { "-c:v", "mjpeg", "-pix_fmt", "yuvj420p" } },
            { "webm", { "-c:v", "libvpx-vp9", "-deadline", "realtime", "-b:v", "200k" } },
            { "m4v", { "-c:v", "mpeg4", "-f", "mp4" } },
        };
        // Segments of 2.5 seconds: red, lime, blue, yellow. Backwards and again, so each seek starts afresh.
        const std::pair<double, Colour> requests[] = { { 8.75, kYellow }, { 1.25, kRed }, { 6.25, kBlue },
            { 1.25, kRed }, { 3.75, kLime }, { 0, kRed } };
        for (const auto& [extension, encoder] : containers) {
            SCOPED_TRACE(extension);
            auto video = test::makeColourVideo(folder / (std::string("video.") + extension),
                { .width = 640, .height = 360, .outputArguments = encoder });
            auto source = VideoFrameSource::open(video, {});
            ASSERT_TRUE(source);
            EXPECT_NEAR(source->durationSeconds(), 10.0, 0.1);
            for (const auto& [seconds, colour] : requests) {
                SCOPED_TRACE(seconds);
                auto frame = source->frameAt(seconds);
                ASSERT_TRUE(frame);
                EXPECT_EQ(frame->width, 640);
                EXPECT_EQ(frame->height, 360);
                EXPECT_TRUE(showsColour(frame, colour));
            }
        }
    }

    TEST(MediaVideo, TakesTheFrameOnScreenAtTheRequestedTime)
    {
        // Segments much shorter than the tolerance: only the frame shown at the time has the colour.
        const Colour colours[] = { kRed, kLime, kBlue, kYellow };
        test::VideoRecipe recipe { .width = 160, .height = 120, .colours = {}, .segmentSeconds = 0.4 };
        for (int segment = 0; segment < 10; ++segment)
            recipe.colours.push_back(
                std::vector<std::string> { "red", "lime", "blue", "yellow" }[segment % 4]);
        test::TemporaryFolder folder;
        auto source = VideoFrameSource::open(test::makeColourVideo(folder / "video.mp4", recipe), {});
        ASSERT_TRUE(source);
        for (int segment = 9; segment >= 0; --segment) {
            SCOPED_TRACE(segment);
            EXPECT_TRUE(showsColour(source->frameAt(0.4 * segment + 0.2), colours[segment % 4]));
        }
        for (double seconds : { -1.0, kNaN, std::numeric_limits<double>::infinity() })
            EXPECT_FALSE(source->frameAt(seconds)) << seconds;
    }

    TEST(MediaVideo, ScalesDownToFitTheBoxAndTurnsUprightAsFFmpegShowsThem)
    {
        struct Case {
            int width;
            int height;
            std::vector<std::string> extra;
            int degrees;
            int expectedWidth;
            int expectedHeight;
        };
        const Case cases[] = {
            { 1920, 1080, {}, 0, 768, 432 },
            { 720, 1280, {}, 0, 432, 768 },
            { 320, 240, {}, 0, 320, 240 }, // never scaled up
            { 400, 400, { "-vf", "setsar=2" }, 0, 768, 384 }, // pixels twice as wide as tall
            { 1280, 720, {}, 90, 432, 768 },
            { 1280, 720, {}, 180, 768, 432 },
            { 1280, 720, {}, 270, 432, 768 },
        };
        test::TemporaryFolder folder;
        for (const auto& testCase : cases) {
            SCOPED_TRACE(std::to_string(testCase.width) + "x" + std::to_string(testCase.height) + " turned "
                + std::to_string(testCase.degrees));
            auto video = test::withRotationTag(test::makeQuadrantVideo(folder / "stored.mp4", testCase.width,
                                                   testCase.height, 1, testCase.extra),
                folder / "video.mp4", testCase.degrees);
            // ffmpeg applies the display matrix itself when it writes a still.
            ASSERT_TRUE(test::runTool(
                { "ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-ss", "0.5", "-i", video.string(),
                    "-frames:v", "1", "-vf", "scale=160:-2", (folder / "reference.png").string() }));
            auto reference = test::readPicture(folder / "reference.png");
            auto source = VideoFrameSource::open(video, {});
            ASSERT_TRUE(reference && source);
            auto frame = source->frameAt(0.5);
            ASSERT_TRUE(frame);
            EXPECT_EQ(frame->width, testCase.expectedWidth);
            EXPECT_EQ(frame->height, testCase.expectedHeight);
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
        writeBytes(folder / "text", "just some words, not a picture\n");
        writeBytes(folder / "truncated.heic", heic.substr(0, heic.size() / 3));
        writeBytes(folder / "garbage.mp4", video.substr(video.size() / 2));
        // Formats that point at other files: FFmpeg itself would follow them to the real video.
        writeBytes(folder / "playlist.mp4",
            "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + real.string() + "\n#EXT-X-ENDLIST\n");
        writeBytes(folder / "list.mp4", "ffconcat version 1.0\nfile '" + real.string() + "'\n");
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
        const std::vector<std::string> names { "red", "lime", "blue", "yellow" };
        const Colour colours[] = { kRed, kLime, kBlue, kYellow };
        std::vector<std::filesystem::path> videos;
        for (const auto& name : names)
            videos.push_back(test::makeColourVideo(folder / (name + ".mp4"),
                { .width = 320, .height = 240, .colours = { name }, .segmentSeconds = 4 }));
        std::vector<int> goodFrames(names.size(), 0);
        {
            std::vector<std::jthread> threads;
            for (std::size_t index = 0; index < names.size(); ++index) {
                threads.emplace_back([&, index] {
                    auto source = VideoFrameSource::open(videos[index], {});
                    for (int round = 0; source && round < 8; ++round)
                        goodFrames[index] += showsColour(source->frameAt(0.5 + 0.4 * round), colours[index]);
                });
            }
        }
        for (std::size_t index = 0; index < names.size(); ++index)
            EXPECT_EQ(goodFrames[index], 8) << names[index];
    }

}
}
