#include "Platform/Media.h"

#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
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

    struct Quadrants {
        Colour topLeft;
        Colour topRight;
        Colour bottomLeft;
        Colour bottomRight;
    };

    const Quadrants kStoredQuadrants { kRed, kLime, kBlue, kYellow };

    // Samples well inside each quadrant, away from the blur that scaling and compression leave at
    // the borders.
    Quadrants quadrantsOf(const Picture& picture)
    {
        return { picture.meanColour(0.1, 0.1, 0.4, 0.4), picture.meanColour(0.6, 0.1, 0.9, 0.4),
            picture.meanColour(0.1, 0.6, 0.4, 0.9), picture.meanColour(0.6, 0.6, 0.9, 0.9) };
    }

    Picture asPicture(const RGBImage& image) { return { image.width, image.height, image.pixels }; }

    void expectQuadrants(const Picture& picture, const Quadrants& expected)
    {
        Quadrants actual = quadrantsOf(picture);
        EXPECT_TRUE(test::isNear(actual.topLeft, expected.topLeft));
        EXPECT_TRUE(test::isNear(actual.topRight, expected.topRight));
        EXPECT_TRUE(test::isNear(actual.bottomLeft, expected.bottomLeft));
        EXPECT_TRUE(test::isNear(actual.bottomRight, expected.bottomRight));
    }

    void writeBytes(const std::filesystem::path& file, const std::string& bytes)
    {
        std::ofstream(file, std::ios::binary) << bytes;
    }

    RGBImage quadrantImage(int width, int height)
    {
        RGBImage image { width, height,
            std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3) };
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                bool right = x >= width / 2;
                bool bottom = y >= height / 2;
                Colour colour = bottom ? (right ? kYellow : kBlue) : (right ? kLime : kRed);
                std::uint8_t* pixel = &image.pixels[(static_cast<std::size_t>(y) * width + x) * 3];
                pixel[0] = static_cast<std::uint8_t>(colour.red);
                pixel[1] = static_cast<std::uint8_t>(colour.green);
                pixel[2] = static_cast<std::uint8_t>(colour.blue);
            }
        }
        return image;
    }

    TEST(MediaHEIF, DecodesAPhotoMadeByHeifEnc)
    {
        test::TemporaryFolder folder;
        auto photo = test::makeQuadrantHEIC(folder / "photo.heic", 320, 240);

        auto image = decodeHEIF(photo);

        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, 320);
        EXPECT_EQ(image->height, 240);
        ASSERT_EQ(image->pixels.size(), 320u * 240u * 3u);
        expectQuadrants(asPicture(*image), kStoredQuadrants);
    }

    TEST(MediaHEIF, DecodesATenBitPhotoToEightBits)
    {
        test::TemporaryFolder folder;
        auto png = test::makeQuadrantImage(folder / "deep.png", 64, 64);
        ASSERT_TRUE(
            test::runTool({ "convert", png.string(), "-depth", "16", (folder / "deep16.png").string() }));
        ASSERT_TRUE(test::runTool({ "heif-enc", "-b", "10", "-o", (folder / "deep.heic").string(),
            (folder / "deep16.png").string() }));

        auto image = decodeHEIF(folder / "deep.heic");

        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, 64);
        expectQuadrants(asPicture(*image), kStoredQuadrants);
    }

    TEST(MediaHEIF, RefusesWhatIsNoHEIFImage)
    {
        test::TemporaryFolder folder;
        auto heic = test::makeQuadrantHEIC(folder / "real.heic", 64, 64);
        std::string heicBytes = test::readFile(heic);
        writeBytes(folder / "truncated.heic", heicBytes.substr(0, heicBytes.size() / 3));
        writeBytes(folder / "empty.heic", "");
        writeBytes(folder / "text.heic", "just some words, not a picture\n");
        test::makeQuadrantImage(folder / "picture.png", 64, 64);
        test::makeQuadrantImage(folder / "picture.jpg", 64, 64);
        std::filesystem::create_directory(folder / "folder.heic");

        for (const char* name : { "missing.heic", "empty.heic", "text.heic", "picture.png", "picture.jpg",
                 "truncated.heic", "folder.heic" }) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(decodeHEIF(folder / name));
        }
    }

    TEST(MediaJPEG, EncodesWhatImageMagickReadsBack)
    {
        test::TemporaryFolder folder;
        auto bytes = encodeJPEG(quadrantImage(96, 64), 0.85);
        ASSERT_TRUE(bytes);
        writeBytes(folder / "out.jpg", *bytes);

        std::string format;
        auto picture = test::readPicture(folder / "out.jpg", &format);

        ASSERT_TRUE(picture);
        EXPECT_EQ(format, "JPEG");
        EXPECT_EQ(picture->width, 96);
        EXPECT_EQ(picture->height, 64);
        expectQuadrants(*picture, kStoredQuadrants);
    }

    TEST(MediaJPEG, LowerQualityGivesSmallerFiles)
    {
        // A busy picture, so that the quantisation tables make a visible difference.
        RGBImage noisy = quadrantImage(128, 128);
        for (std::size_t index = 0; index < noisy.pixels.size(); ++index)
            noisy.pixels[index] = static_cast<std::uint8_t>((index * 2654435761u) >> 24);

        auto low = encodeJPEG(noisy, 0.3);
        auto high = encodeJPEG(noisy, 0.95);

        ASSERT_TRUE(low && high);
        EXPECT_LT(low->size(), high->size());
    }

    TEST(MediaJPEG, ClampsQualityOutsideItsRange)
    {
        test::TemporaryFolder folder;
        for (double quality : { -1.0, 0.0, 1.0, 7.5, std::numeric_limits<double>::quiet_NaN() }) {
            SCOPED_TRACE(quality);
            auto bytes = encodeJPEG(quadrantImage(16, 16), quality);
            ASSERT_TRUE(bytes);
            writeBytes(folder / "q.jpg", *bytes);
            auto picture = test::readPicture(folder / "q.jpg");
            ASSERT_TRUE(picture);
            EXPECT_EQ(picture->width, 16);
        }
    }

    TEST(MediaJPEG, RefusesInconsistentImages)
    {
        struct Case {
            const char* name;
            RGBImage image;
        };
        std::vector<Case> cases {
            { "no pixels", { 0, 0, {} } },
            { "zero width", { 0, 4, {} } },
            { "negative height", { 4, -4, std::vector<std::uint8_t>(48) } },
            { "too few samples", { 4, 4, std::vector<std::uint8_t>(47) } },
            { "too many samples", { 4, 4, std::vector<std::uint8_t>(49) } },
            { "more pixels than allowed", { 20'000, 20'000, {} } },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_FALSE(encodeJPEG(testCase.image, 0.85));
        }
    }

    struct Container {
        const char* extension;
        std::vector<std::string> encoder;
    };

    TEST(MediaVideo, TakesFramesOfEachSegmentInEveryContainer)
    {
        test::TemporaryFolder folder;
        std::vector<Container> containers {
            { "mp4", { "-c:v", "libx264" } },
            { "mov", { "-c:v", "mjpeg", "-pix_fmt", "yuvj420p" } },
            { "webm", { "-c:v", "libvpx-vp9", "-deadline", "realtime", "-b:v", "200k" } },
            { "m4v", { "-c:v", "mpeg4", "-f", "mp4" } },
        };
        for (const auto& container : containers) {
            SCOPED_TRACE(container.extension);
            auto video = test::makeColourVideo(folder / (std::string("video.") + container.extension),
                { .width = 640, .height = 360, .outputArguments = container.encoder });

            auto source = VideoFrameSource::open(video, {});
            ASSERT_TRUE(source);
            EXPECT_NEAR(source->durationSeconds(), 10.0, 0.1);
            const Colour expected[] = { kRed, kLime, kBlue, kYellow };
            const double times[] = { 1.25, 3.75, 6.25, 8.75 };
            for (int index = 0; index < 4; ++index) {
                SCOPED_TRACE(times[index]);
                auto frame = source->frameAt(times[index]);
                ASSERT_TRUE(frame);
                EXPECT_EQ(frame->width, 640);
                EXPECT_EQ(frame->height, 360);
                EXPECT_TRUE(test::isNear(asPicture(*frame).meanColour(0, 0, 1, 1), expected[index]));
            }
        }
    }

    TEST(MediaVideo, TakesFramesInAnyOrderAndAgain)
    {
        test::TemporaryFolder folder;
        auto video = test::makeColourVideo(folder / "video.mp4", { .width = 320, .height = 240 });
        auto source = VideoFrameSource::open(video, {});
        ASSERT_TRUE(source);

        const std::pair<double, Colour> requests[] = { { 8.75, kYellow }, { 1.25, kRed }, { 6.25, kBlue },
            { 1.25, kRed }, { 3.75, kLime }, { 0, kRed } };
        for (const auto& [seconds, colour] : requests) {
            SCOPED_TRACE(seconds);
            auto frame = source->frameAt(seconds);
            ASSERT_TRUE(frame);
            EXPECT_TRUE(test::isNear(asPicture(*frame).meanColour(0, 0, 1, 1), colour));
        }
    }

    TEST(MediaVideo, TakesTheFrameOnScreenAtTheRequestedTime)
    {
        // Segments much shorter than the tolerance: only the frame shown at the time has the colour.
        const std::vector<std::string> names { "red", "lime", "blue", "yellow" };
        const Colour colours[] = { kRed, kLime, kBlue, kYellow };
        test::VideoRecipe recipe { .width = 160, .height = 120, .colours = {}, .segmentSeconds = 0.4 };
        for (int segment = 0; segment < 10; ++segment)
            recipe.colours.push_back(names[segment % 4]);
        test::TemporaryFolder folder;
        auto source = VideoFrameSource::open(test::makeColourVideo(folder / "video.mp4", recipe), {});
        ASSERT_TRUE(source);

        for (int segment = 9; segment >= 0; --segment) {
            double seconds = 0.4 * segment + 0.2;
            SCOPED_TRACE(seconds);
            auto frame = source->frameAt(seconds);
            ASSERT_TRUE(frame);
            EXPECT_TRUE(test::isNear(asPicture(*frame).meanColour(0, 0, 1, 1), colours[segment % 4]));
        }
    }

    TEST(MediaVideo, ScalesDownToFitTheBoxKeepingProportions)
    {
        struct Case {
            int width;
            int height;
            std::vector<std::string> extra;
            int expectedWidth;
            int expectedHeight;
        };
        const Case cases[] = {
            { 1920, 1080, {}, 768, 432 }, { 720, 1280, {}, 432, 768 }, { 800, 800, {}, 768, 768 },
            { 320, 240, {}, 320, 240 }, // never scaled up
            { 400, 400, { "-vf", "setsar=2" }, 768, 384 }, // pixels twice as wide as tall
        };
        test::TemporaryFolder folder;
        for (const auto& testCase : cases) {
            SCOPED_TRACE(std::to_string(testCase.width) + "x" + std::to_string(testCase.height));
            auto video = test::makeQuadrantVideo(
                folder / "video.mp4", testCase.width, testCase.height, 1, testCase.extra);
            auto source = VideoFrameSource::open(video, {});
            ASSERT_TRUE(source);
            auto frame = source->frameAt(0.5);
            ASSERT_TRUE(frame);
            EXPECT_EQ(frame->width, testCase.expectedWidth);
            EXPECT_EQ(frame->height, testCase.expectedHeight);
            expectQuadrants(asPicture(*frame), kStoredQuadrants);
        }
    }

    TEST(MediaVideo, TurnsFramesUprightAsFFmpegShowsThem)
    {
        test::TemporaryFolder folder;
        auto stored = test::makeQuadrantVideo(folder / "stored.mp4", 1280, 720, 2);
        for (int degrees : { 90, 180, 270 }) {
            SCOPED_TRACE(degrees);
            auto rotated = test::withRotationTag(stored, folder / "rotated.mp4", degrees);
            // ffmpeg applies the display matrix itself when it writes a still.
            ASSERT_TRUE(test::runTool({ "ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-ss", "1", "-i",
                rotated.string(), "-frames:v", "1", (folder / "reference.png").string() }));
            auto reference = test::readPicture(folder / "reference.png");
            ASSERT_TRUE(reference);

            auto source = VideoFrameSource::open(rotated, {});
            ASSERT_TRUE(source);
            auto frame = source->frameAt(1);
            ASSERT_TRUE(frame);

            bool turnedSideways = degrees != 180;
            EXPECT_EQ(frame->width, turnedSideways ? 432 : 768);
            EXPECT_EQ(frame->height, turnedSideways ? 768 : 432);
            EXPECT_EQ(reference->width > reference->height, frame->width > frame->height);
            expectQuadrants(asPicture(*frame), quadrantsOf(*reference));
        }
    }

    TEST(MediaVideo, RefusesWhatIsNoVideo)
    {
        test::TemporaryFolder folder;
        auto real = test::makeColourVideo(folder / "real.mp4", { .width = 160, .height = 120 });
        test::makeQuadrantImage(folder / "picture.jpg", 64, 64);
        std::string videoBytes = test::readFile(real);
        writeBytes(folder / "text.mp4", "nothing to see here\n");
        writeBytes(folder / "empty.mp4", "");
        writeBytes(folder / "garbage.mp4", videoBytes.substr(videoBytes.size() / 2));
        // Formats that point at other files: FFmpeg itself would follow them to the real video.
        writeBytes(folder / "playlist.mp4",
            "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + real.string() + "\n#EXT-X-ENDLIST\n");
        writeBytes(folder / "list.mp4", "ffconcat version 1.0\nfile '" + real.string() + "'\n");
        ASSERT_TRUE(test::runTool({ "ffprobe", "-v", "quiet", "-f", "concat", "-safe", "0", "-i",
            (folder / "list.mp4").string() }));

        for (const char* name : { "missing.mp4", "text.mp4", "empty.mp4", "garbage.mp4", "picture.jpg",
                 "playlist.mp4", "list.mp4" }) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(VideoFrameSource::open(folder / name, {}));
        }
    }

    TEST(MediaVideo, RefusesTimesThatAreNoTimes)
    {
        test::TemporaryFolder folder;
        auto source = VideoFrameSource::open(
            test::makeColourVideo(folder / "video.mp4", { .width = 160, .height = 120 }), {});
        ASSERT_TRUE(source);
        for (double seconds :
            { -1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity() }) {
            SCOPED_TRACE(seconds);
            EXPECT_FALSE(source->frameAt(seconds));
        }
        EXPECT_TRUE(source->frameAt(1.25));
    }

    TEST(MediaVideo, SourcesOnDifferentFilesWorkAtTheSameTime)
    {
        test::TemporaryFolder folder;
        const std::vector<std::string> colours { "red", "lime", "blue", "yellow" };
        const Colour expected[] = { kRed, kLime, kBlue, kYellow };
        std::vector<std::filesystem::path> videos;
        for (std::size_t index = 0; index < colours.size(); ++index)
            videos.push_back(test::makeColourVideo(folder / ("video" + std::to_string(index) + ".mp4"),
                { .width = 320, .height = 240, .colours = { colours[index] }, .segmentSeconds = 4 }));

        std::vector<int> goodFrames(videos.size(), 0);
        {
            std::vector<std::jthread> threads;
            for (std::size_t index = 0; index < videos.size(); ++index) {
                threads.emplace_back([&, index] {
                    auto source = VideoFrameSource::open(videos[index], {});
                    for (int round = 0; source && round < 8; ++round) {
                        auto frame = source->frameAt(0.5 + 0.4 * round);
                        if (frame && test::isNear(asPicture(*frame).meanColour(0, 0, 1, 1), expected[index]))
                            ++goodFrames[index];
                    }
                });
            }
        }
        for (std::size_t index = 0; index < videos.size(); ++index)
            EXPECT_EQ(goodFrames[index], 8) << colours[index];
    }

}
}
